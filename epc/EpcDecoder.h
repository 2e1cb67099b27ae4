#pragma once

#include <QAnyStringView>
#include <QJsonObject>
#include <QLatin1String>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringView>
#include <QtGlobal>

#include <functional>

// The binary encodings of GS1 EPCs, decoded: SGTIN-96, SSCC-96, SGLN-96, GRAI-96, GIAI-96,
// GID-96, SGTIN-198, SGLN-195, GRAI-170 and GIAI-202. Any other header is reported as
// unknown with its value. Bits that break the scheme's rules (a reserved partition, a number
// with more digits than its partition gives, a character outside the scheme's set, non-zero
// padding) are reported as invalid with the reason: never decoded into a plausible value.
//
// Pure functions, no state: any thread. Decoding one 96-bit EPC costs a few hundred
// nanoseconds, most of it the result's strings.

enum class EpcStatus : quint8 {
    NotEpc,          // not an EPC's hexadecimal digits: text, a barcode, another length
    Decoded,
    UnknownHeader,   // an EPC whose header names none of the schemes above
    Invalid,         // the header's scheme, but bits that break its rules (`reason`)
};

struct EpcField
{
    QLatin1String name;   // as the JSON output names it: "companyPrefix", "itemReference", ...
    QString value;   // as the URIs write it: zero-padded digits, %-escaped characters
};

struct DecodedEpc
{
    EpcStatus status = EpcStatus::NotEpc;
    int header = -1;              // the EPC's first byte; -1 when not an EPC
    int bits = 0;                 // the EPC's length without the PC word
    QString scheme;               // the tag encoding as the tag URI names it: "sgtin-96"
    int filter = -1;              // -1 for a scheme without one (gid-96)
    int companyPrefixDigits = 0;  // from the partition table; 0 for gid-96
    QList<EpcField> fields;       // in the URIs' order
    QString pureUri;              // urn:epc:id:...
    QString tagUri;               // urn:epc:tag:...
    QString keyName;              // "gtin" or "sscc" where the scheme has such a key, else ""
    QString key;                  // the GTIN-14 or SSCC-18 with its check digit
    QString reason;               // why Invalid

    // What a table shows: the pure identity URI, why the EPC is invalid, its unknown
    // header, or "" for a line that is no EPC.
    QString Summary() const;
};

// The EPC bits of `bytes` (byteCount * 8 of them, a whole number of 16-bit words).
DecodedEpc DecodeEpc(const quint8 *bytes, int byteCount);

// A tag line as the reader sends it: hexadecimal digits (either case) as long as an EPC of
// the schemes above (24, 44 or 52 digits), or a PC word followed by the EPC whose length the
// PC's length field gives (and the PC's toggle bit naming a GS1 EPC). Anything else is
// NotEpc. A line that fits both readings is the bare EPC when its header is known.
DecodedEpc DecodeEpcLine(QStringView line);

// The result as name/value pairs and as a JSON object, for machine-readable output: status,
// header, scheme, filter, company prefix digits, the fields, the two URIs, the GS1 key, the
// reason. Pairs for what the result has only; NotEpc gives none.
QList<QPair<QString, QString>> EpcNameValues(const DecodedEpc &epc);
// The same pairs in the same order, each handed to `visit` as it is made, with whether its
// value is a number (filter, companyPrefixDigits): for a writer of many lines a second, which
// builds no list.
using EpcNameValueVisitor = std::function<void(QLatin1String name, QAnyStringView value, bool number)>;
void ForEachEpcNameValue(const DecodedEpc &epc, const EpcNameValueVisitor &visit);
QJsonObject EpcJson(const DecodedEpc &epc);

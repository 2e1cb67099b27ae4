#include "EpcFuzzChecks.h"

#include "epc/EpcDecoder.h"

#include <QJsonDocument>
#include <QStringList>

namespace {

QByteArray fingerprint(const DecodedEpc &epc)
{
    return QJsonDocument(EpcJson(epc)).toJson(QJsonDocument::Compact) + '|' + epc.Summary().toUtf8();
}

// GS1's check digit rule, written out apart from the decoder's.
bool checkDigitHolds(const QString &key)
{
    int sum = 0;
    for (qsizetype i = 0; i < key.size(); ++i) {
        const int digit = key[i].unicode() - '0';
        if (digit < 0 || digit > 9)
            return false;
        sum += digit * ((key.size() - i) % 2 == 0 ? 3 : 1);
    }
    return sum % 10 == 0;
}

QString consistency(const DecodedEpc &epc)
{
    switch (epc.status) {
    case EpcStatus::NotEpc:
        if (!epc.Summary().isEmpty() || !EpcNameValues(epc).isEmpty())
            return QStringLiteral("a line that is no EPC has a result");
        return QString();
    case EpcStatus::UnknownHeader:
        if (epc.header < 0 || !epc.pureUri.isEmpty() || !epc.fields.isEmpty())
            return QStringLiteral("an unknown header has decoded fields");
        return QString();
    case EpcStatus::Invalid:
        if (epc.reason.isEmpty() || !epc.pureUri.isEmpty() || !epc.fields.isEmpty() || !epc.key.isEmpty())
            return QStringLiteral("an invalid EPC has no reason or decoded fields: ") + epc.reason;
        return QString();
    case EpcStatus::Decoded:
        break;
    }
    QStringList values;
    for (const EpcField &f : epc.fields)
        values << f.value;
    const QString joined = values.join(u'.');
    if (!epc.pureUri.startsWith(QLatin1String("urn:epc:id:")) || !epc.pureUri.endsWith(u':' + joined))
        return QStringLiteral("pure URI does not end in the fields: ") + epc.pureUri;
    if (!epc.tagUri.startsWith(QLatin1String("urn:epc:tag:") + epc.scheme + u':') || !epc.tagUri.endsWith(joined))
        return QStringLiteral("tag URI does not carry the scheme and fields: ") + epc.tagUri;
    if (!epc.key.isEmpty() && (!checkDigitHolds(epc.key) || epc.key.size() != (epc.keyName == QLatin1String("gtin") ? 14 : 18)))
        return QStringLiteral("GS1 key with a wrong length or check digit: ") + epc.key;
    if (epc.filter > 7 || !epc.reason.isEmpty())
        return QStringLiteral("decoded EPC with a filter above 7 or a reason");
    return QString();
}

QString checkLine(const QString &line)
{
    const DecodedEpc first = DecodeEpcLine(line);
    if (fingerprint(first) != fingerprint(DecodeEpcLine(line)))
        return QStringLiteral("two decodings of one line differ: ") + line;
    if (fingerprint(first) != fingerprint(DecodeEpcLine(line.toLower())))
        return QStringLiteral("the line's lower case decodes otherwise: ") + line;
    const QString fault = consistency(first);
    return fault.isEmpty() ? QString() : fault + QStringLiteral(" (line ") + line + u')';
}

} // namespace

QString CheckEpcDecoding(const QByteArray &input)
{
    QString fault = checkLine(QString::fromLatin1(input));
    if (fault.isEmpty())
        fault = checkLine(QString::fromLatin1(input.toHex().toUpper()));
    if (fault.isEmpty()) {
        const auto *bytes = reinterpret_cast<const quint8 *>(input.constData());
        const DecodedEpc bare = DecodeEpc(bytes, int(input.size()));
        if (fingerprint(bare) != fingerprint(DecodeEpc(bytes, int(input.size()))))
            fault = QStringLiteral("two decodings of the same bits differ");
        else
            fault = consistency(bare);
    }
    return fault;
}

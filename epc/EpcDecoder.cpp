#include "epc/EpcDecoder.h"

#include <array>

namespace {

// The longest EPC a PC word's 5-bit length field can announce: 31 words.
constexpr int MAX_EPC_BYTES = 62;
constexpr int PC_DIGITS = 4;
constexpr int HEADER_BITS = 8;
constexpr int FILTER_BITS = 3;
constexpr int PARTITION_BITS = 3;
constexpr int RESERVED_PARTITION = 7;
constexpr int CHARACTER_BITS = 7;
constexpr int WORD_BITS = 16;

// One row of a partition table: the company prefix's bits and digits, then the field that
// shares the partition with it (its digits are 0 for a string field: its length limit is
// `maxCharacters` of the scheme).
struct Partition
{
    quint8 companyBits;
    quint8 companyDigits;
    quint8 otherBits;
    quint8 otherDigits;
};
using PartitionTable = std::array<Partition, 7>;

constexpr PartitionTable SGTIN_PARTITIONS{{{40, 12, 4, 1}, {37, 11, 7, 2}, {34, 10, 10, 3}, {30, 9, 14, 4},
                                           {27, 8, 17, 5}, {24, 7, 20, 6}, {20, 6, 24, 7}}};
constexpr PartitionTable SSCC_PARTITIONS{{{40, 12, 18, 5}, {37, 11, 21, 6}, {34, 10, 24, 7}, {30, 9, 28, 8},
                                          {27, 8, 31, 9}, {24, 7, 34, 10}, {20, 6, 38, 11}}};
constexpr PartitionTable SGLN_PARTITIONS{{{40, 12, 1, 0}, {37, 11, 4, 1}, {34, 10, 7, 2}, {30, 9, 11, 3},
                                          {27, 8, 14, 4}, {24, 7, 17, 5}, {20, 6, 21, 6}}};
constexpr PartitionTable GRAI_PARTITIONS{{{40, 12, 4, 0}, {37, 11, 7, 1}, {34, 10, 10, 2}, {30, 9, 14, 3},
                                          {27, 8, 17, 4}, {24, 7, 20, 5}, {20, 6, 24, 6}}};
// The asset reference is a number without leading zeros in GIAI-96 (its digits bound it),
// and a string of at most 30 - company digits characters in GIAI-202.
constexpr PartitionTable GIAI96_PARTITIONS{{{40, 12, 42, 13}, {37, 11, 45, 14}, {34, 10, 48, 15}, {30, 9, 52, 16},
                                            {27, 8, 55, 17}, {24, 7, 58, 18}, {20, 6, 62, 19}}};
constexpr PartitionTable GIAI202_PARTITIONS{{{40, 12, 148, 18}, {37, 11, 151, 19}, {34, 10, 154, 20}, {30, 9, 158, 21},
                                             {27, 8, 161, 22}, {24, 7, 164, 23}, {20, 6, 168, 24}}};

// How the field after the partitioned pair is written.
enum class Tail : quint8 {
    Integer,       // a number, written without leading zeros
    String,        // 7-bit characters, ended by a zero character or the field's end
    Reserved,      // bits that must be zero (SSCC-96)
    None,          // the partitioned pair ends the encoding (GIAI)
};
// How the partitioned pair's second field is written.
enum class Second : quint8 { Digits, Integer, String };
enum class Key : quint8 { None, Gtin, Sscc };

struct Scheme
{
    quint8 header;
    const char *tagName;        // in the tag URI
    const char *idName;         // in the pure identity URI
    int bits;
    const PartitionTable *partitions;   // nullptr: GID's three plain numbers
    const char *companyField;
    const char *secondField;
    Second second;
    const char *tailField;      // nullptr when there is none in the URIs
    Tail tail;
    int tailBits;
    int tailCharacters;         // a string tail's longest (GS1's limit where the bits allow more)
    Key key;
};

constexpr char COMPANY_PREFIX[] = "companyPrefix";
constexpr char SERIAL[] = "serial";

constexpr std::array<Scheme, 10> SCHEMES{{
    {0x30, "sgtin-96", "sgtin", 96, &SGTIN_PARTITIONS, COMPANY_PREFIX, "itemReference", Second::Digits, SERIAL,
     Tail::Integer, 38, 0, Key::Gtin},
    {0x31, "sscc-96", "sscc", 96, &SSCC_PARTITIONS, COMPANY_PREFIX, "serialReference", Second::Digits, nullptr,
     Tail::Reserved, 24, 0, Key::Sscc},
    {0x32, "sgln-96", "sgln", 96, &SGLN_PARTITIONS, COMPANY_PREFIX, "locationReference", Second::Digits, "extension",
     Tail::Integer, 41, 0, Key::None},
    {0x33, "grai-96", "grai", 96, &GRAI_PARTITIONS, COMPANY_PREFIX, "assetType", Second::Digits, SERIAL,
     Tail::Integer, 38, 0, Key::None},
    {0x34, "giai-96", "giai", 96, &GIAI96_PARTITIONS, COMPANY_PREFIX, "individualAssetReference", Second::Integer,
     nullptr, Tail::None, 0, 0, Key::None},
    {0x35, "gid-96", "gid", 96, nullptr, "generalManager", "objectClass", Second::Integer, SERIAL, Tail::Integer, 36, 0,
     Key::None},
    {0x36, "sgtin-198", "sgtin", 198, &SGTIN_PARTITIONS, COMPANY_PREFIX, "itemReference", Second::Digits, SERIAL,
     Tail::String, 140, 20, Key::Gtin},
    {0x37, "grai-170", "grai", 170, &GRAI_PARTITIONS, COMPANY_PREFIX, "assetType", Second::Digits, SERIAL,
     Tail::String, 112, 16, Key::None},
    {0x38, "giai-202", "giai", 202, &GIAI202_PARTITIONS, COMPANY_PREFIX, "individualAssetReference", Second::String,
     nullptr, Tail::None, 0, 0, Key::None},
    {0x39, "sgln-195", "sgln", 195, &SGLN_PARTITIONS, COMPANY_PREFIX, "locationReference", Second::Digits,
     "extension", Tail::String, 140, 20, Key::None},
}};
// GID-96: the general manager, object class and serial numbers' bits.
constexpr int GID_MANAGER_BITS = 28;
constexpr int GID_CLASS_BITS = 24;

const Scheme *schemeFor(int header)
{
    for (const Scheme &s : SCHEMES) {
        if (s.header == header)
            return &s;
    }
    return nullptr;
}

int wordsFor(int bits) { return (bits + WORD_BITS - 1) / WORD_BITS; }

class CBitReader
{
public:
    CBitReader(const quint8 *bytes, int bitCount) : m_bytes(bytes), m_bits(bitCount) {}
    // The next `n` bits (at most 64) as a number, most significant first.
    quint64 read(int n)
    {
        quint64 v = 0;
        for (int i = 0; i < n; ++i, ++m_at)
            v = v << 1 | ((m_bytes[m_at >> 3] >> (7 - (m_at & 7))) & 1u);
        return v;
    }
    // Whether the next `n` bits are all zero; they are consumed.
    bool zeros(int n)
    {
        bool zero = true;
        while (n > 0) {
            const int take = n < 64 ? n : 64;
            zero = read(take) == 0 && zero;
            n -= take;
        }
        return zero;
    }
    int at() const { return m_at; }
    int remaining() const { return m_bits - m_at; }

private:
    const quint8 *m_bytes;
    int m_bits;
    int m_at = 0;
};

constexpr std::array<quint64, 20> POWERS_OF_TEN{
    1ull, 10ull, 100ull, 1000ull, 10000ull, 100000ull, 1000000ull, 10000000ull, 100000000ull, 1000000000ull,
    10000000000ull, 100000000000ull, 1000000000000ull, 10000000000000ull, 100000000000000ull,
    1000000000000000ull, 10000000000000000ull, 100000000000000000ull, 1000000000000000000ull,
    10000000000000000000ull};

// `value` in decimal, zero-padded to `digits` (0: no padding).
QString decimal(quint64 value, int digits)
{
    char buffer[24];
    int n = 0;
    do {
        buffer[n++] = char('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n < digits)
        buffer[n++] = '0';
    QString out(n, Qt::Uninitialized);
    QChar *to = out.data();
    for (int i = 0; i < n; ++i)
        to[i] = QLatin1Char(buffer[n - 1 - i]);
    return out;
}

// GS1's check digit of a string of digits: weights 3 and 1 from the right.
QChar checkDigit(const QString &digits)
{
    int sum = 0;
    for (qsizetype i = 0; i < digits.size(); ++i)
        sum += (digits[digits.size() - 1 - i].unicode() - '0') * (i % 2 == 0 ? 3 : 1);
    return QLatin1Char(char('0' + (10 - sum % 10) % 10));
}

// The characters a 7-bit string field may hold (GS1's 82 characters), and how a URI writes
// those that URIs reserve.
bool inCharacterSet(quint32 c)
{
    return c == '!' || c == '"' || (c >= '%' && c <= '?') || (c >= 'A' && c <= 'Z') || c == '_'
        || (c >= 'a' && c <= 'z');
}

const char *uriEscape(quint32 c)
{
    switch (c) {
    case '"': return "%22";
    case '%': return "%25";
    case '&': return "%26";
    case '/': return "%2F";
    case '<': return "%3C";
    case '>': return "%3E";
    case '?': return "%3F";
    default: return nullptr;
    }
}

class CSchemeDecoder
{
public:
    CSchemeDecoder(const Scheme &scheme, CBitReader &bits, DecodedEpc &out) : m_s(scheme), m_bits(bits), m_out(out) {}

    // False with `m_out.reason` set when the bits break the scheme's rules.
    bool run()
    {
        m_out.fields.reserve(3);
        if (m_s.partitions == nullptr)
            return gid();
        m_out.filter = int(m_bits.read(FILTER_BITS));
        const int partition = int(m_bits.read(PARTITION_BITS));
        if (partition == RESERVED_PARTITION)
            return fail(QStringLiteral("partition value 7 is reserved"));
        const Partition &p = (*m_s.partitions)[size_t(partition)];
        m_out.companyPrefixDigits = p.companyDigits;
        QString company;
        if (!digits(p.companyBits, p.companyDigits, QLatin1String("company prefix"), company))
            return false;
        add(m_s.companyField, company);
        QString second;
        switch (m_s.second) {
        case Second::Digits:
            if (!digits(p.otherBits, p.otherDigits, QLatin1String(m_s.secondField), second))
                return false;
            break;
        case Second::Integer:
            if (!digits(p.otherBits, 0, QLatin1String(m_s.secondField), second, p.otherDigits))
                return false;
            break;
        case Second::String:
            if (!string(p.otherBits, p.otherDigits, QLatin1String(m_s.secondField), second))
                return false;
            break;
        }
        add(m_s.secondField, second);
        if (!tail())
            return false;
        key(company, second);
        return true;
    }

private:
    bool fail(const QString &reason)
    {
        m_out.reason = reason;
        return false;
    }

    void add(const char *name, const QString &value) { m_out.fields.append({QLatin1String(name), value}); }

    // A number of `bits` written with `padTo` digits (0: as it is), at most `maxDigits`
    // digits (0: padTo).
    bool digits(int bits, int padTo, QLatin1String what, QString &out, int maxDigits = 0)
    {
        const quint64 value = m_bits.read(bits);
        const int limit = maxDigits > 0 ? maxDigits : padTo;
        if (limit < int(POWERS_OF_TEN.size()) && value >= POWERS_OF_TEN[size_t(limit)])
            return fail(QStringLiteral("%1 %2 has more than %3 digits").arg(what).arg(value).arg(limit));
        // A field of no digits (the partition gave them all to the company prefix) is empty.
        out = limit == 0 ? QString() : decimal(value, padTo);
        return true;
    }

    // 7-bit characters, at most `maxCharacters`, ended by a zero character; every bit after
    // the end must be zero.
    bool string(int bits, int maxCharacters, QLatin1String what, QString &out)
    {
        const int end = m_bits.at() + bits;
        int characters = 0;
        while (end - m_bits.at() >= CHARACTER_BITS) {
            const quint32 c = quint32(m_bits.read(CHARACTER_BITS));
            if (c == 0)
                break;
            if (!inCharacterSet(c))
                return fail(QStringLiteral("%1 holds character 0x%2, outside the encodable set")
                                .arg(what).arg(c, 2, 16, QLatin1Char('0')));
            if (++characters > maxCharacters)
                return fail(QStringLiteral("%1 is longer than %2 characters").arg(what).arg(maxCharacters));
            if (const char *escaped = uriEscape(c))
                out += QLatin1String(escaped);
            else
                out += QLatin1Char(char(c));
        }
        if (!m_bits.zeros(end - m_bits.at()))
            return fail(QStringLiteral("%1 has non-zero padding after its characters").arg(what));
        if (characters == 0)
            return fail(QStringLiteral("%1 is empty").arg(what));
        return true;
    }

    bool tail()
    {
        QString value;
        switch (m_s.tail) {
        case Tail::None:
            return true;
        case Tail::Reserved:
            return m_bits.zeros(m_s.tailBits) || fail(QStringLiteral("reserved bits are not zero"));
        case Tail::Integer:
            value = decimal(m_bits.read(m_s.tailBits), 0);
            break;
        case Tail::String:
            if (!string(m_s.tailBits, m_s.tailCharacters, QLatin1String(m_s.tailField), value))
                return false;
            break;
        }
        add(m_s.tailField, value);
        return true;
    }

    bool gid()
    {
        add("generalManager", decimal(m_bits.read(GID_MANAGER_BITS), 0));
        add("objectClass", decimal(m_bits.read(GID_CLASS_BITS), 0));
        return tail();
    }

    // GTIN-14: the item reference's first digit (the indicator), the company prefix, the rest
    // of the item reference, the check digit. SSCC-18 likewise with the extension digit.
    void key(const QString &company, const QString &second)
    {
        if (m_s.key == Key::None || second.isEmpty())
            return;
        QString body;
        body.reserve(18);
        body += second.front();
        body += company;
        body += QStringView(second).mid(1);
        body += checkDigit(body);
        m_out.keyName = m_s.key == Key::Gtin ? QStringLiteral("gtin") : QStringLiteral("sscc");
        m_out.key = body;
    }

    const Scheme &m_s;
    CBitReader &m_bits;
    DecodedEpc &m_out;
};

// Appended in place: a decode's cost is mostly its strings' allocations.
void buildUris(const Scheme &s, DecodedEpc &epc)
{
    qsizetype length = 0;
    for (const EpcField &f : epc.fields)
        length += f.value.size() + 1;
    epc.pureUri.reserve(length + 32);
    epc.pureUri += QLatin1String("urn:epc:id:");
    epc.pureUri += QLatin1String(s.idName);
    epc.pureUri += QLatin1Char(':');
    const qsizetype fieldsAt = epc.pureUri.size();
    for (qsizetype i = 0; i < epc.fields.size(); ++i) {
        if (i > 0)
            epc.pureUri += QLatin1Char('.');
        epc.pureUri += epc.fields[i].value;
    }
    epc.tagUri.reserve(length + 40);
    epc.tagUri += QLatin1String("urn:epc:tag:");
    epc.tagUri += QLatin1String(s.tagName);
    epc.tagUri += QLatin1Char(':');
    if (epc.filter >= 0) {
        epc.tagUri += QLatin1Char(char('0' + epc.filter));
        epc.tagUri += QLatin1Char('.');
    }
    epc.tagUri += QStringView(epc.pureUri).mid(fieldsAt);
}

int hexValue(char16_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool isEpcLength(qsizetype digits)
{
    for (const Scheme &s : SCHEMES) {
        if (digits == wordsFor(s.bits) * WORD_BITS / 4)
            return true;
    }
    return false;
}

// Two capital hexadecimal digits, made by hand: called for every tag line a flood brings.
QString headerText(int header)
{
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    const QChar digits[2] = {QLatin1Char(DIGITS[(header >> 4) & 15]), QLatin1Char(DIGITS[header & 15])};
    return QString(digits, 2);
}

const char *statusName(EpcStatus status)
{
    switch (status) {
    case EpcStatus::Decoded: return "decoded";
    case EpcStatus::UnknownHeader: return "unknown";
    case EpcStatus::Invalid: return "invalid";
    case EpcStatus::NotEpc: break;
    }
    return "";
}

} // namespace

QString DecodedEpc::Summary() const
{
    switch (status) {
    case EpcStatus::Decoded: return pureUri;
    case EpcStatus::UnknownHeader: return QLatin1String("unknown EPC header ") + headerText(header);
    case EpcStatus::Invalid: return QLatin1String("invalid ") + scheme + QLatin1String(": ") + reason;
    case EpcStatus::NotEpc: break;
    }
    return QString();
}

DecodedEpc DecodeEpc(const quint8 *bytes, int byteCount)
{
    DecodedEpc epc;
    if (bytes == nullptr || byteCount < 2 || byteCount % 2 != 0)
        return epc;
    epc.header = bytes[0];
    epc.bits = byteCount * 8;
    const Scheme *scheme = schemeFor(epc.header);
    if (scheme == nullptr) {
        epc.status = EpcStatus::UnknownHeader;
        return epc;
    }
    epc.scheme = QLatin1String(scheme->tagName);
    epc.status = EpcStatus::Invalid;
    if (wordsFor(scheme->bits) * WORD_BITS != epc.bits) {
        epc.reason = QStringLiteral("the EPC has %1 bits, the scheme takes %2").arg(epc.bits).arg(wordsFor(scheme->bits) * WORD_BITS);
        return epc;
    }
    CBitReader reader(bytes, epc.bits);
    reader.read(HEADER_BITS);
    const bool valid = CSchemeDecoder(*scheme, reader, epc).run();
    // The encoding ends inside its last word; the rest of the word is zero.
    if (valid && !reader.zeros(reader.remaining()))
        epc.reason = QStringLiteral("non-zero bits after the encoding's %1 bits").arg(scheme->bits);
    if (!valid || !epc.reason.isEmpty()) {
        // Nothing of a broken encoding is passed on as if it were decoded.
        epc.fields.clear();
        epc.companyPrefixDigits = 0;
        epc.keyName.clear();
        epc.key.clear();
        return epc;
    }
    buildUris(*scheme, epc);
    epc.status = EpcStatus::Decoded;
    return epc;
}

DecodedEpc DecodeEpcLine(QStringView line)
{
    const qsizetype digits = line.size();
    if (digits < PC_DIGITS + 4 || digits % 4 != 0 || digits > PC_DIGITS + MAX_EPC_BYTES * 2)
        return DecodedEpc();
    std::array<quint8, MAX_EPC_BYTES + 2> bytes;
    for (qsizetype i = 0; i < digits; i += 2) {
        const int high = hexValue(line[i].unicode());
        const int low = hexValue(line[i + 1].unicode());
        if (high < 0 || low < 0)
            return DecodedEpc();
        bytes[size_t(i / 2)] = quint8(high << 4 | low);
    }
    const int byteCount = int(digits / 2);
    const bool epcLength = isEpcLength(digits);
    if (epcLength && schemeFor(bytes[0]) != nullptr)
        return DecodeEpc(bytes.data(), byteCount);
    // The PC word: the EPC's length in words in its top five bits; its toggle bit set means
    // the code is no GS1 EPC (an ISO application family instead).
    const int pc = bytes[0] << 8 | bytes[1];
    const int words = pc >> 11;
    const bool toggle = (pc >> 8) & 1;
    if (!toggle && words > 0 && words * 2 == byteCount - 2)
        return DecodeEpc(bytes.data() + 2, byteCount - 2);
    if (epcLength)
        return DecodeEpc(bytes.data(), byteCount);
    return DecodedEpc();
}

void ForEachEpcNameValue(const DecodedEpc &epc, const EpcNameValueVisitor &visit)
{
    if (epc.status == EpcStatus::NotEpc)
        return;
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    const char header[2] = {DIGITS[(epc.header >> 4) & 15], DIGITS[epc.header & 15]};
    visit(QLatin1String("status"), QLatin1String(statusName(epc.status)), false);
    visit(QLatin1String("header"), QLatin1String(header, 2), false);
    if (!epc.scheme.isEmpty())
        visit(QLatin1String("scheme"), epc.scheme, false);
    if (epc.status == EpcStatus::Invalid)
        visit(QLatin1String("reason"), epc.reason, false);
    if (epc.status != EpcStatus::Decoded)
        return;
    if (epc.filter >= 0)
        visit(QLatin1String("filter"), QString::number(epc.filter), true);
    if (epc.companyPrefixDigits > 0)
        visit(QLatin1String("companyPrefixDigits"), QString::number(epc.companyPrefixDigits), true);
    for (const EpcField &f : epc.fields)
        visit(f.name, f.value, false);
    visit(QLatin1String("uri"), epc.pureUri, false);
    visit(QLatin1String("tagUri"), epc.tagUri, false);
    if (!epc.keyName.isEmpty()) {
        const QByteArray keyName = epc.keyName.toLatin1();
        visit(QLatin1String(keyName), epc.key, false);
    }
}

QList<QPair<QString, QString>> EpcNameValues(const DecodedEpc &epc)
{
    QList<QPair<QString, QString>> out;
    ForEachEpcNameValue(epc, [&out](QLatin1String name, QAnyStringView value, bool) {
        out.append({QString(name), value.toString()});
    });
    return out;
}

QJsonObject EpcJson(const DecodedEpc &epc)
{
    QJsonObject out;
    for (const auto &[name, value] : EpcNameValues(epc)) {
        if (name == QLatin1String("filter") || name == QLatin1String("companyPrefixDigits"))
            out.insert(name, value.toInt());
        else
            out.insert(name, value);
    }
    return out;
}

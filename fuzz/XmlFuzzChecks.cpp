#include "XmlFuzzChecks.h"

#include "xml/XML.h"

#include <QBuffer>
#include <QIODevice>

#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr int MAX_SHORT_READ = 13;

class ShortReads : public QIODevice
{
public:
    explicit ShortReads(const QByteArray &data) : m_data(data) { open(QIODevice::ReadOnly); }
    bool isSequential() const override { return false; }
    qint64 size() const override { return m_data.size(); }

protected:
    qint64 readData(char *out, qint64 max) override
    {
        const qint64 at = pos();
        if (at >= m_data.size())
            return 0;
        const qint64 wanted = 1 + uchar(m_data[m_next++ % m_data.size()]) % MAX_SHORT_READ;
        const qint64 n = qMin(qMin(max, wanted), m_data.size() - at);
        memcpy(out, m_data.constData() + at, size_t(n));
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_data;
    qsizetype m_next = 0;
};

struct Parsed
{
    std::unique_ptr<CXML> root = std::make_unique<CXML>();
    int found = 0;
};

Parsed parse(QIODevice &device)
{
    Parsed parsed;
    parsed.found = Load(*parsed.root, device, QString(), [](const QString &, const QString &) {});
    return parsed;
}

Parsed parseBytes(const QByteArray &data)
{
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    return parse(buffer);
}

using TextRule = QString (*)(const QString &);

QString sameText(const QString &text)
{
    return text;
}

// What the reader makes of a text the writer wrote: the encoded text, a line
// feed, the indentation and a tag; the reader passes the part before that line
// feed through its first-two-characters rule, then decodes.
QString textAfterRoundTrip(const QString &text)
{
    if (text.isEmpty())
        return text;
    QString encoded = EncodeEntities(text);
    if (encoded.endsWith(u'\n'))
        encoded.chop(1);
    if (encoded.size() <= 2) {
        if (encoded.isEmpty() || encoded[0] == u'\r' || encoded[0] == u'\n')
            encoded.clear();
    } else if (encoded[0] == u'\r' || encoded[1] == u'\n') {
        encoded.remove(0, 2);
    }
    return DecodeEntities(encoded);
}

// Compares without recursion (fuzz inputs nest deeply).
QString compareTrees(const CXML &expected, const CXML &actual, TextRule expectedText)
{
    std::vector<std::pair<const CXML *, const CXML *>> pending{{&expected, &actual}};
    while (!pending.empty()) {
        const auto [e, a] = pending.back();
        pending.pop_back();
        if (e->name != a->name)
            return QStringLiteral("name %1 became %2").arg(e->name, a->name);
        if (expectedText(e->text) != a->text)
            return QStringLiteral("text of %1: [%2] became [%3]").arg(e->name, e->text, a->text);
        if (e->attributes.size() != a->attributes.size())
            return QStringLiteral("attribute count of %1").arg(e->name);
        for (qsizetype i = 0; i < e->attributes.size(); ++i) {
            const CAttribute *ea = e->attributes.at(i);
            const CAttribute *aa = a->attributes.at(i);
            if (ea->name != aa->name || ea->value != aa->value)
                return QStringLiteral("attribute %1=[%2] became %3=[%4]")
                    .arg(ea->name, ea->value, aa->name, aa->value);
        }
        if (e->children.size() != a->children.size())
            return QStringLiteral("child count of %1: %2 became %3")
                .arg(e->name)
                .arg(e->children.size())
                .arg(a->children.size());
        for (qsizetype i = 0; i < e->children.size(); ++i)
            pending.emplace_back(e->children.at(i), a->children.at(i));
    }
    return QString();
}

// A name the writer puts back as it was: no blank or line break, no quote,
// nothing that starts or ends a tag, an attribute or a reference.
bool isPlainName(const QString &name)
{
    if (name.isEmpty())
        return false;
    for (QChar c : name) {
        if (c.unicode() <= 0x20 || QStringView(u"\"'<>=/!?&").contains(c))
            return false;
    }
    return true;
}

bool hasPlainNames(const CXML &root)
{
    std::vector<const CXML *> pending{&root};
    while (!pending.empty()) {
        const CXML *element = pending.back();
        pending.pop_back();
        if (!isPlainName(element->name))
            return false;
        for (const CAttribute *attribute : element->attributes) {
            if (!isPlainName(attribute->name))
                return false;
        }
        for (const CXML *child : element->children)
            pending.push_back(child);
    }
    return true;
}

} // namespace

QString CheckWholeBuffer(const QByteArray &data)
{
    const Parsed parsed = parseBytes(data);
    return parsed.found == 0 || parsed.found == 1 ? QString() : QStringLiteral("Load returned %1").arg(parsed.found);
}

QString CheckShortReads(const QByteArray &data)
{
    const Parsed whole = parseBytes(data);
    ShortReads device(data);
    const Parsed pieces = parse(device);
    if (whole.found != pieces.found || whole.root->unicodeFile != pieces.root->unicodeFile)
        return QStringLiteral("short reads changed the result or the encoding");
    const QString difference = compareTrees(*whole.root, *pieces.root, sameText);
    return difference.isEmpty() ? QString() : "short reads: " + difference;
}

QString CheckRoundTrip(const QByteArray &data)
{
    const Parsed first = parseBytes(data);
    if (!first.found || !hasPlainNames(*first.root))
        return QString();
    const CXMLEncoding encoding = ChooseXMLEncoding(*first.root);
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    if (encoding == CXMLEncoding::Utf16)
        out.write("\xFF\xFE", 2);
    if (!Write(*first.root, out, -1, encoding))
        return QStringLiteral("write failed");
    if (out.size() > READ_CHUNK_BYTES)
        return QString();
    const Parsed second = parseBytes(out.data());
    if (!second.found)
        return QStringLiteral("written file has no root");
    const QString difference = compareTrees(*first.root, *second.root, textAfterRoundTrip);
    return difference.isEmpty() ? QString() : "round trip: " + difference;
}

QString RunAllXmlChecks(const QByteArray &data)
{
    for (auto check : {CheckWholeBuffer, CheckShortReads, CheckRoundTrip}) {
        const QString fault = check(data);
        if (!fault.isEmpty())
            return fault;
    }
    return QString();
}

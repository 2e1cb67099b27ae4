#pragma once

// Helpers shared by the XML tests: files in either encoding, a parse with a
// warning recorder, a device with short reads, and a readable dump of a tree.

#include "xml/XML.h"

#include <QBuffer>
#include <QIODevice>
#include <QStringList>

#include <memory>

inline QByteArray xmlFile(const QString &text, bool utf16)
{
    if (!utf16)
        return text.toLatin1();
    QByteArray bytes("\xFF\xFE", 2);
    for (QChar c : text) {
        bytes.append(char(c.unicode() & 0xFF));
        bytes.append(char(c.unicode() >> 8));
    }
    return bytes;
}

// Reads return at most a few bytes each, cycling through the given sizes.
class ShortReadDevice : public QIODevice
{
public:
    ShortReadDevice(QByteArray data, QList<int> sizes) : m_data(std::move(data)), m_sizes(std::move(sizes))
    {
        open(QIODevice::ReadOnly);
    }
    bool isSequential() const override { return false; }
    qint64 size() const override { return m_data.size(); }

protected:
    qint64 readData(char *out, qint64 max) override
    {
        const qint64 at = pos();
        qint64 n = qMin<qint64>(max, m_data.size() - at);
        if (!m_sizes.isEmpty())
            n = qMin<qint64>(n, m_sizes.at(m_next++ % m_sizes.size()));
        if (n <= 0)
            return 0;
        memcpy(out, m_data.constData() + at, size_t(n));
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_data;
    QList<int> m_sizes;
    qsizetype m_next = 0;
};

struct ParseResult
{
    std::unique_ptr<CXML> root = std::make_unique<CXML>();
    int found = 0;
    QStringList warnings;
};

inline ParseResult parseXml(QIODevice &device, const QString &rootName = QString())
{
    ParseResult result;
    result.found = Load(*result.root, device, rootName,
                        [&result](const QString &text, const QString &) { result.warnings << text; });
    return result;
}

inline ParseResult parseXml(const QByteArray &bytes, const QString &rootName = QString())
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    return parseXml(buffer, rootName);
}

// One line per element: indentation, name, attributes in order, then |text|.
// Control characters are shown escaped so that a failure is readable.
inline QString escapedForDump(const QString &s)
{
    QString out;
    for (QChar c : s) {
        if (c == u'\r')
            out += QStringLiteral("\\r");
        else if (c == u'\n')
            out += QStringLiteral("\\n");
        else
            out += c;
    }
    return out;
}

inline void dumpInto(const CXML &element, int depth, QString &out)
{
    out += QString(depth * 2, u' ') + element.name;
    for (const CAttribute *attribute : element.attributes)
        out += QStringLiteral(" %1=[%2]").arg(attribute->name, escapedForDump(attribute->value));
    if (!element.text.isEmpty())
        out += QStringLiteral(" |%1|").arg(escapedForDump(element.text));
    out += u'\n';
    for (const CXML *child : element.children)
        dumpInto(*child, depth + 1, out);
}

inline QString dumpXml(const CXML &root)
{
    QString out;
    dumpInto(root, 0, out);
    return out;
}

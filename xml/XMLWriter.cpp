#include "xml/XML.h"

#include "platform/AtomicFile.h"

#include <QBuffer>
#include <QDir>
#include <QIODevice>
#include <QtEndian>

#include <limits>
#include <memory>
#include <vector>

namespace {

// The root is written at this depth, so the root and its children start at the
// left margin and grandchildren are indented once.
constexpr int ROOT_DEPTH = -1;
// Indentation stops growing at this depth. Down to it the layout is unchanged; a
// pathologically deep tree (a million levels) would otherwise need terabytes of
// indentation, and indentation longer than one read piece would come back as text.
// 1,024 levels are 4,096 blanks: 8 KiB in a UTF-16 file, half of one read piece.
constexpr int MAX_INDENT_DEPTH = 1024;
constexpr qint64 MAX_INDENT_CHARS = MAX_INDENT_DEPTH * 4; // INDENT_UNIT's four blanks
static_assert(MAX_INDENT_CHARS * 2 <= READ_CHUNK_BYTES / 2, "a line's indentation fits well inside one read piece");
// Converted output is handed to the device in blocks of about this size.
constexpr qsizetype FLUSH_BYTES = 64 * 1024;
constexpr char16_t LAST_ONE_BYTE_CODE = 0xFF;
const QByteArray UTF16_BYTE_ORDER_MARK("\xFF\xFE", 2);

bool isTrimmed(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}

QString trimmed(const QString &s)
{
    qsizetype from = 0;
    qsizetype to = s.size();
    while (from < to && isTrimmed(s[from]))
        ++from;
    while (to > from && isTrimmed(s[to - 1]))
        --to;
    return (from == 0 && to == s.size()) ? s : s.mid(from, to - from);
}

bool hasWideCharacter(QStringView s)
{
    for (QChar c : s) {
        if (c.unicode() > LAST_ONE_BYTE_CODE)
            return true;
    }
    return false;
}

// Converts pieces to the file's encoding and writes them in blocks; the first
// failed device write is remembered and ends the writing.
class PieceWriter
{
public:
    PieceWriter(QIODevice &device, CXMLEncoding encoding) : m_device(device), m_encoding(encoding)
    {
        m_indent = INDENT_UNIT.repeated(MAX_INDENT_DEPTH);
    }

    void put(QStringView piece)
    {
        if (m_encoding == CXMLEncoding::OneByte) {
            const qsizetype old = m_buffer.size();
            m_buffer.resize(old + piece.size());
            char *out = m_buffer.data() + old;
            for (QChar c : piece) {
                m_wide = m_wide || c.unicode() > LAST_ONE_BYTE_CODE;
                *out++ = char(c.unicode());
            }
        } else {
            const qsizetype old = m_buffer.size();
            m_buffer.resize(old + piece.size() * 2);
            qToLittleEndian<char16_t>(piece.utf16(), piece.size(), m_buffer.data() + old);
        }
        if (m_buffer.size() >= FLUSH_BYTES)
            flush();
    }

    QStringView indent(int depth) const
    {
        return QStringView(m_indent).left(qBound(0, depth, MAX_INDENT_DEPTH) * INDENT_UNIT.size());
    }

    // A short write is retried with the rest, so that a full disk ends in a failed
    // write that carries the device's error rather than in a silently cut file.
    bool flush()
    {
        for (qsizetype done = 0; m_ok && done < m_buffer.size();) {
            const qint64 n = m_device.write(m_buffer.constData() + done, m_buffer.size() - done);
            m_ok = n > 0;
            done += qsizetype(qMax<qint64>(n, 0));
        }
        m_buffer.clear();
        return m_ok;
    }

    bool ok() const { return m_ok; }
    // A character above 255 was put in one-byte mode (and written wrong).
    bool sawWide() const { return m_wide; }

private:
    QIODevice &m_device;
    CXMLEncoding m_encoding;
    QByteArray m_buffer;
    QString m_indent;
    bool m_ok = true;
    bool m_wide = false;
};

struct Frame
{
    CXML *element;
    qsizetype nextChild;
    int depth;
};

// Writes the start tag and the text; returns true when children and an end tag
// follow, false for an element written as "<name .../>".
bool writeStart(CXML &element, int depth, PieceWriter &out, QString &piece)
{
    piece.clear();
    piece += out.indent(depth);
    piece += u'<';
    piece += element.name;
    for (CAttribute *attribute : std::as_const(element.attributes)) {
        // Trimmed in the tree itself: a save also changes the model.
        attribute->value = trimmed(attribute->value);
        piece += u' ';
        piece += attribute->name;
        piece += u"=\"";
        piece += EncodeEntities(attribute->value);
        piece += u'"';
    }
    if (element.children.isEmpty() && element.text.isEmpty()) {
        piece += u"/>\n";
        out.put(piece);
        return false;
    }
    piece += element.text.isEmpty() ? u">\n" : u">";
    out.put(piece);
    if (!element.text.isEmpty()) {
        piece = EncodeEntities(element.text);
        if (!piece.endsWith(u'\n'))
            piece += u'\n';
        out.put(piece);
    }
    return true;
}

void writeEnd(const CXML &element, int depth, PieceWriter &out, QString &piece)
{
    piece.clear();
    piece += out.indent(depth);
    piece += u"</";
    piece += element.name;
    piece += u">\n";
    out.put(piece);
}

QString initialNameOf(const QString &filter)
{
    const qsizetype open = filter.indexOf(u'(');
    const qsizetype close = filter.indexOf(u')');
    if (open < 0 || close <= open)
        return QString();
    return filter.mid(open + 1, close - open - 1);
}

void reportSaveFailure(const CXMLWarningFunction &warning, const QString &path, const QString &reason)
{
    ShowXMLWarning(warning, QStringLiteral("The catalogue could not be saved to \"%1\": %2\nThe file was not changed.")
                       .arg(QDir::toNativeSeparators(path), reason));
}

} // namespace

bool NeedsWideCharacters(const CXML &root)
{
    std::vector<const CXML *> pending{&root};
    while (!pending.empty()) {
        const CXML *element = pending.back();
        pending.pop_back();
        if (hasWideCharacter(element->name) || hasWideCharacter(element->text))
            return true;
        for (const CAttribute *attribute : element->attributes) {
            if (hasWideCharacter(attribute->name) || hasWideCharacter(attribute->value))
                return true;
        }
        for (const CXML *child : element->children)
            pending.push_back(child);
    }
    return false;
}

CXMLEncoding ChooseXMLEncoding(const CXML &root)
{
    return (root.unicodeFile || NeedsWideCharacters(root)) ? CXMLEncoding::Utf16 : CXMLEncoding::OneByte;
}

bool Write(CXML &element, QIODevice &file, int depth)
{
    const CXML *root = &element;
    while (root->parent)
        root = root->parent;
    return Write(element, file, depth, root->unicodeFile ? CXMLEncoding::Utf16 : CXMLEncoding::OneByte);
}

bool Write(CXML &element, QIODevice &file, int depth, CXMLEncoding encoding)
{
    // A character above 255 has no byte: refuse rather than write it corrupted.
    if (encoding == CXMLEncoding::OneByte && NeedsWideCharacters(element))
        return false;

    PieceWriter out(file, encoding);
    QString piece;
    // An explicit stack instead of recursion, so any depth is written. The child
    // cursor of the elements is left alone: a walk in progress elsewhere survives.
    std::vector<Frame> open;
    if (writeStart(element, depth, out, piece))
        open.push_back({&element, 0, depth});
    while (!open.empty() && out.ok()) {
        Frame &top = open.back();
        if (top.nextChild < top.element->children.size()) {
            CXML *child = top.element->children.at(top.nextChild++);
            const int childDepth = top.depth + 1;
            if (writeStart(*child, childDepth, out, piece))
                open.push_back({child, 0, childDepth});
            continue;
        }
        writeEnd(*top.element, top.depth, out, piece);
        open.pop_back();
    }
    return out.flush();
}

struct CXMLFileBytesWriter::State
{
    explicit State(CXML &tree) : root(tree) {}

    void start(CXMLEncoding chosen)
    {
        encoding = chosen;
        open.clear();
        out.reset();
        buffer.close();
        buffer.setData(QByteArray());
        buffer.open(QIODevice::WriteOnly);
        if (encoding == CXMLEncoding::Utf16)
            buffer.write(UTF16_BYTE_ORDER_MARK);
        out = std::make_unique<PieceWriter>(buffer, encoding);
        if (writeStart(root, ROOT_DEPTH, *out, piece))
            open.push_back({&root, 0, ROOT_DEPTH});
    }

    CXML &root;
    CXMLEncoding encoding = CXMLEncoding::OneByte;
    QBuffer buffer;
    std::unique_ptr<PieceWriter> out;
    QString piece;
    std::vector<Frame> open;   // as in Write: an explicit stack, so any depth is written
    bool done = false;
};

CXMLFileBytesWriter::CXMLFileBytesWriter(CXML &root) : m_state(std::make_unique<State>(root))
{
    // Not the wide-character scan of ChooseXMLEncoding: that is a pass over the whole tree
    // in one piece. A wide character met while writing starts the file again instead.
    m_state->start(root.unicodeFile ? CXMLEncoding::Utf16 : CXMLEncoding::OneByte);
}

CXMLFileBytesWriter::~CXMLFileBytesWriter() = default;

bool CXMLFileBytesWriter::Step(qsizetype elements)
{
    State &s = *m_state;
    for (qsizetype n = 0; !s.done && n < elements && !s.open.empty(); ++n) {
        Frame &top = s.open.back();
        if (top.nextChild < top.element->children.size()) {
            CXML *child = top.element->children.at(top.nextChild++);
            const int childDepth = top.depth + 1;
            if (writeStart(*child, childDepth, *s.out, s.piece))
                s.open.push_back({child, 0, childDepth});
            continue;
        }
        writeEnd(*top.element, top.depth, *s.out, s.piece);
        s.open.pop_back();
    }
    if (s.out->sawWide()) {
        s.start(CXMLEncoding::Utf16);
        return false;
    }
    if (!s.done && s.open.empty()) {
        // Cannot fail: memory takes every write.
        s.out->flush();
        s.done = true;
    }
    return s.done;
}

QByteArray CXMLFileBytesWriter::Take()
{
    return m_state->done ? m_state->buffer.data() : QByteArray();
}

QByteArray XMLFileBytes(CXML &root)
{
    CXMLFileBytesWriter writer(root);
    while (!writer.Step(std::numeric_limits<qsizetype>::max())) {
    }
    return writer.Take();
}

bool FinishXMLSave(CXML &root, const QString &path, const QString &error, const CXMLWarningFunction &warning)
{
    if (!error.isEmpty()) {
        reportSaveFailure(warning, path, error);
        return false;
    }
    root.filePath = path;
    return true;
}

bool SaveToFile(CXML &root, const QString &path, const CXMLWarningFunction &warning)
{
    // Written to a temporary file beside the target, flushed to the disk and renamed over
    // it only when complete: a failure never leaves a half-written catalogue in place of a
    // good one.
    return FinishXMLSave(root, path, WriteFileAtomically(path, XMLFileBytes(root)), warning);
}

int SaveAs(CXML &root, const QString &filter, const XMLHooks &hooks)
{
    return SaveAs(root, filter, initialNameOf(filter), hooks);
}

QString AskXMLSaveFile(CXML &root, const QString &filter, const QString &initialName,
                       const CXMLSaveFileFunction &saveFile)
{
    const QString proposal = initialName.isEmpty() ? initialNameOf(filter) : initialName;
    const QString path = saveFile ? saveFile(proposal, filter) : QString();
    if (path.isEmpty())
        root.filePath.clear();
    return path;
}

int SaveAs(CXML &root, const QString &filter, const QString &initialName, const XMLHooks &hooks)
{
    const QString path = AskXMLSaveFile(root, filter, initialName, hooks.saveFile);
    if (path.isEmpty())
        return 0;
    return SaveToFile(root, path, hooks.warning) ? 1 : 0;
}

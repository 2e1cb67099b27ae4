#pragma once

// The catalogue's own small XML library: an element tree, a parser for the
// catalogue dialect and a writer. It accepts exactly that dialect, quirks
// included (existing catalogue files rely on them); it is not a general XML
// implementation: no namespaces, no DTD, no character references.
//
// Qt Core only. Everything here runs on the thread that owns the tree (the
// user-interface thread in the tool); nothing is locked.

#include "xml/XMLFast.h"

#include <QList>
#include <QString>
#include <QStringView>

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

class QIODevice;

class CXML;

// One attribute: name and value.
class CAttribute
{
public:
    CAttribute() = default;
    CAttribute(QString attributeName, QString attributeValue);
    virtual ~CAttribute() = default;

    // Blocks of exactly this class's size come from the tree's slabs (XMLFast.h).
    static void *operator new(std::size_t size);
    static void operator delete(void *block, std::size_t size);

    QString name;
    QString value;
};

// Child elements in document order. Does not own them: an element deletes its
// children itself (CXML::Clear), so that deep trees are freed without recursion.
class CXMLList : public CXMLPointerList<CXML>
{
public:
    CXMLList() = default;
    virtual ~CXMLList() = default;
};

// Attributes in the order in which they were first set. Owns them and deletes
// them last to first.
class CAttributeList : public CXMLPointerList<CAttribute>
{
public:
    CAttributeList() = default;
    virtual ~CAttributeList();

    void DeleteAll();
};

// One element. It owns its whole subtree; deleting the root deletes the document.
// Invariant: an element is held in at most one `children` list and its `parent`
// is the element owning that list. Read `children`, `parent` and `attributes`
// freely; change them only through AddChild, RemoveChild and SetAttribute.
class CXML
{
public:
    CXML() = default;
    CXML(const CXML &) = delete;
    CXML &operator=(const CXML &) = delete;
    // Detaches from the parent, then frees the subtree (without recursion).
    virtual ~CXML();

    // From the tree's slabs like CAttribute's blocks; subclasses use the global allocator.
    static void *operator new(std::size_t size);
    static void operator delete(void *block, std::size_t size);

public: // tree
    // Deletes all attributes, then all children; empties `text`. `name`,
    // `parent` and `filePath` stay.
    void Clear();
    // Null is ignored; an empty name becomes "Unknown". Appends the child, then
    // removes it from its former parent (so re-adding moves it to the end).
    void AddChild(CXML *child);
    // Unlinks the first entry that is `child` (not deleted) and clears its parent.
    // The child cursor is reset: GetNextChild returns null until GetFirstChild.
    void RemoveChild(CXML *child);
    // One cursor per element: two walks over the same element's children must
    // not be interleaved (a recursive walk of the tree is fine).
    CXML *GetFirstChild();
    CXML *GetNextChild();

public: // attributes
    // Value of the first attribute with exactly this name; "" when none.
    QString GetAttribute(const QString &attributeName) const;
    // Replaces the value in place when the name exists, otherwise appends.
    void SetAttribute(const QString &attributeName, const QString &attributeValue);
    CAttribute *FindAttribute(QStringView attributeName) const;

public: // fields
    CXMLList children;
    QString name;
    CXML *parent = nullptr;
    // Character content between the start and end tags, the children's excluded.
    QString text;
    // Where SaveAs last wrote this tree; "" after a cancelled save.
    QString filePath;
    // Set by the tokenizer when a read for this element returned no bytes.
    int endOfInput = 0;
    // 1 once a UTF-16 file (one with the byte-order mark FF FE) was read into this tree:
    // every later read into it and every save of it then use UTF-16 little-endian. Set by
    // Load on the root; nothing clears it.
    int unicodeFile = 0;
    CAttributeList attributes;

private:
    void TakeChildren(std::vector<CXML *> &into);

    qsizetype m_childCursor = -1;
};

// The five references &amp; &lt; &gt; &apos; &quot;, nothing else.
QString EncodeEntities(QStringView s);
// Decodes the five references in one pass (a reference produced by a
// replacement is not replaced again); any other "&" stays as it is.
QString DecodeEntities(QStringView s);

// Warnings of the parser and the writer's error reports go to the function the caller
// passes: a modal message box in the tool, a recorder in tests. Without one they go to
// qWarning.
using CXMLWarningFunction = std::function<void(const QString &text, const QString &caption)>;
void ShowXMLWarning(const CXMLWarningFunction &warning, const QString &text);

// The file to save to, asked of a person (given the initial name and the filter; the
// chosen path, or "" for cancel).
using CXMLSaveFileFunction = std::function<QString(const QString &initialName, const QString &filter)>;

// What the library asks of its caller's surroundings, passed with each call that needs it;
// the caller owns it (the window keeps its own).
struct XMLHooks
{
    CXMLWarningFunction warning;
    CXMLSaveFileFunction saveFile;
};

// ---------------------------------------------------------------------------
// Parser

// Bytes asked for in each read; every step of the parser looks at one such piece.
inline constexpr qint64 READ_CHUNK_BYTES = 16384;

inline const QString XML_WARNING_UNMATCHED_END =
    QStringLiteral("Warning Element Terminator exists without matching initial Block ");
inline const QString XML_WARNING_INCOMPLETE_TAG = QStringLiteral("Warning Tag Block is Incomplete");

class CXMLInput;

// Fills `root` from the device's current position. `rootName` empty: the first
// tag that is not a declaration or comment becomes the root. Returns 1 when a root
// element was found and parsed, 0 when the input ended first. Afterwards the
// device stands just after the last byte the parser consumed. Warnings go to `warning`.
// A file that starts with FF FE sets the root's `unicodeFile`.
int Load(CXML &root, QIODevice &file, const QString &rootName, const CXMLWarningFunction &warning = {});
// Fills `element` from its start tag and the input that follows. Iterative: a
// file nested a million levels deep is parsed without deep recursion.
void ParseElement(CXML &element, const QString &token, CXMLInput &input);
// The next tag ("<" up to the first ">" outside quotes, every quoted value
// delimited by double quotes), or "" at the end of the input; the text passed on
// the way goes to `element`.
QString ReadToken(CXMLInput &input, CXML &element);
// Text passed on the way to a tag, added to the element's text by the text rules; the
// input shares short texts like names.
void AppendText(CXML &element, QStringView s, CXMLInput &input);
void AppendTextBeforeTag(CXML &element, QStringView s, CXMLInput &input);
bool IsStartTag(QStringView token, QStringView wantedName);

// ---------------------------------------------------------------------------
// Writer

inline const QString INDENT_UNIT = QStringLiteral("    ");

enum class CXMLEncoding { OneByte, Utf16 };

// The encoding a save of this tree uses: UTF-16 when the root's unicodeFile is set or
// when some name, value or text holds a character above 255 (which has no byte
// of its own; the parser reads such a file back through its byte-order mark).
CXMLEncoding ChooseXMLEncoding(const CXML &root);
bool NeedsWideCharacters(const CXML &root);

// Writes the element and its subtree at `depth` (indentation for depth >= 1).
// Trims attribute values in the tree. Returns false when the device failed or
// when a character of the subtree does not fit the one-byte encoding; in that
// last case nothing is written.
bool Write(CXML &element, QIODevice &file, int depth, CXMLEncoding encoding);
// The same in UTF-16 when the tree's root was read from a UTF-16 file, else one byte each.
bool Write(CXML &element, QIODevice &file, int depth);

// Asks for a file through the hooks' save-file function, then writes the tree there.
// The file is written beside the target and renamed over it only when complete,
// so a failed save never leaves a half-written file in place of a good one.
// Returns 1 when written; 0 when cancelled (`filePath` becomes "") or when the
// file could not be written (a warning is shown, `filePath` is left unchanged).
// Blocks on the disk. A caller whose thread must not wait takes the steps apart:
// AskXMLSaveFile and XMLFileBytes on the tree's thread, WriteFileAtomically
// (platform/AtomicFile.h) on another, FinishXMLSave back on the tree's thread.
// Without a save-file function nothing is asked and nothing saved (0).
int SaveAs(CXML &root, const QString &filter, const XMLHooks &hooks);
// The same with the dialog's initial name given (a path: the dialog starts in its folder)
// instead of the filter's first pattern; "" falls back to that pattern.
int SaveAs(CXML &root, const QString &filter, const QString &initialName, const XMLHooks &hooks);
// Writes the tree to `path` with the encoding SaveAs would choose; on failure
// shows the warning and returns false. Used by SaveAs after the dialog.
bool SaveToFile(CXML &root, const QString &path, const CXMLWarningFunction &warning = {});

// SaveAs's question: the chosen path, or "" when cancelled (`filePath` then becomes "").
QString AskXMLSaveFile(CXML &root, const QString &filter, const QString &initialName,
                       const CXMLSaveFileFunction &saveFile);
// The whole file SaveToFile writes (the byte-order mark first when UTF-16), made in
// memory in one pass over the tree. Trims attribute values in the tree, like Write.
QByteArray XMLFileBytes(CXML &root);
// XMLFileBytes a piece at a time, so that the thread owning a large tree turns it into its
// file between its other work. Each Step writes up to `elements` more elements. A tree
// first written in one byte a character that turns out to hold a character above 255 is
// written again from the start in UTF-16. The tree must keep its elements until the bytes
// are taken; a value changed between steps is in the file when its element comes later.
class CXMLFileBytesWriter
{
public:
    explicit CXMLFileBytesWriter(CXML &root);
    ~CXMLFileBytesWriter();
    CXMLFileBytesWriter(const CXMLFileBytesWriter &) = delete;
    CXMLFileBytesWriter &operator=(const CXMLFileBytesWriter &) = delete;

    // True once the whole file is written.
    bool Step(qsizetype elements);
    // The file's bytes; valid once Step returned true.
    QByteArray Take();

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// The end of a save to `path` whose writing ended with `error` ("" when the file was
// written): sets `filePath` and returns true, or shows the warning, leaves `filePath`
// and returns false.
bool FinishXMLSave(CXML &root, const QString &path, const QString &error,
                   const CXMLWarningFunction &warning = {});

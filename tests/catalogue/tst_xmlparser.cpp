#include "XmlTestSupport.h"
#include "xml/XMLInput.h"

#include <QtTest>

namespace {

// Characters in one piece for one- and two-byte files.
int pieceChars(bool utf16)
{
    return int(READ_CHUNK_BYTES / (utf16 ? 2 : 1));
}

const QString UNMATCHED = XML_WARNING_UNMATCHED_END;

} // namespace

class TestXmlParser : public QObject
{
    Q_OBJECT

private slots:
    void dialect_data();
    void dialect();
    void pieceBoundaries_data();
    void pieceBoundaries();
    void unicodeFlagStaysSet();
    void incompleteTagWarning();
    void deepNesting_data();
    void deepNesting();
    void leavesDeviceAfterConsumedInput();
    void repeatedShortStringsKeptApart_data();
    void repeatedShortStringsKeptApart();
    void sharedStringsChangeApart();
};

void TestXmlParser::dialect_data()
{
    QTest::addColumn<bool>("utf16");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("rootName");
    QTest::addColumn<int>("found");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QStringList>("warnings");

    struct Row
    {
        const char *name;
        QString input;
        QString rootName;
        int found;
        QString expected;
        QStringList warnings;
    };
    const QList<Row> rows = {
        // tags and attributes
        {"empty element with blank", "<r><c a=\"1\" /></r>", "", 1, "r\n  c a=[1]\n", {}},
        {"empty element without blank", "<r><c/></r>", "", 1, "r\n  c\n", {}},
        {"apostrophe value", "<r a='x y'/>", "", 1, "r a=[x y]\n", {}},
        // The value is cut at the inner double quote; the rest up to the next "="
        // forms the following attribute's name.
        {"apostrophe value cut at double quote", "<r a='x\"y' b=\"2\"/>", "", 1, "r a=[x] y\" b=[2]\n", {}},
        {"gt inside quoted value", "<r a=\"x>y\" b='p>q'/>", "", 1, "r a=[x>y] b=[p>q]\n", {}},
        {"repeated attribute keeps place, last value", "<r a=\"1\" b=\"2\" a=\"3\"/>", "", 1,
         "r a=[3] b=[2]\n", {}},
        {"equals without quote ends the tag", "<r x=\"1\" a=b c=d/>", "", 1, "r x=[1] a=[]\n", {}},
        // The value is the next quoted run after the "=", wherever it starts.
        {"value is the next quoted run", "<r a='x\"' b=c d=\"e\"/>", "", 1, "r a=[x] \" b=[e]\n", {}},
        {"name runs to blank only", "<r\tx=\"1\"/>", "", 1, "r\tx=\"1\"\n", {}},
        // text rules
        {"quoted run keeps lt as text", "<r>say \"a<b\" now</r>", "", 1, "r |say \"a<b\" now|\n", {}},
        {"quote first in piece opens no run", "<r>\"a<b>c</b></r>", "", 1, "r |\"a|\n  b |c|\n", {}},
        {"description in CR LF file", "<r>\r\n    Desc line\r\n    <c/>\r\n</r>", "", 1,
         "r |    Desc line\\r|\n  c\n", {}},
        {"description in LF file", "<r>\n    Desc line\n    <c/>\n</r>", "", 1, "r |\\n    Desc line|\n  c\n",
         {}},
        {"text with letters after last line feed kept whole", "<r>\n  a\n  b<c/></r>", "", 1,
         "r |\\n  a\\n  b|\n  c\n", {}},
        {"text ending in line feed gets a blank", "<r>ab\n\n</r>", "", 1, "r |ab |\n", {}},
        {"text between children gathered", "<r>one<c/>two<d/>three</r>", "", 1, "r |onetwothree|\n  c\n  d\n",
         {}},
        // skipped tags and the root
        {"declarations and comments skipped", "<?xml version=\"1.0\"?><!-- c --><r><!-- x --><?p?><c/></r>", "",
         1, "r\n  c\n", {}},
        {"comment with gt ends there", "<r><!-- a > b --><c/></r>", "", 1, "r | b -->|\n  c\n", {}},
        {"empty root name takes first tag", "lead<?x?><top a=\"1\"><c/></top>", "", 1, "top a=[1]\n  c\n", {}},
        {"wanted root name skips other tags", "<x/><y><r k=\"v\"/></y>", "r", 1, "r k=[v]\n", {}},
        {"no start tag", "just text", "r", 0, "r\n", {}},
        {"input ending inside a tag", "<r><c a=\"1\"", "", 1, "r\n", {}},
        // entity references: the five decoded everywhere, nothing else
        {"five references in attributes", "<r a=\"&lt;&amp;&gt;&apos;&quot;\"/>", "", 1, "r a=[<&>'\"]\n", {}},
        {"references in child text and attributes", "<r><c b=\"&amp;amp;\">x &amp; y &#38; &nbsp; &</c></r>",
         "", 1, "r\n  c b=[&amp;] |x & y &#38; &nbsp; &|\n", {}},
        {"reference in root text", "<r>a&lt;b</r>", "", 1, "r |a<b|\n", {}},
        // faults in the input
        {"end tag without start tag", "<r></x><c/></r>", "", 1, "r\n  /x\n    c\n    /r\n",
         {UNMATCHED + "/x", UNMATCHED + "/r"}},
        {"empty element with empty name dropped", "<r>< x/><d/></r>", "", 1, "r\n  d\n", {}},
        {"element with empty name dropped with content", "<r>< x>t<c/></><d/></r>", "", 1, "r\n  d\n", {}},
    };
    for (bool utf16 : {false, true}) {
        for (const Row &row : rows) {
            QTest::addRow("%s %s", utf16 ? "utf16" : "byte", row.name)
                << utf16 << row.input << row.rootName << row.found << row.expected << row.warnings;
        }
    }
}

void TestXmlParser::dialect()
{
    QFETCH(bool, utf16);
    QFETCH(QString, input);
    QFETCH(QString, rootName);
    QFETCH(int, found);
    QFETCH(QString, expected);
    QFETCH(QStringList, warnings);

    const QByteArray file = xmlFile(input, utf16);
    const ParseResult whole = parseXml(file, rootName);
    QCOMPARE(whole.found, found);
    QCOMPARE(dumpXml(*whole.root), expected);
    QCOMPARE(whole.warnings, warnings);
    QCOMPARE(whole.root->unicodeFile, utf16 ? 1 : 0);

    // The device's own read sizes must not matter.
    ShortReadDevice device(file, {1, 3, 2, 7});
    const ParseResult shortReads = parseXml(device, rootName);
    QCOMPARE(dumpXml(*shortReads.root), expected);
}

// Each family puts a delimiter at offsets around the end of the piece that starts
// just after the root's start tag, and states what the piece rules make of it.
void TestXmlParser::pieceBoundaries_data()
{
    QTest::addColumn<bool>("utf16");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");

    for (bool utf16 : {false, true}) {
        const int n = pieceChars(utf16);
        const char *enc = utf16 ? "utf16" : "byte";
        for (int offset = -2; offset <= 2; ++offset) {
            const int run = n + offset;
            const QString a(run, u'a');
            // No character may be lost or doubled where a run crosses pieces.
            QTest::addRow("%s plain run %+d", enc, offset)
                << utf16 << "<r>" + a + "<c/></r>" << "r |" + a + "|\n  c\n";
            // A blank right before "<" is dropped only when it starts a piece.
            QTest::addRow("%s blank before tag %+d", enc, offset)
                << utf16 << "<r>" + a + " <c/></r>"
                << "r |" + a + (offset == 0 ? "" : " ") + "|\n  c\n";
            // A line break split across pieces: CR LF starting a piece is dropped,
            // LF starting a piece (after a CR ending the previous one) is dropped.
            const QString b(n, u'b');
            QString crlf = a + "\r\n" + b;
            if (offset == 0)
                crlf = a + b;
            else if (offset == -1)
                crlf = a + "\r" + b;
            QTest::addRow("%s CR LF split %+d", enc, offset)
                << utf16 << "<r>" + a + "\r\n" + b + "<c/></r>" << "r |" + escapedForDump(crlf) + "|\n  c\n";
        }
        // A quote that falls first in a tag piece is no quote: a ">" after it ends the tag.
        for (int offset = -1; offset <= 1; ++offset) {
            // Tag piece starts after "<": "c " + name + "=" puts the quote at index n + offset.
            const QString name(n + offset - 3, u'y');
            const QString input = "<r><c " + name + "=\"v>w\"/></r>";
            const QString expected = offset == 0 ? "r\n  c " + name + "=[] |w\"/></r>|\n"
                                                 : "r\n  c " + name + "=[v>w]\n";
            QTest::addRow("%s quote first in tag piece %+d", enc, offset) << utf16 << input << expected;
        }
    }
}

void TestXmlParser::pieceBoundaries()
{
    QFETCH(bool, utf16);
    QFETCH(QString, input);
    QFETCH(QString, expected);

    const QByteArray file = xmlFile(input, utf16);
    const ParseResult whole = parseXml(file);
    QCOMPARE(whole.found, 1);
    QCOMPARE(dumpXml(*whole.root), expected);

    ShortReadDevice device(file, {4093, 1, 5000, 2});
    QCOMPARE(dumpXml(*parseXml(device).root), expected);
}

// The flag belongs to the tree a UTF-16 file was read into: later reads into that tree are
// UTF-16, another tree read meanwhile is not.
void TestXmlParser::unicodeFlagStaysSet()
{
    auto loadInto = [](CXML &root, const QByteArray &bytes) {
        QBuffer buffer;
        buffer.setData(bytes);
        buffer.open(QIODevice::ReadOnly);
        return Load(root, buffer, QString(), [](const QString &, const QString &) {});
    };
    CXML wide;
    QCOMPARE(loadInto(wide, xmlFile("<r a=\"\u00e9\"/>", true)), 1);
    QCOMPARE(wide.unicodeFile, 1);
    const ParseResult other = parseXml(QByteArray("<s/>"));
    QCOMPARE(other.found, 1);
    QCOMPARE(other.root->unicodeFile, 0);
    // A later one-byte file read into the same tree is taken as UTF-16 too: its bytes pair
    // up into characters that hold no "<".
    wide.Clear();
    QCOMPARE(loadInto(wide, QByteArray("<r/>")), 0);
    QCOMPARE(wide.unicodeFile, 1);
}

void TestXmlParser::incompleteTagWarning()
{
    QBuffer empty;
    empty.open(QIODevice::ReadOnly);
    QStringList warnings;
    CXMLInput input(empty, 0, [&](const QString &text, const QString &) { warnings << text; });
    CXML element;
    // The last character stands in for ">" and is replaced like it; a value left
    // without its closing quote is set empty.
    ParseElement(element, "<c a=\"1\" b=\"2", input);
    QCOMPARE(warnings, QStringList{XML_WARNING_INCOMPLETE_TAG});
    QCOMPARE(element.name, QStringLiteral("c"));
    QCOMPARE(element.GetAttribute("a"), QStringLiteral("1"));
    QCOMPARE(element.attributes.size(), 2);
    QCOMPARE(element.GetAttribute("b"), QString());
    QCOMPARE(element.endOfInput, 1);
}

void TestXmlParser::deepNesting_data()
{
    QTest::addColumn<bool>("closed");
    QTest::newRow("closed") << true;
    QTest::newRow("never closed") << false;
}

void TestXmlParser::deepNesting()
{
    QFETCH(bool, closed);
    constexpr int depth = 1000000;
    QByteArray file = QByteArray("<a>").repeated(depth) + "x";
    if (closed)
        file += QByteArray("</a>").repeated(depth);
    ParseResult result = parseXml(file);
    QCOMPARE(result.found, 1);
    int levels = 1;
    CXML *element = result.root.get();
    while (element->children.size() == 1) {
        element = element->children.first();
        ++levels;
    }
    QCOMPARE(levels, depth);
    QCOMPARE(element->text, QStringLiteral("x"));

    // Writing goes through every level too (to a sink), then the tree is freed.
    QBuffer sink;
    sink.open(QIODevice::WriteOnly);
    QVERIFY(Write(*result.root, sink, -1));
    QVERIFY(sink.size() > qint64(depth) * 2 * 4);
    result.root.reset();
}

void TestXmlParser::leavesDeviceAfterConsumedInput()
{
    QBuffer buffer;
    buffer.setData("<r a=\"1\"/>tail" + QByteArray(40000, 'z'));
    buffer.open(QIODevice::ReadOnly);
    CXML root;
    QCOMPARE(Load(root, buffer, QString()), 1);
    QCOMPARE(buffer.pos(), qint64(10));
}

// Names and short values are shared between elements; strings that look alike at both
// ends, or differ only in length, must still come back exactly as written, however they
// alternate.
void TestXmlParser::repeatedShortStringsKeptApart_data()
{
    QTest::addColumn<QStringList>("values");
    QStringList sameEnds;
    for (int i = 0; i < 300; ++i)
        sameEnds << QStringLiteral("abcd%1wxyz").arg(i % 10 * 100 + i / 10, 3, 10, QLatin1Char('0'));
    QTest::newRow("same first and last four") << sameEnds;
    QTest::newRow("lengths 1 to 5 of one run") << QStringList{"a", "aa", "aaa", "aaaa", "aaaaa", "aaa", "a", "aaaa"};
    QTest::newRow("differ in the middle only") << QStringList{"i,1234", "i,1334", "i,1234", "i,1244", "i,1334"};
    QStringList mixed;
    for (int i = 0; i < 2000; ++i)
        mixed << QString::number(i * 7919 % 100000) << QStringLiteral("Scan");
    QTest::newRow("many, alternating with a common one") << mixed;
}

void TestXmlParser::repeatedShortStringsKeptApart()
{
    QFETCH(QStringList, values);
    // Each value is an attribute value, and with an "e" in front an element and an
    // attribute name (the dialect takes a name up to the first blank).
    QString input = QStringLiteral("<r>");
    for (const QString &value : values)
        input += QStringLiteral("<e%1 e%1=\"%1\"/>").arg(value);
    input += QStringLiteral("</r>");
    const ParseResult result = parseXml(xmlFile(input, false));
    QCOMPARE(result.found, 1);
    QCOMPARE(result.root->children.size(), values.size());
    for (qsizetype i = 0; i < values.size(); ++i) {
        const CXML *child = result.root->children.at(i);
        const QString name = QLatin1Char('e') + values.at(i);
        QCOMPARE(child->name, name);
        QCOMPARE(child->attributes.size(), 1);
        QCOMPARE(child->attributes.at(0)->name, name);
        QCOMPARE(child->attributes.at(0)->value, values.at(i));
    }
}

// Equal names, values and texts read from a file may share their characters; changing
// one element's copy must leave every other element, and the next parse, as read.
void TestXmlParser::sharedStringsChangeApart()
{
    const QByteArray file = xmlFile("<r><a k=\"v\">same</a><a k=\"v\">same</a></r>", false);
    const ParseResult first = parseXml(file);
    QCOMPARE(first.root->children.size(), 2);
    CXML *changed = first.root->children.at(0);
    changed->text[0] = u'S';
    changed->text.append(u'!');
    changed->name[0] = u'A';
    changed->attributes.at(0)->value[0] = u'V';
    changed->SetAttribute("k", changed->GetAttribute("k") + "w");

    const CXML *other = first.root->children.at(1);
    QCOMPARE(changed->text, QStringLiteral("Same!"));
    QCOMPARE(changed->GetAttribute("k"), QStringLiteral("Vw"));
    QCOMPARE(other->name, QStringLiteral("a"));
    QCOMPARE(other->text, QStringLiteral("same"));
    QCOMPARE(other->GetAttribute("k"), QStringLiteral("v"));

    const ParseResult second = parseXml(file);
    QCOMPARE(second.root->children.at(0)->name, QStringLiteral("a"));
    QCOMPARE(second.root->children.at(0)->text, QStringLiteral("same"));
    QCOMPARE(second.root->children.at(0)->GetAttribute("k"), QStringLiteral("v"));
}

QTEST_GUILESS_MAIN(TestXmlParser)
#include "tst_xmlparser.moc"

// Catalogue loading into the command tree, under a plain parent widget: item order,
// pictures, item data, the entries left out, and the shipped catalogue. Also the
// widget-free rules the tree and the panel share: parameter names, composition, filters.

#include "catalogue/Catalogue.h"
#include "catalogue/widgets/CatalogueDialogs.h"
#include "catalogue/widgets/CatalogueTree.h"
#include "catalogue/widgets/PropertiesPanel.h"
#include "controls/propgrid/PropGrid.h"
#include "xml/XML.h"
#include "controls/tree/ExtTree.h"
#include "res/Bitmap129.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Pictures by their meaning, so that the expected tables read as the rules do.
const int TAG = BITMAP129_RFID_TAG;
const int BARCODE = BITMAP129_BARCODE;
const int GEAR = BITMAP129_GEAR;
const int PROMPT = BITMAP129_PROMPT;

QString row(int depth, const QString &text, int picture)
{
    return QStringLiteral("%1%2 [%3]").arg(QString(depth * 2, u' '), text).arg(picture);
}

// One line per item in pre-order. Verifies on the way that item data counts 0, 1, 2, ...
// in that order and names the element whose name the item shows.
QStringList dumpTree(const CExtTree &tree, const QList<CXML *> &elements)
{
    QStringList out;
    quintptr expectedData = 0;
    std::function<void(QTreeWidgetItem *, int)> walk = [&](QTreeWidgetItem *item, int depth) {
        const quintptr data = tree.GetItemData(item);
        if (data != expectedData++ || data >= quintptr(elements.size())
            || elements.at(qsizetype(data))->GetAttribute(CATALOGUE_NAME_ATTRIBUTE) != tree.GetItemText(item))
            out << QStringLiteral("bad item data %1").arg(data);
        const int image = item->data(0, CExtTree::ImageRole).toInt();
        if (item->data(0, CExtTree::SelectedImageRole).toInt() != image)
            out << QStringLiteral("selected picture differs");
        out << row(depth, tree.GetItemText(item), image);
        for (int i = 0; i < item->childCount(); ++i)
            walk(item->child(i), depth + 1);
    };
    for (int i = 0; i < tree.topLevelItemCount(); ++i)
        walk(tree.topLevelItem(i), 0);
    if (qsizetype(expectedData) != elements.size())
        out << QStringLiteral("%1 elements for %2 items").arg(elements.size()).arg(expectedData);
    return out;
}

struct Loaded
{
    QWidget parent;
    CExtTree *tree = new CExtTree(&parent, 1001);
    CTreeImageList images;
    CXML document;
    QList<CXML *> elements;
    QStringList warnings;

    void load(const QString &path)
    {
        LoadCatalogueTree(*tree, images, document, path, elements,
                          [this](const QString &text, const QString &) { warnings << text; });
    }
};

} // namespace

class TestCatalogueTree : public QObject
{
    Q_OBJECT

private slots:
    void tree_data();
    void tree();
    void missingFile();
    void deepNestingIsCapped();
    void shippedCatalogue();
    void pictures();
    void parameterNames_data();
    void parameterNames();
    void compose_data();
    void compose();
    void dialogFilter_data();
    void dialogFilter();
};

void TestCatalogueTree::tree_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("nested groups, markers, parameters, a non-parameter below a command")
        << QByteArray("<?xml version=\"1.0\"?>\r\n<!-- c -->\r\n"
                      "<Catalogue name=\"Root RFID Scan\">\r\n"
                      "  <Group name=\"Outer\">\r\n"
                      "    <Group name=\"Inner\">\r\n"
                      "      <Command name=\"RFID Scan both\" instruction=\"x\"/>\r\n"
                      "    </Group>\r\n"
                      "    <Command name=\"RFID Read\" instruction=\"r\">\r\n"
                      "      <p1 name=\"a\" Default=\"1\"><Sub name=\"below a parameter\"/></p1>\r\n"
                      "      <Extra name=\"Extra child\" instruction=\"e\"/>\r\n"
                      "      <p12 name=\"b\" Default=\"2\"/>\r\n"
                      "    </Command>\r\n"
                      "    <Command name=\"rfid lower case\" instruction=\"l\"/>\r\n"
                      "    <Group name=\"scan lower case\"/>\r\n"
                      "  </Group>\r\n"
                      "  <p9x name=\"parameter-like entry\"/>\r\n"
                      "  <Command name=\"Scanner\" instruction=\"\"/>\r\n"
                      "  <P1 name=\"capital P is an entry\" instruction=\"q\"/>\r\n"
                      "  <p0 name=\"p0 is an entry\"/>\r\n"
                      "</Catalogue>\r\n")
        << QStringList{row(0, "Root RFID Scan", GEAR),
                       row(1, "Outer", GEAR),
                       row(2, "Inner", GEAR),
                       row(3, "RFID Scan both", BARCODE),
                       row(2, "RFID Read", TAG),
                       row(3, "Extra child", PROMPT),
                       row(2, "rfid lower case", PROMPT),
                       row(2, "scan lower case", GEAR),
                       row(1, "Scanner", BARCODE),
                       row(1, "capital P is an entry", PROMPT),
                       row(1, "p0 is an entry", GEAR)};
    QTest::newRow("no start tag: one nameless root with the gear")
        << QByteArray("only text, no tag at all\r\n") << QStringList{row(0, "", GEAR)};
    QTest::newRow("empty file") << QByteArray() << QStringList{row(0, "", GEAR)};
    QTest::newRow("a parameter as the root shows nothing")
        << QByteArray("<p1 name=\"x\"><Command name=\"c\" instruction=\"c\"/></p1>") << QStringList{};
    QTest::newRow("unterminated: what was parsed is shown")
        << QByteArray("<Root name=\"R\"><Group name=\"G\"><Command name=\"C\" instruction=\"c\"")
        << QStringList{row(0, "R", GEAR), row(1, "G", GEAR)};
}

void TestCatalogueTree::tree()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, expected);

    QTemporaryDir dir;
    QFile out(dir.filePath("catalogue.xml"));
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(file);
    out.close();

    Loaded loaded;
    loaded.load(out.fileName());
    QCOMPARE(dumpTree(*loaded.tree, loaded.elements), expected);
    // The loader opens nothing and selects nothing.
    QCOMPARE(loaded.tree->GetSelectedItem(), nullptr);
    for (int i = 0; i < loaded.tree->topLevelItemCount(); ++i)
        QVERIFY(!loaded.tree->topLevelItem(i)->isExpanded());
}

void TestCatalogueTree::missingFile()
{
    QTemporaryDir dir;
    Loaded loaded;
    loaded.load(dir.filePath("absent.xml"));
    QCOMPARE(loaded.tree->topLevelItemCount(), 0);
    QVERIFY(loaded.elements.isEmpty());
    QVERIFY(loaded.warnings.isEmpty());
    // The pictures are there all the same.
    QCOMPARE(loaded.tree->imageList().count(), BITMAP129_CELL_COUNT);
}

void TestCatalogueTree::deepNestingIsCapped()
{
    // A hostile file: far deeper than the platform tree can free or draw safely.
    constexpr int DEPTH = 200000;
    QByteArray file;
    for (int i = 0; i < DEPTH; ++i)
        file += "<G name=\"g\">";
    QTemporaryDir dir;
    QFile out(dir.filePath("deep.xml"));
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(file);
    out.close();

    auto loaded = std::make_unique<Loaded>();
    loaded->load(out.fileName());
    int depth = 0;
    for (QTreeWidgetItem *item = loaded->tree->topLevelItem(0); item->childCount() > 0; item = item->child(0))
        ++depth;
    QCOMPARE(depth, CATALOGUE_TREE_MAX_DEPTH);
    QCOMPARE(loaded->elements.size(), CATALOGUE_TREE_MAX_DEPTH + 1);
    loaded.reset(); // frees the tree and the document without overflowing the stack
}

void TestCatalogueTree::shippedCatalogue()
{
    const QString path = qEnvironmentVariable("RFID_SOURCE_DIR") + "/res/" + CATALOGUE_FILE_NAME;
    QFile raw(path);
    QVERIFY2(raw.open(QIODevice::ReadOnly), qPrintable(path));
    const QByteArray bytes = raw.readAll();
    QVERIFY2(!bytes.contains("\n") || bytes.count("\n") == bytes.count("\r\n"), "CR LF line ends");

    Loaded loaded;
    loaded.load(path);
    QCOMPARE(loaded.warnings, QStringList{});
    QCOMPARE(loaded.tree->topLevelItemCount(), 1);
    QVERIFY(loaded.elements.size() > 5);
    // Every command's parameters carry a label and a value, and the texts hold no double quote.
    for (const CXML *entry : std::as_const(loaded.elements)) {
        QVERIFY(!entry->GetAttribute(CATALOGUE_NAME_ATTRIBUTE).isEmpty());
        QVERIFY(!entry->text.contains(u'"'));
        if (entry->GetAttribute(CATALOGUE_INSTRUCTION_ATTRIBUTE).isEmpty())
            continue;
        for (const CXML *parameter : entry->children) {
            QVERIFY2(IsParameterName(parameter->name), qPrintable(parameter->name));
            QVERIFY(!parameter->GetAttribute(CATALOGUE_NAME_ATTRIBUTE).isEmpty());
            QVERIFY(parameter->FindAttribute(CATALOGUE_DEFAULT_ATTRIBUTE) != nullptr);
            QVERIFY(!parameter->text.isEmpty());
        }
    }
}

void TestCatalogueTree::pictures()
{
    const CTreeImageList images = CreateCatalogueImageList();
    QCOMPARE(images.count(), BITMAP129_CELL_COUNT);
    QList<QImage> seen;
    for (int i = 0; i < images.count(); ++i) {
        const QImage cell = images.image(i).toImage().convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(cell.size(), QSize(BITMAP129_CELL, BITMAP129_CELL));
        int transparent = 0;
        for (int y = 0; y < cell.height(); ++y)
            for (int x = 0; x < cell.width(); ++x)
                transparent += qAlpha(cell.pixel(x, y)) == 0 ? 1 : 0;
        // The ground shows through around each picture, and each picture is drawn.
        QVERIFY2(transparent > 0 && transparent < cell.width() * cell.height() * 7 / 8, qPrintable(QString::number(i)));
        QVERIFY2(!seen.contains(cell), "every cell is a picture of its own");
        seen << cell;
    }
    // The prompt arrow is blue.
    const QImage prompt = images.image(PROMPT).toImage();
    bool blue = false;
    for (int y = 0; y < prompt.height(); ++y)
        for (int x = 0; x < prompt.width(); ++x) {
            const QColor c = prompt.pixelColor(x, y);
            blue |= c.alpha() == 255 && c.blue() > 150 && c.red() < 80 && c.green() < 80;
        }
    QVERIFY(blue);
}

void TestCatalogueTree::parameterNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("parameter");
    QTest::newRow("p1") << "p1" << true;
    QTest::newRow("p9") << "p9" << true;
    QTest::newRow("p10") << "p10" << true;
    QTest::newRow("p1x") << "p1x" << true;
    QTest::newRow("p0") << "p0" << false;
    QTest::newRow("P1") << "P1" << false;
    QTest::newRow("p") << "p" << false;
    QTest::newRow("param") << "param" << false;
    QTest::newRow("empty") << "" << false;
}

void TestCatalogueTree::parameterNames()
{
    QFETCH(QString, name);
    QFETCH(bool, parameter);
    QCOMPARE(IsParameterName(name), parameter);
}

void TestCatalogueTree::compose_data()
{
    QTest::addColumn<QByteArray>("entry");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("shown");   // the entry's description in the properties panel

    QTest::newRow("defaults 1, empty, 3 keep their places")
        << QByteArray("<C instruction=\"instr\"><p1 Default=\"1\"/><p2 Default=\"\"/><p3 Default=\"3\"/></C>")
        << "instr,1,,3" << "";
    QTest::newRow("the description without the file's indentation")
        << QByteArray("<C instruction=\"ver\">\r\n      Asks the reader\r\n      for its version.\r\n    </C>")
        << "ver" << "Asks the reader for its version.";
    QTest::newRow("a missing Default is a comma alone")
        << QByteArray("<C instruction=\"i\"><p1 Default=\"0\"/><p2 name=\"x\"/><p3 Default=\"9\"/></C>") << "i,0,,9" << "";
    QTest::newRow("every child counts, whatever its tag")
        << QByteArray("<C instruction=\"i\"><Sub Default=\"s\"/><p1 Default=\"1\"/></C>") << "i,s,1" << "";
    QTest::newRow("no children: the instruction alone") << QByteArray("<C instruction=\"ver\"/>") << "ver" << "";
    QTest::newRow("a group composes nothing")
        << QByteArray("<G name=\"g\"> A group\r\n <p1 Default=\"1\"/></G>") << "" << "A group";
}

void TestCatalogueTree::compose()
{
    QFETCH(QByteArray, entry);
    QFETCH(QString, line);
    QFETCH(QString, shown);   // the description in the properties panel
    QBuffer buffer(&entry);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    CXML element;
    QCOMPARE(Load(element, buffer, QString()), 1);
    QCOMPARE(ComposeCommandLine(element), line);
    const QString read = element.text;
    CPropGrid grid(nullptr, 0, 100);
    QList<CXML *> rows;
    QString command;
    ShowCatalogueEntry(grid, &element, rows, command);
    QCOMPARE(grid.GetRoot()->GetFirstChild()->GetFirstChild()->GetInfo(), shown);   // the "Name" row
    QCOMPARE(element.text, read);   // kept for Save
}

// What the save dialog the operator gets lists: its "Files of type" entries and the patterns
// it takes from the first, matched against a few names.
void TestCatalogueTree::dialogFilter_data()
{
    QTest::addColumn<QString>("pairs");
    QTest::addColumn<QStringList>("listed");
    QTest::addColumn<QStringList>("types");
    QTest::newRow("save data") << CATALOGUE_SAVE_FILTER << QStringList{"a.xml"}
                               << QStringList{"XML Files (*.xml)", "All Files (*.*)"};
    QTest::newRow("save as: no filter, every file") << CATALOGUE_SAVE_AS_FILTER
                                                    << QStringList{"a.xml", "b.txt", "c.log", "d"}
                                                    << QStringList{"All Files (*)"};
    QTest::newRow("two patterns") << "Text| *.txt;*.log||" << QStringList{"b.txt", "c.log"}
                                  << QStringList{"Text (*.txt *.log)"};
}

void TestCatalogueTree::dialogFilter()
{
    QFETCH(QString, pairs);
    QFETCH(QStringList, listed);
    QFETCH(QStringList, types);
    QStringList patterns, shownTypes;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
            patterns = dialog->findChild<QFileSystemModel *>()->nameFilters();
            for (const QComboBox *types : dialog->findChildren<QComboBox *>("fileTypeCombo"))
                for (int i = 0; i < types->count(); ++i)
                    shownTypes << types->itemText(i);
            dialog->reject();
        }
    });
    poll.start(20);
    QTemporaryDir dir;
    QCOMPARE(AskCatalogueSaveFile(nullptr, dir.filePath("a.xml"), pairs), QString());
    QCOMPARE(shownTypes, types);
    QStringList got;
    for (const char *name : {"a.xml", "b.txt", "c.log", "d"})
        if (patterns.isEmpty() || QDir::match(patterns, name))
            got << name;
    QCOMPARE(got, listed);
}

QTEST_MAIN(TestCatalogueTree)
#include "tst_cataloguetree.moc"

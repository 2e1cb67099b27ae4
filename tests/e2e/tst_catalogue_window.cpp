// The catalogue through the real main window, offscreen: the command tree filled from a
// test catalogue, the properties panel composing the command box, parameter edits stored
// in the document and saved, and the panel's Space sending to the simulated reader.

#include "tests/support/IsolatedWindow.h"
#include "app/RFID_LorixDlg.h"
#include "settings/SettingsStore.h"
#include "catalogue/Catalogue.h"
#include "xml/XML.h"
#include "platform/AtomicFile.h"
#include "controls/propgrid/PropGridItemEdit.h"
#include "controls/propgrid/PropGridList.h"
#include "res/Resource.h"
#include "tools/reader-sim/ReaderSim.h"
#include "wedge/KeyEmulator.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <future>
#include <memory>

namespace {

constexpr int TRY_MS = 10000;

const QByteArray CATALOGUE =
    "<?xml version=\"1.0\"?>\r\n"
    "<Catalogue name=\"Test Catalogue\">\r\n"
    "  <Group name=\"Group A\">\r\n"
    "    About group A.\r\n"
    "    <Command name=\"Version\" instruction=\"ver\">The version.</Command>\r\n"
    "    <Command name=\"Three\" instruction=\"instr\">\r\n"
    "      Three parameters.\r\n"
    "      <p1 name=\"First\" Default=\"1\">first</p1>\r\n"
    "      <p2 name=\"Second\" Default=\"\">second</p2>\r\n"
    "      <p3 name=\"Third\" Default=\"3\">third</p3>\r\n"
    "    </Command>\r\n"
    "    <Command name=\"TX Power\" instruction=\"txp\">\r\n"
    "      <p1 name=\"Power\" Default=\"-7\">power</p1>\r\n"
    "    </Command>\r\n"
    "  </Group>\r\n"
    "</Catalogue>\r\n";

// One line per element: name, attributes in order, trimmed text.
void dumpInto(const CXML &element, QStringList &out)
{
    QString line = element.name;
    for (const CAttribute *attribute : element.attributes)
        line += QStringLiteral(" %1=[%2]").arg(attribute->name, attribute->value);
    out << line + QStringLiteral(" |%1|").arg(element.text.trimmed());
    for (const CXML *child : element.children)
        dumpInto(*child, out);
}

QStringList dumpFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {QStringLiteral("cannot open %1").arg(path)};
    CXML root;
    Load(root, file, QString());
    QStringList out;
    dumpInto(root, out);
    return out;
}

// The window's catalogue writer for the tests: holds each write until `opened` is set (at
// most TRY_MS, so that a window writing on its own thread fails the test rather than hangs
// it), then writes the bytes or answers `error`.
struct HeldWriter
{
    std::promise<void> opened;
    std::shared_future<void> gate = opened.get_future().share();
    QString error;
    QString write(const QString &path, const QByteArray &bytes)
    {
        gate.wait_for(std::chrono::milliseconds(TRY_MS));
        return error.isEmpty() ? WriteFileAtomically(path, bytes) : error;
    }
};

} // namespace

class TestCatalogueWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void treeFromCatalogue();
    void selection_data();
    void selection();
    void groupLeavesCommandBox();
    void editedParameterIsKeptAndSaved();
    void saveButtons_data();
    void saveButtons();
    void saveWhileWriting_data();
    void saveWhileWriting();
    void largeSaveMadeInSlices();
    void panelKeySends_data();
    void panelKeySends();
    void missingCatalogueWindowWorks();
    void shippedCatalogueWithoutWarning();
    void userCopyReadFirst();

private:
    void makeWindow(const QString &cataloguePath);
    QString writeCatalogue(const QByteArray &bytes);
    bool startReader();
    QTreeWidgetItem *treeItem(const QString &text) const;
    void select(const QString &text);
    QStringList rowLabels() const;
    CPropGridItem *row(const QString &label) const;
    void editValue(const QString &label, const QString &value);
    QString commandBox() const { return ctl<QComboBox>(IDC_COMMAND_BOX)->currentText(); }
    QStringList received() const;
    template <class T> T *ctl(int id) const { return qobject_cast<T *>(m_window->control(id)); }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<CSettingsStore> m_store;
    std::unique_ptr<CReaderSim> m_reader;
    std::unique_ptr<CRFID_LorixDlg> m_window;
    QStringList m_warnings;
    QStringList m_saveQuestions; // "initial name|filter" per dialog shown
    QString m_saveAnswer;
    std::shared_ptr<HeldWriter> m_writer;
};

void TestCatalogueWindow::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_store = std::make_unique<CSettingsStore>(m_dir->filePath("settings.ini"));
    // The user's data folder, where the user's copy of the catalogue is read and proposed.
    qputenv("XDG_DATA_HOME", m_dir->filePath("data").toLocal8Bit());
    m_warnings.clear();
    m_saveQuestions.clear();
    m_saveAnswer.clear();
    m_writer = std::make_shared<HeldWriter>();
    m_writer->opened.set_value();
}

void TestCatalogueWindow::cleanup()
{
    m_window.reset();
    if (m_reader)
        m_reader->Stop();
    m_reader.reset();
}

QString TestCatalogueWindow::writeCatalogue(const QByteArray &bytes)
{
    QFile file(m_dir->filePath("catalogue.xml"));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QString();
    return file.fileName();
}

void TestCatalogueWindow::makeWindow(const QString &cataloguePath)
{
    // The window installs these in place of its message box and dialog, and puts back what
    // was there as it goes.
    CRFID_LorixDlg::Environment env = IsolatedWindowEnvironment(m_dir->path());
    env.cataloguePath = cataloguePath;
    env.xmlWarning = [this](const QString &text, const QString &) { m_warnings << text; };
    env.xmlSaveFile = [this](const QString &initialName, const QString &filter) {
        m_saveQuestions << initialName + u'|' + filter;
        return m_saveAnswer;
    };
    env.catalogueWriter = [writer = m_writer](const QString &path, const QByteArray &bytes) {
        return writer->write(path, bytes);
    };
    m_window = std::make_unique<CRFID_LorixDlg>(*m_store, env);
    m_window->show();
}

bool TestCatalogueWindow::startReader()
{
    SimOptions options;
    options.portsFolder = m_dir->filePath("ports");
    options.recordPath = m_dir->filePath("received.txt");
    m_reader = std::make_unique<CReaderSim>(options);
    QString error;
    if (!m_reader->Start(error)) {
        qWarning() << "reader-sim:" << error;
        return false;
    }
    m_store->WriteInt(CONFIG_SECTION, CONFIG_COM_PORT, m_reader->comNumber());
    return true;
}

QTreeWidgetItem *TestCatalogueWindow::treeItem(const QString &text) const
{
    const QList<QTreeWidgetItem *> found =
        ctl<QTreeWidget>(IDC_CATALOGUE_TREE)->findItems(text, Qt::MatchExactly | Qt::MatchRecursive);
    return found.size() == 1 ? found.first() : nullptr;
}

void TestCatalogueWindow::select(const QString &text)
{
    QTreeWidgetItem *item = treeItem(text);
    QVERIFY2(item, qPrintable(text));
    QVERIFY(ctl<CExtTree>(IDC_CATALOGUE_TREE)->SelectItem(item));
}

QStringList TestCatalogueWindow::rowLabels() const
{
    QStringList labels;
    auto *grid = ctl<CPropGrid>(IDC_PROPERTY_TREE);
    grid->ForEachItem(grid->GetRoot(), [&](CPropGridItem *item) {
        labels << item->GetLabel() + u'=' + item->GetValue().toString();
        return true;
    });
    return labels;
}

CPropGridItem *TestCatalogueWindow::row(const QString &label) const
{
    CPropGridItem *found = nullptr;
    auto *grid = ctl<CPropGrid>(IDC_PROPERTY_TREE);
    grid->ForEachItem(grid->GetRoot(), [&](CPropGridItem *item) {
        if (item->GetLabel() == label)
            found = item;
        return found == nullptr;
    });
    return found;
}

// Edits the value as the operator does: a click on the value, type, Enter.
void TestCatalogueWindow::editValue(const QString &label, const QString &value)
{
    CPropGridItem *item = row(label);
    QVERIFY(item);
    CPropGridList *list = ctl<CPropGrid>(IDC_PROPERTY_TREE)->GetListPane();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, item->GetValueRect().center());
    auto *editor = static_cast<CPropGridItemEdit *>(item)->GetEditor();
    QVERIFY(editor && editor->isVisible());
    editor->selectAll();
    QTest::keyClicks(editor, value);
    QTest::keyClick(editor, Qt::Key_Return);
}

QStringList TestCatalogueWindow::received() const
{
    QFile file(m_dir->filePath("received.txt"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

void TestCatalogueWindow::treeFromCatalogue()
{
    makeWindow(writeCatalogue(CATALOGUE));
    auto *tree = ctl<CExtTree>(IDC_CATALOGUE_TREE);
    QCOMPARE(tree->topLevelItemCount(), 1);
    QStringList order;
    for (QTreeWidgetItemIterator it(tree); *it; ++it)
        order << QStringLiteral("%1:%2").arg(tree->GetItemData(*it)).arg((*it)->text(0).isEmpty() ? tree->GetItemText(*it) : (*it)->text(0));
    QCOMPARE(order, (QStringList{"0:Test Catalogue", "1:Group A", "2:Version", "3:Three", "4:TX Power"}));
    QVERIFY(m_warnings.isEmpty());
    // The panel hangs below the tree, flush with it and as wide.
    const QRect treeRect = tree->geometry();
    const QRect panel = ctl<CPropGrid>(IDC_PROPERTY_TREE)->geometry();
    QVERIFY(ctl<CPropGrid>(IDC_PROPERTY_TREE)->isVisible());
    QCOMPARE(panel.left(), treeRect.left());
    QCOMPARE(panel.right(), treeRect.right());
    QCOMPARE(panel.top(), treeRect.bottom() + 1);
}

void TestCatalogueWindow::selection_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QString>("focused");

    QTest::newRow("command without children: exactly its instruction")
        << "Version" << "ver" << QStringList{"Properties=", "Name=Version", "Command=ver"} << "Command";
    QTest::newRow("defaults 1, empty, 3")
        << "Three" << "instr,1,,3"
        << QStringList{"Properties=", "Name=Three", "Command=instr", "Parameters=", "First=1", "Second=", "Third=3"}
        << "Third";
}

void TestCatalogueWindow::selection()
{
    QFETCH(QString, entry);
    QFETCH(QString, command);
    QFETCH(QStringList, rows);
    QFETCH(QString, focused);

    makeWindow(writeCatalogue(CATALOGUE));
    ctl<QComboBox>(IDC_COMMAND_BOX)->setEditText("typed before");
    select(entry);
    QCOMPARE(commandBox(), command);
    QCOMPARE(rowLabels(), rows);
    auto *grid = ctl<CPropGrid>(IDC_PROPERTY_TREE);
    QVERIFY(grid->GetFocusItem());
    QCOMPARE(grid->GetFocusItem()->GetLabel(), focused);
    QVERIFY(grid->GetFocusItem()->IsSelected());
    // Row identifiers restart at every selection: Properties is 1.
    QCOMPARE(row("Properties")->GetItemId(), 1);
}

void TestCatalogueWindow::groupLeavesCommandBox()
{
    makeWindow(writeCatalogue(CATALOGUE));
    select("Three");
    QCOMPARE(commandBox(), QStringLiteral("instr,1,,3"));
    select("Group A");
    QCOMPARE(rowLabels(), (QStringList{"Properties=", "Name=Group A", "Command="}));
    QCOMPARE(commandBox(), QStringLiteral("instr,1,,3"));
    QCOMPARE(row("Name")->GetInfo().trimmed(), QStringLiteral("About group A."));
}

void TestCatalogueWindow::editedParameterIsKeptAndSaved()
{
    makeWindow(writeCatalogue(CATALOGUE));
    select("Three");
    editValue("Second", "7");
    QCOMPARE(commandBox(), QStringLiteral("instr,1,7,3"));

    // Another command, then back: the edited value is shown again.
    select("Version");
    QCOMPARE(commandBox(), QStringLiteral("ver"));
    select("Three");
    QCOMPARE(row("Second")->GetValue().toString(), QStringLiteral("7"));
    QCOMPARE(commandBox(), QStringLiteral("instr,1,7,3"));

    // "Save Data (xml)": the file carries the edit and reads back equal to the original
    // with only that value changed.
    m_saveAnswer = m_dir->filePath("saved.xml");
    ctl<QPushButton>(IDC_SAVE_DATA)->click();
    QTRY_COMPARE_WITH_TIMEOUT(m_window->catalogueSavesPending(), 0, TRY_MS);
    QCOMPARE(m_saveQuestions.size(), 1);
    QStringList expected = dumpFile(m_dir->filePath("catalogue.xml"));
    const qsizetype at = expected.indexOf("p2 name=[Second] Default=[] |second|");
    QVERIFY(at >= 0);
    expected[at] = "p2 name=[Second] Default=[7] |second|";
    QCOMPARE(dumpFile(m_saveAnswer), expected);
    QVERIFY(m_warnings.isEmpty());
}

void TestCatalogueWindow::saveButtons_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<bool>("answered");
    QTest::newRow("save data, answered") << IDC_SAVE_DATA << CATALOGUE_SAVE_FILTER << true;
    QTest::newRow("save data, cancelled") << IDC_SAVE_DATA << CATALOGUE_SAVE_FILTER << false;
    QTest::newRow("hidden save as, answered") << IDC_SAVE_AS << QString() << true;
}

void TestCatalogueWindow::saveButtons()
{
    QFETCH(int, button);
    QFETCH(QString, filter);
    QFETCH(bool, answered);

    makeWindow(writeCatalogue(CATALOGUE));
    m_saveAnswer = answered ? m_dir->filePath("out.xml") : QString();
    ctl<QPushButton>(button)->click();
    QTRY_COMPARE_WITH_TIMEOUT(m_window->catalogueSavesPending(), 0, TRY_MS);
    // The dialog starts in the user's catalogue folder, made for it, with the shipped name.
    const QString userFolder = m_dir->filePath("data/rfid-lorix");
    QCOMPARE(m_saveQuestions, QStringList{userFolder + u'/' + CATALOGUE_FILE_NAME + u'|' + filter});
    QVERIFY(QFileInfo(userFolder).isDir());
    QCOMPARE(QFile::exists(m_dir->filePath("out.xml")), answered);
    if (answered)
        QCOMPARE(dumpFile(m_dir->filePath("out.xml")), dumpFile(m_dir->filePath("catalogue.xml")));
}

void TestCatalogueWindow::saveWhileWriting_data()
{
    QTest::addColumn<bool>("again");   // a second save, of a later edit, while the first is written
    QTest::addColumn<QString>("end");  // of the window while writing: "" none, closed, destroyed
    QTest::addColumn<QString>("error");
    QTest::newRow("one save") << false << "" << QString();
    QTest::newRow("second save queued behind the first") << true << "" << QString();
    QTest::newRow("closed: closes once written") << false << "closed" << QString();
    QTest::newRow("destroyed: both saves written first") << true << "destroyed" << QString();
    QTest::newRow("write fails: warned, no file") << false << "" << QStringLiteral("No space left on device");
}

// The file is written while the window goes on working; its outcome is applied after.
void TestCatalogueWindow::saveWhileWriting()
{
    QFETCH(bool, again);
    QFETCH(QString, end);
    QFETCH(QString, error);
    m_writer = std::make_shared<HeldWriter>();
    m_writer->error = error;
    makeWindow(writeCatalogue(CATALOGUE));
    m_saveAnswer = m_dir->filePath("out.xml");
    select("Three");
    editValue("Second", "7");
    ctl<QPushButton>(IDC_SAVE_DATA)->click();
    select("Version");
    QCOMPARE(commandBox(), QStringLiteral("ver"));
    if (again) {
        select("Three");
        editValue("Second", "8");
        ctl<QPushButton>(IDC_SAVE_DATA)->click();
    }
    if (end == "closed")
        m_window->reject();
    QCOMPARE(m_window->catalogueSavesPending(), again ? 2 : 1);
    QVERIFY(m_window->isVisible() && !QFile::exists(m_saveAnswer));

    m_writer->opened.set_value();
    if (end == "destroyed") {
        m_window.reset();
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(m_window->catalogueSavesPending(), 0, TRY_MS);
        QCOMPARE(m_window->isVisible(), end.isEmpty());
    }
    const QString last = again ? "8" : "7";   // the later save is written last
    QCOMPARE(m_warnings.size(), error.isEmpty() ? 0 : 1);
    if (!error.isEmpty())
        QVERIFY(m_warnings.first().contains(error) && m_warnings.first().contains(m_saveAnswer) && !QFile::exists(m_saveAnswer));
    else
        QVERIFY(dumpFile(m_saveAnswer).contains("p2 name=[Second] Default=[" + last + "] |second|"));
}

// A large catalogue becomes its file between the window's other work: a value the operator
// edits right after pressing "Save Data", in a command near the end, is in the file, as
// the bytes of that command were not made yet.
void TestCatalogueWindow::largeSaveMadeInSlices()
{
    constexpr int COMMANDS = 5000;
    QString big = "<Catalogue name=\"Big\"><Group name=\"All\">";
    for (int i = 0; i < COMMANDS; ++i)
        big += QStringLiteral("<Command name=\"C%1\" instruction=\"c%1\"><p1 name=\"Value\" Default=\"0\">v</p1></Command>\n").arg(i);
    big += "</Group></Catalogue>";
    m_writer = std::make_shared<HeldWriter>();
    m_writer->opened.set_value();
    makeWindow(writeCatalogue(big.toLatin1()));
    m_saveAnswer = m_dir->filePath("big.xml");
    const QString last = QStringLiteral("C%1").arg(COMMANDS - 1);
    select(last);
    ctl<QPushButton>(IDC_SAVE_DATA)->click();
    QCOMPARE(m_window->catalogueSavesPending(), 1);
    editValue("Value", "9");
    QTRY_COMPARE_WITH_TIMEOUT(m_window->catalogueSavesPending(), 0, TRY_MS);
    const QStringList saved = dumpFile(m_saveAnswer);
    QCOMPARE(saved.size(), 2 + 2 * COMMANDS);
    QCOMPARE(saved.at(saved.size() - 2), "Command name=[" + last + "] instruction=[c" + QString::number(COMMANDS - 1) + "] ||");
    QCOMPARE(saved.last(), QStringLiteral("p1 name=[Value] Default=[9] |v|"));
}

void TestCatalogueWindow::panelKeySends_data()
{
    QTest::addColumn<QString>("focus"); // the focused row's label; "" = as the selection left it
    QTest::addColumn<int>("key");
    QTest::newRow("Space") << "" << int(Qt::Key_Space);
    for (const char *label : {"Name", "Command", "Parameters"})
        QTest::newRow(qPrintable(QStringLiteral("Enter on ") + label)) << label << int(Qt::Key_Return);
}

void TestCatalogueWindow::panelKeySends()
{
    QFETCH(QString, focus);
    QFETCH(int, key);
    QVERIFY(startReader());
    makeWindow(writeCatalogue(CATALOGUE));
    ctl<QPushButton>(IDC_OPEN_PORT)->click();
    QVERIFY(m_window->isPortOpen());
    select("TX Power");
    QCOMPARE(commandBox(), QStringLiteral("txp,-7"));
    CPropGridList *list = ctl<CPropGrid>(IDC_PROPERTY_TREE)->GetListPane();
    if (!focus.isEmpty())
        ctl<CPropGrid>(IDC_PROPERTY_TREE)->SetFocusItem(row(focus));
    list->setFocus();
    QTest::keyClick(list, Qt::Key(key));
    QVERIFY2(QTest::qWaitFor([&] { return received().contains("txp,-7"); }, TRY_MS),
             qPrintable(received().join('|')));
}

void TestCatalogueWindow::missingCatalogueWindowWorks()
{
    QVERIFY(startReader());
    makeWindow(m_dir->filePath("absent.xml"));
    QCOMPARE(ctl<QTreeWidget>(IDC_CATALOGUE_TREE)->topLevelItemCount(), 0);
    QVERIFY(m_warnings.isEmpty());
    ctl<QPushButton>(IDC_OPEN_PORT)->click();
    QVERIFY(m_window->isPortOpen());
    ctl<QComboBox>(IDC_COMMAND_BOX)->setEditText("ver");
    ctl<QPushButton>(IDC_SEND)->click();
    QVERIFY2(QTest::qWaitFor([&] { return received().contains("ver"); }, TRY_MS), qPrintable(received().join('|')));
}

void TestCatalogueWindow::shippedCatalogueWithoutWarning()
{
    makeWindow(qEnvironmentVariable("RFID_SOURCE_DIR") + "/res/" + CATALOGUE_FILE_NAME);
    QCOMPARE(m_warnings, QStringList{});
    auto *tree = ctl<QTreeWidget>(IDC_CATALOGUE_TREE);
    QCOMPARE(tree->topLevelItemCount(), 1);
    QVERIFY(tree->topLevelItem(0)->childCount() > 0);
}

// The user's copy, with a command of its own, is read in place of the file beside the executable.
void TestCatalogueWindow::userCopyReadFirst()
{
    QCOMPARE(CatalogueFilePath(), QCoreApplication::applicationDirPath() + u'/' + CATALOGUE_FILE_NAME);
    QFile file(m_dir->filePath("data/rfid-lorix/") + CATALOGUE_FILE_NAME);
    QVERIFY(QDir().mkpath(m_dir->filePath("data/rfid-lorix")) && file.open(QIODevice::WriteOnly));
    file.write(QByteArray(CATALOGUE).replace("\"ver\"", "\"user-ver\""));
    file.close();
    makeWindow(QString());
    select("Version");
    QCOMPARE(commandBox(), QStringLiteral("user-ver"));
}

QTEST_MAIN(TestCatalogueWindow)
#include "tst_catalogue_window.moc"

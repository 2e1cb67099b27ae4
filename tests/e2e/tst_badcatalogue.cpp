// Damaged and hostile catalogue files through the real main window, offscreen: the shipped
// catalogue cut short, random bytes, a binary file, a file nested a million levels deep.
// Each must give a window that opens and still logs, with only the parser's own warnings
// (recorded through the replaceable warning function instead of a message box).
// RFID_BADCAT_STEP sets the distance between cut offsets (default: about 40 cuts; 1 cuts at
// every offset, as scripts/badcatalogue.sh does); RFID_BADCAT_HUGE=1 adds a 100 MB file.

#include "app/LogView.h"
#include "tests/support/SoakSupport.h"

#include "app/RFID_LorixDlg.h"
#include "settings/SettingsStore.h"
#include "catalogue/Catalogue.h"
#include "xml/XML.h"
#include "res/Resource.h"
#include "tests/support/IsolatedWindow.h"

#include <QFile>
#include <QPlainTextEdit>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include <memory>

namespace {

constexpr int CUTS_IN_CTEST = 40;
constexpr qsizetype RANDOM_BYTES = qsizetype(1) << 20;
constexpr int NESTING_DEPTH = 1000000;
constexpr qint64 HUGE_BYTES = qint64(100) * 1000 * 1000;
constexpr quint32 SEED = 20240612;
constexpr char NO_WARNING[] = "none";

QByteArray shippedCatalogue()
{
    QFile file(qEnvironmentVariable("RFID_SOURCE_DIR") + QStringLiteral("/res/") + CATALOGUE_FILE_NAME);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool isParserWarning(const QString &text)
{
    return text == XML_WARNING_INCOMPLETE_TAG || text.startsWith(XML_WARNING_UNMATCHED_END);
}

} // namespace

class TestBadCatalogue : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void windowOpens_data();
    void windowOpens();
    void everyCutOpens();
    void hugeFileOpens();

private:
    // Writes `bytes` as the catalogue, opens a window on it and checks that it shows and
    // logs; a failure is recorded in the test otherwise.
    void openOn(const QByteArray &bytes, const QString &what);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<CSettingsStore> m_store;
    QStringList m_warnings;
};

void TestBadCatalogue::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_store = std::make_unique<CSettingsStore>(m_dir->filePath("settings.ini"));
    m_warnings.clear();
}

void TestBadCatalogue::cleanup()
{
    m_store.reset();
    m_dir.reset();
}

void TestBadCatalogue::openOn(const QByteArray &bytes, const QString &what)
{
    const QString path = m_dir->filePath("catalogue.xml");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
    file.close();
    m_warnings.clear();
    CRFID_LorixDlg::Environment env = IsolatedWindowEnvironment(m_dir->path());
    env.cataloguePath = path;
    env.xmlWarning = [this](const QString &text, const QString &) { m_warnings << text; };
    CRFID_LorixDlg window(*m_store, env);
    window.show();
    QCoreApplication::processEvents();
    QVERIFY2(window.isVisible(), qPrintable(what));
    QVERIFY2(qobject_cast<QTreeWidget *>(window.control(IDC_CATALOGUE_TREE)), qPrintable(what));
    for (const QString &warning : std::as_const(m_warnings))
        QVERIFY2(isParserWarning(warning), qPrintable(what + QStringLiteral(": ") + warning));
    // The window still works: what it logs shows.
    const QString marker = QStringLiteral("after %1\r\n").arg(what);
    window.AppendLog(marker, LogKind::Received);
    auto *log = qobject_cast<CLogView *>(window.control(IDC_LOG_VIEW));
    QVERIFY(log);
    QVERIFY2(log->toPlainText().contains(marker.trimmed()), qPrintable(what));
}

void TestBadCatalogue::windowOpens_data()
{
    // `warning`: a warning that must be among those given, NO_WARNING for none at all, or
    // empty where only the kinds are checked.
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("warning");

    const QByteArray shipped = shippedCatalogue();
    if (shipped.isEmpty())
        QSKIP("the shipped catalogue is not in RFID_SOURCE_DIR/res");
    QRandomGenerator random(SEED);
    QByteArray noise(RANDOM_BYTES, Qt::Uninitialized);
    for (char &c : noise)
        c = char(random.bounded(256));
    QByteArray binary;
    for (int i = 0; i < 4096; ++i)
        binary += char(i % 256);
    const QByteArray utf16Binary = QByteArray("\xFF\xFE", 2) + binary;
    const QString none = QString::fromLatin1(NO_WARNING);

    QTest::newRow("shipped, whole") << shipped << none;
    QTest::newRow("shipped, cut inside a tag") << shipped.left(shipped.lastIndexOf('<', shipped.size() / 2) + 2) << QString();
    QTest::newRow("shipped, cut after a tag") << shipped.left(shipped.indexOf('>', shipped.size() / 2) + 1) << none;
    QTest::newRow("1 MiB of random bytes") << noise << QString();
    QTest::newRow("binary: every byte value") << binary << QString();
    QTest::newRow("binary behind a UTF-16 mark") << utf16Binary << QString();
    QTest::newRow("empty") << QByteArray() << none;
    QTest::newRow("nested 10^6 deep, never closed") << QByteArray("<a>").repeated(NESTING_DEPTH) << none;
    QTest::newRow("nested 10^6 deep, closed")
        << QByteArray("<a name=\"n\">").repeated(NESTING_DEPTH) + QByteArray("</a>").repeated(NESTING_DEPTH) << none;
    QTest::newRow("only end tags") << QByteArray("</a>").repeated(1000) << XML_WARNING_UNMATCHED_END;
}

void TestBadCatalogue::windowOpens()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, warning);
    openOn(bytes, QString::fromLatin1(QTest::currentDataTag()));
    if (QTest::currentTestFailed())
        return;
    if (warning == QLatin1String(NO_WARNING))
        QVERIFY2(m_warnings.isEmpty(), qPrintable(m_warnings.join(QLatin1Char('|'))));
    else if (!warning.isEmpty())
        QVERIFY2(m_warnings.indexOf(QRegularExpression(QRegularExpression::escape(warning) + QStringLiteral(".*"))) >= 0,
                 qPrintable(m_warnings.join(QLatin1Char('|'))));
}

// The shipped catalogue cut at a sample of offsets (every offset with RFID_BADCAT_STEP=1).
void TestBadCatalogue::everyCutOpens()
{
    const QByteArray shipped = shippedCatalogue();
    if (shipped.isEmpty())
        QSKIP("the shipped catalogue is not in RFID_SOURCE_DIR/res");
    const qint64 step = std::max<qint64>(1, EnvNumber("RFID_BADCAT_STEP", shipped.size() / CUTS_IN_CTEST));
    int cuts = 0;
    int warned = 0;
    for (qint64 at = 0; at < shipped.size(); at += step) {
        openOn(shipped.left(at), QStringLiteral("cut at %1").arg(at));
        if (QTest::currentTestFailed())
            return;
        ++cuts;
        warned += m_warnings.isEmpty() ? 0 : 1;
    }
    qInfo("bad catalogue: %d cuts of %lld bytes, %d with a parser warning", cuts, qint64(shipped.size()), warned);
}

void TestBadCatalogue::hugeFileOpens()
{
    if (!EnvNumber("RFID_BADCAT_HUGE", 0))
        QSKIP("the 100 MB file runs from scripts/badcatalogue.sh (RFID_BADCAT_HUGE=1)");
    // Elements with a parameter each, far more than any real catalogue, then a cut tag.
    const QByteArray entry = "<c name=\"Entry\" instruction=\"i,0,0,0\"><p1 name=\"q\" Default=\"0\"/></c>\r\n";
    QByteArray bytes = "<Catalogue name=\"huge\">\r\n";
    bytes += entry.repeated(int(HUGE_BYTES / entry.size()));
    bytes += "<c name=\"cut";
    const qint64 rssBefore = ResidentKiB();
    openOn(bytes, QStringLiteral("100 MB"));
    qInfo("bad catalogue: %lld bytes, resident memory %lld KiB before, %lld KiB after",
          qint64(bytes.size()), rssBefore, ResidentKiB());
}

QTEST_MAIN(TestBadCatalogue)
#include "tst_badcatalogue.moc"

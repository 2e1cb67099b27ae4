#include "XmlTestSupport.h"
#include "tests/support/SmallDisk.h"

#include <QtTest>

#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

namespace {

// A catalogue as the tool ships it: groups, commands with parameters, descriptions,
// values with the five special characters; long enough to cross several pieces.
QString catalogueText(const QString &lineEnd, int groups = 40)
{
    QString out = "<?xml version=\"1.0\"?>" + lineEnd + "<Ondo name=\"Ondo Reader\">" + lineEnd;
    for (int g = 0; g < groups; ++g) {
        out += QStringLiteral("    <Group name=\"RFID group %1\">").arg(g) + lineEnd;
        out += "        Commands of group " + QString::number(g) + " & more" + lineEnd;
        for (int c = 0; c < 4; ++c) {
            out += QStringLiteral("        <Command name='Scan %1 &quot;fast&quot;' instruction=\"i,%2\">").arg(c).arg(g)
                + lineEnd;
            out += "            Reads tags &lt;quickly&gt; & reports \"them\"" + lineEnd;
            out += "            <p1 name=\"Count\" Default=\" 10 \">How many &lt;tags&gt;</p1>" + lineEnd;
            out += "            <p2 name=\"Mode\" Default=\"a&amp;b\"/>" + lineEnd;
            out += "        </Command>" + lineEnd;
        }
        out += "    </Group>" + lineEnd;
    }
    out += "</Ondo>" + lineEnd;
    return out;
}

QByteArray written(CXML &root, int depth, CXMLEncoding encoding)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    if (!Write(root, buffer, depth, encoding))
        return QByteArray("write failed");
    return buffer.data();
}

// Fails every write once `limit` bytes have gone through.
class FailingDevice : public QIODevice
{
public:
    explicit FailingDevice(qint64 limit) : m_limit(limit) { open(QIODevice::WriteOnly); }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *, qint64 n) override
    {
        if (m_written + n > m_limit)
            return -1;
        m_written += n;
        return n;
    }

private:
    qint64 m_limit;
    qint64 m_written = 0;
};

struct SaveRecorder
{
    QStringList warnings;
    QString offeredName;
    QString answer;
    XMLHooks hooks{[this](const QString &t, const QString &) { warnings << t; },
                   [this](const QString &initial, const QString &) {
                       offeredName = initial;
                       return answer;
                   }};
};

const QString SAVE_DATA_FILTER = QStringLiteral("XML Files (*.xml)| *.xml| All Files (*.*)| *.*||");

} // namespace

class TestXmlWriter : public QObject
{
    Q_OBJECT

private slots:
    void layout_data();
    void layout();
    void trimsValuesInTree();
    void longPiecesWhole();
    void roundTrip_data();
    void roundTrip();
    void wideCharactersInOneByteMode();
    void saveAsDialog_data();
    void saveAsDialog();
    void saveToMissingFolderRefused();
    void saveFailureKeepsGoodFile_data();
    void saveFailureKeepsGoodFile();
    void deviceFailureReported();
};

void TestXmlWriter::layout_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<int>("depth");
    QTest::addColumn<QString>("expected");

    QTest::newRow("empty element at depth 2") << "<c a=\"1\" b=\"2\"/>" << 2 << "        <c a=\"1\" b=\"2\"/>\n";
    QTest::newRow("bare root") << "<r/>" << -1 << "<r/>\n";
    QTest::newRow("40 levels deep") << "<c/>" << 40 << QString(40 * 4, ' ') + "<c/>\n";
    QTest::newRow("1024 levels deep") << "<c/>" << 1024 << QString(1024 * 4, ' ') + "<c/>\n";
    QTest::newRow("deeper: capped at 1024") << "<c/>" << 5000 << QString(1024 * 4, ' ') + "<c/>\n";
    QTest::newRow("text gets a line feed") << "<r>abc</r>" << 0 << "<r>abc\n</r>\n";
    QTest::newRow("text ending in line feed gets none") << "<r>ab\n\n</r>" << 0 << "<r>ab \n</r>\n";
    QTest::newRow("children from depth -1")
        << "<r><g><c/></g></r>" << -1 << "<r>\n<g>\n    <c/>\n</g>\n</r>\n";
    QTest::newRow("text before children, unindented")
        << "<r><g>desc<c/></g></r>" << 0 << "<r>\n    <g>desc\n        <c/>\n    </g>\n</r>\n";
    QTest::newRow("values and text encoded, names not")
        << "<r a=\"&lt;x&gt;\">&amp; 'q' &quot;</r>" << 0
        << "<r a=\"&lt;x&gt;\">&amp; &apos;q&apos; &quot;\n</r>\n";
}

void TestXmlWriter::layout()
{
    QFETCH(QString, input);
    QFETCH(int, depth);
    QFETCH(QString, expected);
    ParseResult parsed = parseXml(input.toLatin1());
    QCOMPARE(parsed.found, 1);
    QCOMPARE(QString::fromLatin1(written(*parsed.root, depth, CXMLEncoding::OneByte)), expected);
    QCOMPARE(written(*parsed.root, depth, CXMLEncoding::Utf16), xmlFile(expected, true).mid(2));
}

void TestXmlWriter::trimsValuesInTree()
{
    CXML root;
    root.name = "r";
    root.SetAttribute("Default", " \t10 \n");
    QCOMPARE(written(root, 0, CXMLEncoding::OneByte), QByteArray("<r Default=\"10\"/>\n"));
    QCOMPARE(root.GetAttribute("Default"), QStringLiteral("10"));
}

void TestXmlWriter::longPiecesWhole()
{
    CXML root;
    root.name = "r";
    const QString value(10000, u'v');
    const QString text(20000, u't');
    root.SetAttribute("a", value);
    root.text = text;
    const QByteArray out = written(root, 0, CXMLEncoding::OneByte);
    QCOMPARE(out, ("<r a=\"" + value + "\">" + text + "\n</r>\n").toLatin1());
}

void TestXmlWriter::roundTrip_data()
{
    QTest::addColumn<bool>("utf16");
    QTest::addColumn<QString>("lineEnd");
    for (bool utf16 : {false, true}) {
        QTest::addRow("%s LF", utf16 ? "utf16" : "byte") << utf16 << "\n";
        QTest::addRow("%s CR LF", utf16 ? "utf16" : "byte") << utf16 << "\r\n";
    }
}

void TestXmlWriter::roundTrip()
{
    QFETCH(bool, utf16);
    QFETCH(QString, lineEnd);
    const QByteArray original = xmlFile(catalogueText(lineEnd), utf16);
    QVERIFY(original.size() > 2 * READ_CHUNK_BYTES);
    ParseResult first = parseXml(original);
    QCOMPARE(first.found, 1);
    QCOMPARE(first.root->children.size(), 40);

    QTemporaryDir dir;
    const QString path = dir.filePath("saved.xml");
    QVERIFY(SaveToFile(*first.root, path));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray saved = file.readAll();
    QCOMPARE(saved.startsWith("\xFF\xFE"), utf16);

    ParseResult second = parseXml(saved);
    QCOMPARE(second.found, 1);
    QCOMPARE(dumpXml(*second.root), dumpXml(*first.root));
    QCOMPARE(second.root->children.first()->children.first()->children.first()->GetAttribute("Default"),
             QStringLiteral("10"));
    // A second save changes nothing: no "&amp;" creeping in.
    QVERIFY(SaveToFile(*second.root, path));
    file.seek(0);
    QCOMPARE(file.readAll(), saved);
}

void TestXmlWriter::wideCharactersInOneByteMode()
{
    CXML root;
    root.name = "r";
    root.SetAttribute("name", QStringLiteral("\uC2A4\uCE94 scan"));
    auto *child = new CXML;
    child->name = "c";
    child->text = QStringLiteral("caf\u00e9");
    root.AddChild(child);

    QBuffer refused;
    refused.open(QIODevice::WriteOnly);
    QVERIFY(!Write(root, refused, -1, CXMLEncoding::OneByte));
    QVERIFY(refused.data().isEmpty());

    QTemporaryDir dir;
    const QString path = dir.filePath("wide.xml");
    QVERIFY(SaveToFile(root, path));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray saved = file.readAll();
    QVERIFY(saved.startsWith("\xFF\xFE"));
    ParseResult back = parseXml(saved);
    QCOMPARE(dumpXml(*back.root), dumpXml(root));
}

void TestXmlWriter::saveAsDialog_data()
{
    QTest::addColumn<QString>("filter");
    QTest::addColumn<bool>("cancel");
    QTest::addColumn<QString>("offered");
    QTest::newRow("save data filter") << SAVE_DATA_FILTER << false << "*.xml";
    QTest::newRow("empty filter") << "" << false << "";
    QTest::newRow("cancelled") << SAVE_DATA_FILTER << true << "*.xml";
}

void TestXmlWriter::saveAsDialog()
{
    QFETCH(QString, filter);
    QFETCH(bool, cancel);
    QFETCH(QString, offered);
    QTemporaryDir dir;
    const QString path = dir.filePath("out.xml");
    SaveRecorder recorder;
    recorder.answer = cancel ? QString() : path;
    CXML root;
    root.name = "r";
    root.filePath = "earlier.xml";
    QCOMPARE(SaveAs(root, filter, recorder.hooks), cancel ? 0 : 1);
    QCOMPARE(recorder.offeredName, offered);
    QCOMPARE(root.filePath, cancel ? QString() : path);
    QCOMPARE(QFile::exists(path), !cancel);
    QVERIFY(recorder.warnings.isEmpty());
}

void TestXmlWriter::saveToMissingFolderRefused()
{
    QTemporaryDir dir;
    SaveRecorder recorder;
    // A target in a folder that does not exist cannot be created.
    recorder.answer = dir.filePath("missing/out.xml");
    CXML root;
    root.name = "r";
    root.filePath = "earlier.xml";
    QCOMPARE(SaveAs(root, SAVE_DATA_FILTER, recorder.hooks), 0);
    QCOMPARE(root.filePath, QStringLiteral("earlier.xml"));
    QCOMPARE(recorder.warnings.size(), 1);
    QVERIFY(recorder.warnings.first().contains(QDir::toNativeSeparators(recorder.answer)));
    QVERIFY(!QFile::exists(recorder.answer));
}

void TestXmlWriter::saveFailureKeepsGoodFile_data()
{
    QTest::addColumn<qint64>("freeBytes");
    QTest::addColumn<QString>("expected");
    const QString kept = QStringLiteral("refused, warned: disk full, path earlier.xml, file kept, files: Ondo.xml filler");
    QTest::newRow("no byte free") << qint64(0) << kept;
    QTest::newRow("4 KiB free") << qint64(4096) << kept;
    QTest::newRow("8 KiB free") << qint64(8192) << kept;
    QTest::newRow("room enough") << qint64(128 * 1024)
                                 << QStringLiteral("saved, path set, file replaced, files: Ondo.xml filler");
}

// A save on a real full disk: the catalogue (smaller than a file device's write buffer,
// where a failed write is easiest to lose) stays byte for byte, with one warning.
void TestXmlWriter::saveFailureKeepsGoodFile()
{
    QFETCH(qint64, freeBytes);
    QFETCH(QString, expected);
    const QByteArray good = catalogueText("\n", 10).toLatin1();
    QVERIFY(good.size() > 8192 && good.size() < 16384);
    QTemporaryDir dir;
    const QString report = ReportOfChild([&] {
        const QString refused = MountSmallTmpfs(dir.path());
        if (!refused.isEmpty())
            return "skip: " + refused;
        const QString path = dir.filePath("Ondo.xml");
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(good) != good.size() || !file.flush()
            || !LeaveFree(dir.path(), freeBytes))
            return QStringLiteral("disk not prepared");
        ParseResult parsed = parseXml(good);
        const QByteArray replacement = written(*parsed.root, -1, CXMLEncoding::OneByte);
        SaveRecorder recorder;
        recorder.answer = path;
        parsed.root->filePath = "earlier.xml";
        QStringList report{SaveAs(*parsed.root, SAVE_DATA_FILTER, recorder.hooks) ? "saved" : "refused"};
        for (const QString &warning : recorder.warnings)
            report << (warning.contains(path) && warning.contains(strerror(ENOSPC)) ? "warned: disk full" : warning);
        report << (parsed.root->filePath == path ? "path set" : "path " + parsed.root->filePath);
        QFile after(path);
        const QByteArray now = after.open(QIODevice::ReadOnly) ? after.readAll() : QByteArray();
        report << (now == good ? "file kept" : now == replacement ? "file replaced" : "file cut to " + QString::number(now.size()));
        return report.join(", ") + ", files: " + QDir(dir.path()).entryList(QDir::Files, QDir::Name).join(u' ');
    });
    if (report.startsWith("skip: "))
        QSKIP(qPrintable(report));
    QCOMPARE(report, expected);
}

void TestXmlWriter::deviceFailureReported()
{
    ParseResult parsed = parseXml(catalogueText("\n").toLatin1());
    QCOMPARE(parsed.found, 1);
    FailingDevice device(1000);
    QVERIFY(!Write(*parsed.root, device, -1, CXMLEncoding::OneByte));
}

QTEST_GUILESS_MAIN(TestXmlWriter)
#include "tst_xmlwriter.moc"

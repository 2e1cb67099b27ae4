// rfid-lorix-cli as a shell runs it, against simulated readers on this test's event loop.

#include "cli/Script.h"
#include "monitor/TagCsv.h"
#include "tests/support/XvfbRecorder.h"
#include "tools/reader-sim/ReaderSim.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

constexpr int TRY_MS = 20000;   // generous: the machine is shared; never a speed assertion
constexpr int MISSING_PORT = 250;

struct CliResult
{
    int code = -1;
    QString out, err;
};

} // namespace

class TestCli : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void commands_data();
    void commands();
    void lostLinkReconnects_data();
    void lostLinkReconnects();
    void inventoryDecodesEpcs_data();
    void inventoryDecodesEpcs();
    void twoPorts_data();
    void twoPorts();
    void savedHistoryRunsUnchanged_data();
    void savedHistoryRunsUnchanged();

private:
    std::unique_ptr<CReaderSim> startReader(SimOptions options = {});
    QProcessEnvironment environment() const;
    void start(QProcess &cli, const QStringList &args);
    CliResult run(const QStringList &args);
    QString portsFolder() const { return m_dir->filePath("config/Local AppWizard-Generated Applications/ports"); }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::vector<std::unique_ptr<CReaderSim>> m_readers;
    QString m_display;
};

void TestCli::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_display.clear();
}

void TestCli::cleanup()
{
    m_readers.clear();
    m_dir.reset();
}

std::unique_ptr<CReaderSim> TestCli::startReader(SimOptions options)
{
    options.portsFolder = portsFolder();
    auto reader = std::make_unique<CReaderSim>(options);
    QString error;
    return reader->Start(error) ? std::move(reader) : nullptr;
}

// A settings folder of the test's own, no system bus (no BlueZ), and the display of the
// wedge's Xvfb when it has one.
QProcessEnvironment TestCli::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", m_dir->filePath("config"));
    env.insert("XDG_STATE_HOME", m_dir->filePath("state"));
    env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + m_dir->filePath("no-bus"));
    env.remove("WAYLAND_DISPLAY");
    env.insert("XDG_SESSION_TYPE", "x11");
    env.insert("DISPLAY", m_display.isEmpty() ? QStringLiteral(":9999") : m_display);
    return env;
}

void TestCli::start(QProcess &cli, const QStringList &args)
{
    cli.setProcessEnvironment(environment());
    cli.start(qEnvironmentVariable("RFID_BINARY_DIR") + "/cli/rfid-lorix-cli", args);
}

// Runs to its end while the readers, on this event loop, answer.
CliResult TestCli::run(const QStringList &args)
{
    QProcess cli;
    start(cli, args);
    CliResult result;
    if (!QTest::qWaitFor([&] { return cli.state() == QProcess::NotRunning; }, TRY_MS))
        return result;
    result.code = cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
    result.out = QString::fromUtf8(cli.readAllStandardOutput());
    result.err = QString::fromUtf8(cli.readAllStandardError());
    return result;
}

void TestCli::commands_data()
{
    QTest::addColumn<QStringList>("args");     // %1: the reader's port, %2: the script or file
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");          // a regular expression the whole output matches
    QTest::addColumn<QString>("err");          // a piece of standard error

    const QString tag = QStringLiteral("E2[0-9A-F]{22}");
    QTest::newRow("send: answers in order, without echo or prompt")
        << QStringList{"send", "--port", "COM%1", "ver", "g,txp", "txp,-20", "g,txp"} << ""
        << 0 << "ver=RFID reader simulator 1\\.0\nok,-10\nok\nok,-20\n" << "";
    QTest::newRow("send: an error answer fails") << QStringList{"send", "--port", "%1", "bogus", "ver"} << "" << 1
                                                 << "err=1\nver=.*\n" << "";
    QTest::newRow("send: no such port") << QStringList{"send", "--port", "COM250", "ver"} << "" << 3 << ""
                                        << "COM250: no such port";
    QTest::newRow("send: nothing to send") << QStringList{"send", "--port", "%1"} << "" << 2 << "" << "no command";
    QTest::newRow("unknown command") << QStringList{"frobnicate"} << "" << 2 << "" << "unknown command \"frobnicate\"";
    QTest::newRow("unknown option") << QStringList{"watch", "--port", "%1", "--colour"} << "" << 2 << "" << "--colour";
    QTest::newRow("help of a command") << QStringList{"run", "--help"} << "" << 0 << "Usage: rfid-lorix-cli run [^\n]*\n(.*\n)*" << "";
    QTest::newRow("ports: the reader's number, mapped")
        << QStringList{"ports", "--json"} << "" << 0
        << "(.*\n)?\\{\"inUse\":false,\"kind\":\"mapped\",\"name\":\"[^\"]*\\(COM%1\\)\",\"number\":%1,\"path\":\"/dev/pts/\\d+\",\"port\":\"COM%1\"\\}\n(.*\n)?"
        << "";
    QTest::newRow("inventory: one round, single")
        << QStringList{"inventory", "--port", "%1", "--single"} << "" << 0
        << "Tag\tKind\tReads\tFirst seen\tLast seen\tReads/s\n" + tag + "\tRFID tag\t1\t\\S+\t\\S+\t[0-9.]+\n" << "";
    QTest::newRow("inventory: json, five tags")
        << QStringList{"inventory", "--port", "%1", "--json"} << "" << 0
        << "(\\{\"decoded\":\"unknown EPC header E2\",\"epc\":\\{[^\n]*\\},\"first\":[^\n]*\"reads\":1,\"tag\":\"" + tag
               + "\"\\}\n){5}" << "";
    QTest::newRow("run: all pass") << QStringList{"run", "--port", "%1", "%2"}
                                   << "# the simulated reader\nver => ver=.*\nwait 50ms\ntxp,-12\ng,txp => ok,-12\n"
                                   << 0 << "PASS 2: ver\nPASS 4: txp,-12\nPASS 5: g,txp\n3 passed, 0 failed, 0 not run\n" << "";
    QTest::newRow("run: a wrong expectation fails")
        << QStringList{"run", "--port", "%1", "%2"} << "ver => ver=.*\ng,txp => ok,-9\n\\#literal\n" << 1
        << "PASS 1: ver\nFAIL 2: g,txp: expected \"ok,-9\", got \"ok,-10\"\nFAIL 3: #literal: error answer \"err=1\"\n"
           "1 passed, 2 failed, 0 not run\n"
        << "";
    QTest::newRow("run: a line it cannot read") << QStringList{"run", "--port", "%1", "%2"} << "ver\nwait soon\n" << 2
                                                << "" << "line 2: \"wait soon\"";
    QTest::newRow("run: a bad pattern") << QStringList{"run", "--port", "%1", "%2"} << "ver => ver=(\n" << 2 << ""
                                        << "line 1:";
}

// A reader serving GS1 tags: each JSON record carries what the monitor's Decoded column shows
// and the decoded fields, the same for every tag of the company the simulated reader uses.
void TestCli::inventoryDecodesEpcs_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QString>("uri");   // the pure identity URI's start
    QTest::newRow("sgtin") << "sgtin" << "urn:epc:id:sgtin:0614141.";
    QTest::newRow("sscc") << "sscc" << "urn:epc:id:sscc:0614141.";
}

void TestCli::inventoryDecodesEpcs()
{
    QFETCH(QString, scheme);
    QFETCH(QString, uri);
    SimOptions options;
    options.epcScheme = scheme;
    m_readers.push_back(startReader(options));
    QVERIFY(m_readers.back());
    const CliResult result = run({"inventory", "--port", QString::number(m_readers.back()->comNumber()), "--json"});
    QCOMPARE(result.code, 0);
    const QStringList records = result.out.split('\n', Qt::SkipEmptyParts);
    QVERIFY(!records.isEmpty());
    for (const QString &record : records) {
        const QJsonObject tag = QJsonDocument::fromJson(record.toUtf8()).object();
        QVERIFY2(tag.value("decoded").toString().startsWith(uri), qPrintable(record));
        QCOMPARE(tag.value("epc").toObject().value("uri").toString(), tag.value("decoded").toString());
        QCOMPARE(tag.value("epc").toObject().value("scheme").toString(), scheme + "-96");
    }
}

void TestCli::commands()
{
    QFETCH(QStringList, args);
    QFETCH(QString, script);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    m_readers.push_back(startReader());
    QVERIFY(m_readers.back());
    const QString port = QString::number(m_readers.back()->comNumber());
    const QString scriptPath = m_dir->filePath("script.txt");
    QFile file(scriptPath);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(script.toUtf8()) == script.toUtf8().size());
    file.close();
    for (QString &a : args)
        a.replace("%1", port).replace("%2", scriptPath);

    const CliResult result = run(args);
    QVERIFY2(result.code == exitCode, qPrintable(QString::number(result.code) + "\n" + result.out + result.err));
    QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(QString(out).replace("%1", port))).match(result.out).hasMatch(),
             qPrintable(result.out));
    QVERIFY2(result.err.contains(err), qPrintable(result.err));
}

void TestCli::lostLinkReconnects_data()
{
    QTest::addColumn<QString>("command");
    QTest::newRow("watch") << "watch";
    QTest::newRow("wedge") << "wedge";
}

// The reader hangs up and comes back on a new terminal: the automatic connection reopens it, the trigger is
// answered again; the wedge types the tag read after it into the focused X client. A
// termination request then ends the run in order.
void TestCli::lostLinkReconnects()
{
    QFETCH(QString, command);
    const bool wedge = command == QLatin1String("wedge");
    CXvfbServer server;
    CXKeyRecorder recorder;
    if (wedge) {
        QString reason;
        if (!server.start(&reason) || !recorder.open(server.displayName(), &reason))
            QSKIP(qPrintable("no Xvfb: " + reason));
        m_display = QString::fromStdString(server.displayName());
    }
    SimOptions options;
    options.returnAfterMs = 300;
    m_readers.push_back(startReader(options));
    CReaderSim &reader = *m_readers.back();
    const QString logPath = m_dir->filePath("watch.log");
    QProcess cli;
    start(cli, wedge ? QStringList{command, "--port", QString::number(reader.comNumber())}
                     : QStringList{command, "--port", QString::number(reader.comNumber()), "--json", "--log", logPath});
    QString out, err;
    auto heardOnError = [&](const QString &text) {
        return QTest::qWaitFor([&] { return (err += QString::fromUtf8(cli.readAllStandardError())).contains(text); }, TRY_MS);
    };
    auto heard = [&](const QString &text) {
        return QTest::qWaitFor([&] {
            out += QString::fromUtf8(cli.readAllStandardOutput());
            err += QString::fromUtf8(cli.readAllStandardError());
            return (wedge ? err : out).contains(text) || cli.state() == QProcess::NotRunning;
        }, TRY_MS) && (wedge ? err : out).contains(text);
    };
    QVERIFY2(heardOnError(" opened"), qPrintable(err));
    reader.HangUp();
    QVERIFY2(heardOnError("link lost") && heardOnError("reopened by the automatic connection"), qPrintable(err));
    // The automatic connection wakes the reader when it reopens the port.
    QVERIFY2(wedge || heard("\"line\":\"g,txp\""), qPrintable(out));
    reader.PullTrigger();
    QVERIFY2(heard(wedge ? "tag: E2" : "\"class\":\"tag\""), qPrintable(out + err));
    if (wedge) {
        const QString typed = err.section("tag: ", 1).section('\n', 0, 0);
        QVERIFY(recorder.waitForKeys(size_t(typed.size() + 1)));
        QCOMPARE(QString::fromStdString(recorder.text()), typed + "\r");
    }
    cli.terminate();
    QVERIFY(QTest::qWaitFor([&] { return cli.state() == QProcess::NotRunning; }, TRY_MS));
    QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
    QCOMPARE(cli.exitCode(), 0);
    if (wedge)
        return;
    out += QString::fromUtf8(cli.readAllStandardOutput());
    for (const QString &line : out.split('\n', Qt::SkipEmptyParts))
        QVERIFY2(QJsonDocument::fromJson(line.toUtf8()).isObject(), qPrintable(line));
    QFile log(logPath);
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(log.readAll()), out);
}

void TestCli::twoPorts_data()
{
    QTest::addColumn<QString>("command");
    QTest::newRow("watch") << "watch";
    QTest::newRow("inventory") << "inventory";
    QTest::newRow("inventory --csv") << "inventory --csv";
}

// One engine per port, one output with each line's port; the CSV goes to one file per port,
// each the monitor's export of its reader's tags.
void TestCli::twoPorts()
{
    QFETCH(QString, command);
    m_readers.push_back(startReader());
    m_readers.push_back(startReader());
    QVERIFY(m_readers[0] && m_readers[1]);
    const QString a = QString::number(m_readers[0]->comNumber()), b = QString::number(m_readers[1]->comNumber());
    const QString csv = m_dir->filePath("tags.csv");
    QStringList args = command.split(' ');
    if (command.endsWith("--csv"))
        args << csv;
    args << "--port" << a << "--port" << b;
    if (command != "watch") {
        const CliResult result = run(args);
        QCOMPARE(result.code, 0);
        for (const QString &port : {a, b}) {
            if (args.contains("--csv")) {
                QFile file(m_dir->filePath("tags-COM" + port + ".csv"));
                QVERIFY(file.open(QIODevice::ReadOnly));
                const QByteArray bytes = file.readAll();
                QVERIFY(bytes.startsWith(TagCsvHeader()));
                QCOMPARE(bytes.count("\r\n"), 6);
            } else {
                QCOMPARE(result.out.count(QRegularExpression("^COM" + port + "\tE2", QRegularExpression::MultilineOption)), 5);
            }
        }
        return;
    }
    QProcess cli;
    start(cli, args);
    QString out;
    QVERIFY(QTest::qWaitFor([&] { return QString::fromUtf8(cli.readAllStandardError()).contains("COM" + b + " opened"); }, TRY_MS));
    m_readers[1]->PullTrigger();
    m_readers[0]->PullTrigger();
    QVERIFY2(QTest::qWaitFor([&] {
        out += QString::fromUtf8(cli.readAllStandardOutput());
        return out.count(" < $>") == 2;
    }, TRY_MS), qPrintable(out));
    cli.terminate();
    QVERIFY(QTest::qWaitFor([&] { return cli.state() == QProcess::NotRunning; }, TRY_MS));
    for (const QString &port : {a, b})
        QCOMPARE(out.count(QRegularExpression("^\\S+ COM" + port + " < E2", QRegularExpression::MultilineOption)), 1);
}

void TestCli::savedHistoryRunsUnchanged_data()
{
    QTest::addColumn<QStringList>("history");   // in the order sent
    QTest::newRow("plain commands") << QStringList{"ver", "g,txp", "txp,-5"};
    QTest::newRow("commands that read as other steps")
        << QStringList{"#not a comment", "wait 5", "a => b", "\\x", "wait", " ver"};
}

// The window's "Save History as Script..." writes ScriptFor: run sends exactly those
// commands, in their order (the reader's record of what it received).
void TestCli::savedHistoryRunsUnchanged()
{
    QFETCH(QStringList, history);
    SimOptions options;
    options.recordPath = m_dir->filePath("received.txt");
    m_readers.push_back(startReader(options));
    QVERIFY(m_readers.back());
    QFile script(m_dir->filePath("history.rfid"));
    QVERIFY(script.open(QIODevice::WriteOnly) && script.write(ScriptFor(history).toUtf8()) > 0);
    script.close();
    const CliResult result = run({"run", "--port", QString::number(m_readers.back()->comNumber()), script.fileName()});
    QVERIFY2(result.code == 0 || result.code == 1, qPrintable(result.out + result.err));
    QFile record(options.recordPath);
    QVERIFY(record.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(record.readAll()).split('\n', Qt::SkipEmptyParts), history);
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"

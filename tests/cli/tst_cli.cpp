// rfid-lorix-cli as a shell runs it, against simulated readers on this test's event loop.

#include "cli/Script.h"
#include "monitor/TagCsv.h"
#include "tests/support/ScriptedReaderLine.h"
#include "tests/support/XvfbRecorder.h"
#include "tools/reader-sim/ReaderSim.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <sys/resource.h>
#include <sys/stat.h>
#include <csignal>

namespace {

constexpr int TRY_MS = 20000;   // generous: the machine is shared; never a speed assertion
constexpr int MISSING_PORT = 250;
constexpr int LATER_PORT = 240;   // a reader that starts after the command line waits for it

// Whether the process has its SIGINT handler in place (SigCgt in its status).
bool catchesSigint(qint64 pid)
{
    if (pid <= 0)
        return false;
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("SigCgt:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (SIGINT - 1)) & 1;
    return false;
}

// SIGINT to a command line still running (never to process 0: that is this test's group).
void interrupt(QProcess &cli)
{
    if (cli.processId() > 0)
        ::kill(pid_t(cli.processId()), SIGINT);
}

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
    void lateEchoAfterReconnectNotTyped_data();
    void lateEchoAfterReconnectNotTyped();
    void inventoryDecodesEpcs_data();
    void inventoryDecodesEpcs();
    void twoPorts_data();
    void twoPorts();
    void savedHistoryRunsUnchanged_data();
    void savedHistoryRunsUnchanged();
    void shellConventions_data();
    void shellConventions();
    void endedFromOutside_data();
    void endedFromOutside();

private:
    std::unique_ptr<CReaderSim> startReader(SimOptions options = {});
    QProcessEnvironment environment() const;
    void start(QProcess &cli, const QStringList &args);
    CliResult run(const QStringList &args);
    CliResult finish(QProcess &cli);
    std::unique_ptr<CReaderSim> startReader(const QString &setup);
    QStringList filledIn(QStringList args) const;
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
    return finish(cli);
}

CliResult TestCli::finish(QProcess &cli)
{
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
    // The link's changes, in the stream and the log, as objects of their own kind.
    QStringList events;
    for (const QString &line : out.split('\n', Qt::SkipEmptyParts)) {
        const QJsonObject object = QJsonDocument::fromJson(line.toUtf8()).object();
        if (object.value("kind") == "link")
            events << object.value("event").toString() + (object.contains("reason") ? "+reason" : "");
    }
    QCOMPARE(events, (QStringList{"opened", "lost+reason", "reopened", "closed"}));
}

void TestCli::lateEchoAfterReconnectNotTyped_data()
{
    QTest::addColumn<QByteArray>("answer");   // the reopened link's answer to the wake-up's "g,txp"
    QTest::newRow("after the answer") << QByteArray("g,txp\r\nok,-12\r\n$>i,0,0,0\r\n");
    QTest::newRow("before the echo") << QByteArray("i,0,0,0\r\ng,txp\r\nok,-12\r\n$>");
}

// The wedge answers a trigger with "i,0,0,0"; the link drops before its echo, and the reader
// sends that echo on the reopened link. Only the tag read after it reaches the focused client.
void TestCli::lateEchoAfterReconnectNotTyped()
{
    QFETCH(QByteArray, answer);
    CXvfbServer server;
    CXKeyRecorder recorder;
    QString reason;
    if (!server.start(&reason) || !recorder.open(server.displayName(), &reason))
        QSKIP(qPrintable("no Xvfb: " + reason));
    m_display = QString::fromStdString(server.displayName());
    QVERIFY(QDir().mkpath(portsFolder()));
    CScriptedReaderLine line({ { "g,txp", 0, "g,txp\r\nok,-12\r\n$>", 1 }, { "i,0,0,0", 0, "", 1 },
                               { "g,txp", 0, answer + "E2001234\r\nend=1\r\n$>", 2 } },
                             portsFolder() + "/COM201");
    if (!line.Open())
        QSKIP("no pseudo-terminal");
    QProcess cli;
    start(cli, {"wedge", "--port", "201", "--multi"});
    QVERIFY2(QTest::qWaitFor([&] { return line.lines().contains("g,txp"); }, TRY_MS), qPrintable(cli.readAllStandardError()));
    line.Write("$trigger=1,0\r\n");
    QString err;
    QVERIFY2(QTest::qWaitFor([&] { return (err += QString::fromUtf8(cli.readAllStandardError())).contains("tag: E2001234"); }, TRY_MS),
             qPrintable(err + line.lines().join('|')));
    QVERIFY2(err.contains("reopened by the automatic connection") && !err.contains("tag: i,0,0,0"), qPrintable(err));
    QCOMPARE(line.link(), 2);
    // What an echo typed first would have put before the tag shows in the first keys.
    QVERIFY(recorder.waitForKeys(9));
    QCOMPARE(QString::fromStdString(recorder.text()), QStringLiteral("E2001234\r"));
    cli.terminate();
    QVERIFY(QTest::qWaitFor([&] { return cli.state() == QProcess::NotRunning; }, TRY_MS));
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

// A reader as a row's setup asks for it: "mute" answers nothing, "noise=TEXT" sends a line
// of its own before each answer.
std::unique_ptr<CReaderSim> TestCli::startReader(const QString &setup)
{
    SimOptions options;
    options.recordPath = m_dir->filePath("received.txt");
    for (const QString &item : setup.split(';', Qt::SkipEmptyParts)) {
        options.mute = options.mute || item == "mute";
        if (item.startsWith("noise="))
            options.noiseLine = item.mid(6).toUtf8();
    }
    return startReader(options);
}

// %1 the reader's number, %p its device path, %2 the script, %f a FIFO, %l a log file.
QStringList TestCli::filledIn(QStringList args) const
{
    const QString fifo = m_dir->filePath("fifo");
    if (!QFileInfo::exists(fifo))
        ::mkfifo(QFile::encodeName(fifo).constData(), 0600);
    const int number = m_readers.back()->comNumber() ? m_readers.back()->comNumber() : LATER_PORT;
    for (QString &a : args)
        a.replace("%1", QString::number(number)).replace("%p", m_readers.back()->slavePath())
            .replace("%2", m_dir->filePath("script.txt")).replace("%f", fifo).replace("%l", m_dir->filePath("log"));
    return args;
}

void TestCli::shellConventions_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("setup");    // the reader's (see startReader), "stdout=FILE"
    QTest::addColumn<QByteArray>("script");   // the file %2, and standard input
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");       // a regular expression the whole output matches
    QTest::addColumn<QString>("err");       // a piece of standard error

    const QString ver = "ver=RFID reader simulator 1\\.0\n";
    const QString x60 = QString(60, 'x');
    QTest::newRow("--opt=value, short forms, fractional seconds")
        << QStringList{"send", "--port=COM%1", "-t", "2.5", "ver"} << "" << QByteArray() << 0 << ver << "";
    QTest::newRow("an option of another subcommand")
        << QStringList{"send", "--port", "%1", "--log", "x", "--csv", "y", "ver"} << "" << QByteArray() << 2 << "" << "send takes no --log\nTry 'rfid-lorix-cli send --help'";
    QTest::newRow("an unknown short option is not sent") << QStringList{"send", "-p", "%1", "-x", "ver"} << "" << QByteArray()
                                                         << 2 << "" << "unknown option -x";
    QTest::newRow("run - reads standard input") << QStringList{"run", "--port", "%1", "-"} << "" << QByteArray("ver => ver=.*\n")
                                                << 0 << "PASS 1: ver\n1 passed, 0 failed, 0 not run\n" << "";
    QTest::newRow("--version") << QStringList{"--version"} << "" << QByteArray() << 0 << "rfid-lorix-cli \\d+(\\.\\d+){3}\n" << "";
    QTest::newRow("completion from the tables") << QStringList{"--completion", "bash"} << "" << QByteArray() << 0
                                                << ".*\n        watch\\) words=\"[^\"]* --timestamp-format[^\n]*\n.*complete -F _rfid_lorix_cli rfid-lorix-cli\n"
                                                << "";
    QTest::newRow("a port by its device path") << QStringList{"send", "--port", "%p", "ver"} << "" << QByteArray() << 0 << ver << "";
    QTest::newRow("control characters escaped") << QStringList{"send", "--port", "%1", "ver"} << "noise=\x1b[31mred\x07" << QByteArray()
                                                 << 0 << "\\\\x1b\\[31mred\\\\x07\n" + ver << "";
    QTest::newRow("--hex") << QStringList{"send", "--port", "%1", "--hex", "ver"} << "" << QByteArray() << 0
                           << "76 65 72 3D 52( [0-9A-F]{2})+\n" << "";
    QTest::newRow("a command holding CR") << QStringList{"send", "--port", "%1", "ver\rg,txp"} << "" << QByteArray() << 2 << ""
                                          << "the command \"ver\\rg,txp\" holds a line break";
    QTest::newRow("a long command quoted to 60 characters") << QStringList{"send", "--port", "%1", QString(100000, 'x') + "\n"} << ""
                                                            << QByteArray() << 2 << "" << "\"" + x60 + "\" (and 99941 characters more)";
    QTest::newRow("an over-long line shown cut") << QStringList{"send", "--port", "%1", "ver"} << "noise=" + QString(2000, 'A') << QByteArray()
                                                 << 0 << "A{1600} \\[\\.\\.\\. 400 more characters of this line not shown\\]\n" + ver
                                                 << "a received line of 2000 characters, shown cut at 1600";
    QTest::newRow("ports > /dev/full") << QStringList{"ports"} << "stdout=/dev/full" << QByteArray() << 4 << ""
                                       << "standard output: not written: No space left on device";
    QTest::newRow("send > /dev/full") << QStringList{"send", "--port", "%1", "ver"} << "stdout=/dev/full" << QByteArray() << 4 << ""
                                      << "standard output: not written: No space left on device";
    QTest::newRow("watch --log /dev/full") << QStringList{"watch", "--port", "%1", "--log", "/dev/full"} << "" << QByteArray() << 4
                                           << ".*" << "/dev/full: not written: No space left on device";
    QTest::newRow("run /dev/zero") << QStringList{"run", "--port", "%1", "/dev/zero"} << "" << QByteArray() << 2 << "" << "not a regular file";
    QTest::newRow("run FIFO") << QStringList{"run", "--port", "%1", "%f"} << "" << QByteArray() << 2 << "" << "not a regular file";
    QTest::newRow("run: a script over the bound") << QStringList{"run", "--port", "%1", "%2"} << "" << QByteArray(1100000, '#') << 2
                                                  << "" << "larger than 1048576 bytes";
    QTest::newRow("run: a line over the bound") << QStringList{"run", "--port", "%1", "-"} << "" << QByteArray(3000, 'x') << 2 << ""
                                                << "line 1: longer than 2046 characters";
    QTest::newRow("inventory: a reader that never answers") << QStringList{"inventory", "--port", "%1", "--timeout", "0.5"} << "mute"
                                                            << QByteArray() << 1 << "Tag\tKind\tReads\t.*\n"
                                                            << "no answer to \"i,0,0,0\" within 0.5 s";
}

// One run each, against the simulated reader.
void TestCli::shellConventions()
{
    QFETCH(QStringList, args);
    QFETCH(QString, setup);
    QFETCH(QByteArray, script);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    m_readers.push_back(startReader(setup));
    QVERIFY(m_readers.back());
    QFile file(m_dir->filePath("script.txt"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(script) == script.size());
    file.close();
    QProcess cli;
    if (setup.startsWith("stdout="))
        cli.setStandardOutputFile(setup.mid(7));
    start(cli, filledIn(args));
    cli.write(script);
    cli.closeWriteChannel();
    const CliResult result = finish(cli);
    QVERIFY2(result.code == exitCode, qPrintable(QString::number(result.code) + "\n" + result.out + result.err));
    QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(out), QRegularExpression::DotMatchesEverythingOption)
                 .match(result.out).hasMatch(), qPrintable(result.out));
    QVERIFY2(result.err.contains(err), qPrintable(result.err));
}

void TestCli::endedFromOutside_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("setup");   // the reader's; "fsize=N": the run may write files of N bytes
    QTest::addColumn<QString>("how");     // what ends it, and when
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");     // a regular expression some of standard output matches
    QTest::addColumn<QString>("err");     // a piece of standard error

    QTest::newRow("watch | head -1") << QStringList{"watch", "--port", "%1", "--json"} << "" << "| head -1" << 0
                                     << "^\\{[^\n]*\"kind\":\"link\",\"event\":\"opened\"[^\n]*\\}\n$" << "";
    QTest::newRow("run | head -1") << QStringList{"run", "--port", "%1", "%2"} << "" << "| head -1" << 0 << "^PASS 1: ver\n$" << "";
    QTest::newRow("run: SIGINT while waiting for an answer")
        << QStringList{"run", "--port", "%1", "--timeout", "60", "%2"} << "mute" << "SIGINT when received" << 0
        << "^INTERRUPTED 1: ver: sent, interrupted before its answer\n0 passed, 0 failed, 2 not run\n$" << "";
    QTest::newRow("send: SIGINT while waiting for an answer") << QStringList{"send", "--port", "%1", "--timeout", "60", "ver"} << "mute"
                                                              << "SIGINT when received" << 0 << "^$"
                                                              << "interrupted while waiting for the answer to \"ver\"";
    QTest::newRow("watch --log FIFO: SIGINT") << QStringList{"watch", "--port", "%1", "--log", "%f"} << "" << "SIGINT when started" << 0
                                              << "^$" << "";
    QTest::newRow("run - : SIGINT while reading") << QStringList{"run", "--port", "%1", "-"} << "" << "SIGINT when started" << 0 << "^$"
                                                  << "";
    QTest::newRow("watch --wait: a port that comes later")
        << QStringList{"watch", "--port", "%1", "--wait", "--timestamp-format", "epoch"} << "" << "reader after waiting" << 0
        << "^\\d+\\.\\d{3} COM%1 # opened /dev/pts/\\d+\n(.*\n)*\\d+\\.\\d{3} COM%1 # closed\n$" << "waiting for the port";
    QTest::newRow("watch: the port shown in use") << QStringList{"watch", "--port", "%1"} << "" << "ports when opened" << 0 << "" << "";
    QTest::newRow("watch --log: a file that cannot grow") << QStringList{"watch", "--port", "%1", "--json", "--log", "%l"} << "fsize=2000"
                                                          << "triggers" << 4 << "" << "not written: File too large";
}

// A run that lasts until something ends it from outside. It ends with the status its page
// gives, and leaves the port free for the next run (its exclusive mode cleared).
void TestCli::endedFromOutside()
{
    QFETCH(QStringList, args);
    QFETCH(QString, setup);
    QFETCH(QString, how);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    const bool later = how == "reader after waiting";
    SimOptions options;
    options.comNumber = LATER_PORT;
    options.portsFolder = portsFolder();
    m_readers.push_back(later ? std::make_unique<CReaderSim>(options) : startReader(setup));
    QVERIFY(m_readers.back());
    QFile script(m_dir->filePath("script.txt"));
    QVERIFY(script.open(QIODevice::WriteOnly) && script.write("ver\nwait 300ms\nver\n") == 19);
    script.close();
    QProcess cli;
    const qint64 fileSize = setup.startsWith("fsize=") ? setup.mid(6).toLongLong() : 0;
    cli.setChildProcessModifier([fileSize] {
        const struct rlimit limit = {rlim_t(fileSize), rlim_t(fileSize)};
        if (fileSize > 0)
            ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    if (how == "| head -1")   // a pipe as a shell makes it, and the command line's own status
        args = QStringList{"-c", "\"$0\" \"$@\" | head -1; exit ${PIPESTATUS[0]}", qEnvironmentVariable("RFID_BINARY_DIR") + "/cli/rfid-lorix-cli"} + args;
    cli.setProcessEnvironment(environment());
    if (how == "| head -1")
        cli.start("bash", filledIn(args));
    else
        start(cli, filledIn(args));
    QString seen, said;
    auto until = [&](const std::function<bool()> &done) {
        return QTest::qWaitFor([&] {
            seen += QString::fromUtf8(cli.readAllStandardOutput());
            said += QString::fromUtf8(cli.readAllStandardError());
            return done() || cli.state() == QProcess::NotRunning;
        }, TRY_MS);
    };
    QVERIFY(cli.waitForStarted());
    if (how == "SIGINT when received") {
        QVERIFY(until([&] { return RecordedLines(m_dir->filePath("received.txt")).contains("ver"); }));
        interrupt(cli);
    } else if (how == "SIGINT when started") {
        // Once it catches SIGINT it blocks on the FIFO or standard input, or soon will.
        QVERIFY(until([&] { return catchesSigint(cli.processId()); }));
        interrupt(cli);
    } else if (how == "reader after waiting") {
        QVERIFY(until([&] { return said.contains("waiting for the port"); }));
        QString error;
        QVERIFY2(m_readers.back()->Start(error), qPrintable(error));
    }
    if (how != "| head -1" && how != "SIGINT when received" && how != "SIGINT when started")
        QVERIFY2(until([&] { return said.contains(" opened"); }), qPrintable(said));
    if (how == "ports when opened") {
        const CliResult ports = run({"ports", "--json"});
        QVERIFY2(ports.out.contains(QRegularExpression("\"inUse\":true,[^\n]*\"port\":\"COM" + QString::number(m_readers.back()->comNumber()))),
                 qPrintable(ports.out));
    } else if (how == "triggers") {
        for (int i = 0; i < 100 && cli.state() != QProcess::NotRunning; ++i) {
            m_readers.back()->PullTrigger();
            if (QTest::qWaitFor([&] { return cli.state() == QProcess::NotRunning; }, 200))
                break;
        }
    }
    if (how == "reader after waiting" || how == "ports when opened")
        cli.terminate();
    until([] { return false; });
    QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
    QVERIFY2(cli.exitCode() == exitCode, qPrintable(QString::number(cli.exitCode()) + "\n" + seen + said));
    QVERIFY2(seen.contains(QRegularExpression(QString(out).replace("%1", QString::number(m_readers.back()->comNumber())))), qPrintable(seen));
    QVERIFY2(said.contains(err), qPrintable(said));
    if (fileSize > 0) {
        QFile log(m_dir->filePath("log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray lines = log.readAll();
        QVERIFY2(lines.endsWith("}\n") && lines.size() <= fileSize, lines.right(200).constData());
        for (const QByteArray &line : lines.split('\n'))
            QVERIFY(line.isEmpty() || QJsonDocument::fromJson(line).isObject());
    }
    const CliResult next = run({"send", "-p", QString::number(m_readers.back()->comNumber()), "--timeout", "0.5", "ver"});
    QVERIFY2(!next.err.contains("Cannot open"), qPrintable(next.err));
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"

#include "cli/Cli.h"

#include "cli/CliReader.h"
#include "cli/CliSettings.h"
#include "cli/Script.h"
#include "monitor/TagCsv.h"
#include "platform/AtomicFile.h"
#include "platform/SettingsLocation.h"
#include "platform/TerminationSignals.h"
#include "platform/WorkQueue.h"
#include "protocol/ProtocolConstants.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <QDateTime>
#include <QSet>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

constexpr char PROGRAM[] = "rfid-lorix-cli";
constexpr int DEFAULT_TIMEOUT_S = 5;
// BlueZ's answer to a connection may take several seconds (a reader out of range: about five).
constexpr int CONNECT_TIMEOUT_MS = 30000;
// The paired Bluetooth devices for "ports": BlueZ answers at once or not at all.
constexpr int BLUEZ_QUERY_TIMEOUT_MS = 3000;
constexpr const char *KIND_TEXTS[] = {"RFID tag", "Barcode scan"};

constexpr char USAGE[] =
    "Usage: rfid-lorix-cli COMMAND [OPTIONS]\n"
    "The RFID reader from a shell: scripts, many readers, a keyboard wedge without a window.\n"
    "\n"
    "Commands:\n"
    "  ports      list the ports the window's picker offers\n"
    "  send       send commands and print the reader's answers\n"
    "  watch      print every line sent and received, with time stamps\n"
    "  inventory  run inventories and print the tag table\n"
    "  wedge      type each new tag into the focused application\n"
    "  run        run a script of commands and expected answers\n"
    "\n"
    "'rfid-lorix-cli COMMAND --help' describes a command. A port is COMn or n; without\n"
    "--port, the port stored in the tool's settings. Exit status: 0 done, 1 a check failed,\n"
    "2 a usage error, 3 the port could not be opened or was lost.\n";

struct CommandHelp
{
    const char *name;
    const char *text;
};

constexpr CommandHelp COMMAND_HELP[] = {
    {"ports", "Usage: rfid-lorix-cli ports [--json]\n"
              "Lists every port the window's picker offers: COM number, kind (serial, mapped,\n"
              "bluetooth-paired, bluetooth-bound), device path and name.\n"
              "  --json   one object per port\n"},
    {"send", "Usage: rfid-lorix-cli send [--port COMn] [--timeout S] COMMAND...\n"
             "Sends each command in order and prints the reader's answer lines up to its prompt.\n"
             "  --timeout S   seconds to wait for each answer (default 5)\n"
             "Exit status: 0 every command answered without an error line, 1 one was not or timed\n"
             "out, 2 a usage error, 3 the port could not be opened or was lost.\n"},
    {"watch", "Usage: rfid-lorix-cli watch [--port COMn]... [--json] [--log FILE] [--single|--multi]\n"
              "Prints every line sent (>) and received (<) with its time and port until interrupted;\n"
              "answers the trigger and reconnects as the tool's automatic connection does.\n"
              "  --port COMn   repeat for several readers: one line stream, each line with its port\n"
              "  --json        one object per line\n"
              "  --log FILE    the same lines appended to FILE\n"
              "  --single, --multi   the trigger's inventory (default: the stored read mode)\n"},
    {"inventory", "Usage: rfid-lorix-cli inventory [--port COMn]... [--single] [--seconds N] [--csv FILE | --json]\n"
                  "Runs inventories for N seconds (or one round) and prints the tag table: tag, kind,\n"
                  "reads, first and last seen, reads per second.\n"
                  "  --single      single-tag inventories (default: multi)\n"
                  "  --csv FILE    the table as the tag monitor exports it; with several ports one\n"
                  "                file per port, its port before the extension (tags-COM5.csv)\n"
                  "  --json        one object per tag\n"},
    {"wedge", "Usage: rfid-lorix-cli wedge [--port COMn] [--ascii] [--single|--multi]\n"
              "Types each new tag into the focused application (desktop portal, uinput or XTest,\n"
              "as the window chooses), answers the trigger and reconnects, until interrupted. One\n"
              "line per event on standard error. The portal's consent is kept in\n"
              "$XDG_STATE_HOME/rfid-lorix/ (~/.local/state/rfid-lorix/).\n"
              "  --ascii       type tags as ASCII text (default: the stored mode)\n"},
    {"run", "Usage: rfid-lorix-cli run [--port COMn] [--timeout S] SCRIPT\n"
            "Runs a script, one step a line: \"COMMAND\", \"COMMAND => PATTERN\" (some answer line\n"
            "must match the regular expression whole), \"wait 500ms\", \"# comment\"; a line that\n"
            "starts with \\ is a command as it stands. Prints PASS or FAIL for each command and a\n"
            "summary. Exit status: 0 all passed, 1 one failed, 2 a usage error or a line that\n"
            "cannot be read, 3 the port could not be opened or was lost.\n"},
};

// What a command's options said.
struct Options
{
    QString command;
    QList<int> ports;
    bool json = false;
    bool ascii = false;
    int mode = -1;          // -1 the stored read mode, 0 single, 1 multi
    int timeoutS = DEFAULT_TIMEOUT_S;
    int seconds = 0;
    QString logPath;
    QString csvPath;
    QStringList rest;       // commands of "send", the script of "run"
    bool help = false;
};

void Write(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
}

QString TimeText(qint64 ms)
{
    return QString::fromLatin1(CsvTime(ms));
}

// Received and sent text shown on one line: its line breaks (the wake-up) as escapes.
QString Visible(const QString &line)
{
    QString text = line;
    text.replace(QLatin1Char('\r'), QLatin1String("\\r")).replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return text;
}

bool ParsePort(const QString &text, int &port)
{
    QString digits = text;
    if (digits.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
        digits = digits.mid(3);
    bool ok = false;
    port = digits.toInt(&ok);
    return ok && port >= FIRST_COM_PORT && port <= LAST_COM_PORT;
}

// The whole session of one command: its options, the output, the readers, and the waits on
// the event loop that a signal cuts short.
class CCliSession : public QObject
{
public:
    int run(const QStringList &arguments);

private:
    QString parse(const QStringList &arguments);
    bool waitFor(const std::function<bool()> &done, int timeoutMs);
    CReaderEngine::Environment environment(bool wedge);
    std::unique_ptr<CCliReader> makeReader(int port, bool wedge = false);
    int open(CCliReader &reader);
    void out(const QString &text);
    void outBytes(const QByteArray &bytes);
    void err(const QString &text) { Write(stderr, text); }
    void flushSoon();
    void flush();
    void logFailed();

    int ports();
    int send();
    int watch();
    int inventory();
    int wedge();
    int runScript();

    enum class Answer { Answered, NotSent, TimedOut, Lost, Interrupted };
    Answer exchange(CCliReader &reader, const QString &command, QStringList &lines, bool &errorLine);
    int lostOrFailed(CCliReader &reader, Answer answer, const QString &command);
    void printLine(CCliReader *reader, CCliReader::Direction direction, int lineClass, const QString &line);

    Options m_options;
    CliDefaults m_defaults;
    bool m_interrupted = false;
    bool m_flushQueued = false;
    qint64 m_timeMs = -1;        // the time stamp's text of this millisecond
    QByteArray m_timeText;
    QFile m_log;
    // The Bluetooth numbers handed out in this run, beside those the settings recorded.
    std::shared_ptr<QHash<int, QString>> m_bluetoothBook = std::make_shared<QHash<int, QString>>();
};

QString CCliSession::parse(const QStringList &arguments)
{
    if (arguments.isEmpty())
        return QStringLiteral("no command given");
    m_options.command = arguments.first();
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &a = arguments[i];
        auto value = [&](QString &into) {
            if (i + 1 >= arguments.size())
                return false;
            into = arguments[++i];
            return true;
        };
        QString v;
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            m_options.help = true;
        } else if (a == QLatin1String("--json")) {
            m_options.json = true;
        } else if (a == QLatin1String("--ascii")) {
            m_options.ascii = true;
        } else if (a == QLatin1String("--single")) {
            m_options.mode = 0;
        } else if (a == QLatin1String("--multi")) {
            m_options.mode = 1;
        } else if (a == QLatin1String("--port")) {
            int port = 0;
            if (!value(v) || !ParsePort(v, port))
                return QStringLiteral("--port needs a port, COM1 to COM255");
            m_options.ports.append(port);
        } else if (a == QLatin1String("--timeout") || a == QLatin1String("--seconds")) {
            bool ok = false;
            const int n = value(v) ? v.toInt(&ok) : 0;
            if (!ok || n < 0 || n > 24 * 3600)
                return QStringLiteral("%1 needs a number of seconds").arg(a);
            (a == QLatin1String("--timeout") ? m_options.timeoutS : m_options.seconds) = n;
        } else if (a == QLatin1String("--log")) {
            if (!value(m_options.logPath))
                return QStringLiteral("--log needs a file");
        } else if (a == QLatin1String("--csv")) {
            if (!value(m_options.csvPath))
                return QStringLiteral("--csv needs a file");
        } else if (a == QLatin1String("--")) {
            m_options.rest += arguments.mid(i + 1);
            break;
        } else if (a.startsWith(QLatin1String("--"))) {
            return QStringLiteral("unknown option %1").arg(a);
        } else {
            m_options.rest.append(a);
        }
    }
    return QString();
}

// Waits on the event loop until `done`, the timeout (< 0: none) or a termination signal.
bool CCliSession::waitFor(const std::function<bool()> &done, int timeoutMs)
{
    const QDeadlineTimer deadline = timeoutMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(timeoutMs);
    // Wakes the loop at the deadline; restarted when it came early (timers may).
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    while (!done() && !m_interrupted && !deadline.hasExpired()) {
        if (timeoutMs >= 0 && !wake.isActive())
            wake.start(int(qMax<qint64>(1, deadline.remainingTime())));
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return done();
}

CReaderEngine::Environment CCliSession::environment(bool wedge)
{
    CReaderEngine::Environment env;
    env.queryBluetooth = false;
    env.portalRestoreToken = wedge ? ReadPortalToken(PortalTokenPath()) : QString();
    const QHash<int, QString> stored = m_defaults.bluetoothPorts;
    std::shared_ptr<QHash<int, QString>> book = m_bluetoothBook;
    env.bluetoothPortBook.load = [stored, book](int number) { return book->value(number, stored.value(number)); };
    env.bluetoothPortBook.store = [book](int number, const QString &address) { book->insert(number, address); };
    return env;
}

std::unique_ptr<CCliReader> CCliSession::makeReader(int port, bool wedge)
{
    auto reader = std::make_unique<CCliReader>(port, environment(wedge));
    connect(reader.get(), &CCliReader::noted, this, [this, wedge](CCliReader *r, const QString &text, LogKind kind) {
        // The wedge and the watch tell every event; the others only what went wrong.
        const bool talkative = wedge || m_options.command == QLatin1String("watch");
        if (kind == LogKind::Error || talkative)
            err(QStringLiteral("%1 %2 %3: %4\n")
                    .arg(TimeText(QDateTime::currentMSecsSinceEpoch()), r->portName(),
                         QLatin1String(kind == LogKind::Error ? "error" : "note"), text));
    });
    return reader;
}

// Opens the reader's port, waiting for BlueZ when it connects a Bluetooth device. The engine
// has said why when it did not open.
int CCliSession::open(CCliReader &reader)
{
    if (!reader.PortExists()) {
        err(QStringLiteral("%1: %2: no such port (no device node, no link in the ports folder, no paired "
                           "Bluetooth device)\n")
                .arg(QLatin1String(PROGRAM), reader.portName()));
        return EXIT_PORT;
    }
    reader.engine().OpenPort();
    waitFor([&] { return !reader.engine().IsConnecting(); }, CONNECT_TIMEOUT_MS);
    if (reader.engine().IsOpen())
        return EXIT_OK;
    if (reader.engine().IsConnecting())
        err(QStringLiteral("%1: %2: BlueZ did not answer\n").arg(QLatin1String(PROGRAM), reader.portName()));
    return EXIT_PORT;
}

void CCliSession::out(const QString &text)
{
    outBytes(text.toUtf8());
}

void CCliSession::outBytes(const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    if (m_log.isOpen() && m_log.write(bytes) != bytes.size())
        logFailed();
    flushSoon();
}

// A log that cannot be written (a full disk, a file system gone) is said once and let go;
// standard output goes on with every line.
void CCliSession::logFailed()
{
    err(QStringLiteral("%1: %2: %3; the lines go on to standard output only\n")
            .arg(QLatin1String(PROGRAM), m_log.fileName(), m_log.errorString()));
    m_log.close();
}

// Output goes out once per pass of the event loop: a flood of lines costs one write per
// batch, and a reader on a pipe still sees each batch at once.
void CCliSession::flushSoon()
{
    if (m_flushQueued)
        return;
    m_flushQueued = true;
    QTimer::singleShot(0, this, [this] { flush(); });
}

void CCliSession::flush()
{
    m_flushQueued = false;
    std::fflush(stdout);
    if (m_log.isOpen() && !m_log.flush())
        logFailed();
}

int CCliSession::run(const QStringList &arguments)
{
    const QString error = parse(arguments);
    if (m_options.command == QLatin1String("--help") || m_options.command == QLatin1String("-h")
        || m_options.command == QLatin1String("help")) {
        Write(stdout, QString::fromLatin1(USAGE));
        return EXIT_OK;
    }
    const CommandHelp *help = nullptr;
    for (const CommandHelp &h : COMMAND_HELP)
        if (m_options.command == QLatin1String(h.name))
            help = &h;
    if (!error.isEmpty() || !help) {
        err(QStringLiteral("%1: %2\nTry '%1 --help'.\n")
                .arg(QLatin1String(PROGRAM), error.isEmpty() ? QStringLiteral("unknown command %1").arg(m_options.command) : error));
        return EXIT_USAGE;
    }
    if (m_options.help) {
        Write(stdout, QString::fromLatin1(help->text));
        return EXIT_OK;
    }
    m_defaults = ReadCliDefaults(SettingsFilePath());
    if (m_options.ports.isEmpty() && m_defaults.port > 0)
        m_options.ports.append(m_defaults.port);
    // The trigger's mode is the stored one; an inventory of the command line is multi unless
    // told otherwise.
    if (m_options.mode < 0)
        m_options.mode = m_options.command == QLatin1String("inventory") || m_defaults.multiMode ? 1 : 0;
    m_options.ascii = m_options.ascii || m_defaults.ascii;

    auto usage = [&](const QString &why) {
        err(QStringLiteral("%1 %2: %3\nTry '%1 %2 --help'.\n").arg(QLatin1String(PROGRAM), m_options.command, why));
        return EXIT_USAGE;
    };
    const bool manyPorts = m_options.command == QLatin1String("watch") || m_options.command == QLatin1String("inventory");
    if (m_options.command != QLatin1String("ports")) {
        if (m_options.ports.isEmpty())
            return usage(QStringLiteral("no --port given and none stored in the settings"));
        if (!manyPorts && m_options.ports.size() > 1)
            return usage(QStringLiteral("one --port only"));
    }
    const bool takesRest = m_options.command == QLatin1String("send") || m_options.command == QLatin1String("run");
    if (!takesRest && !m_options.rest.isEmpty())
        return usage(QStringLiteral("unexpected argument %1").arg(m_options.rest.first()));
    if (m_options.command == QLatin1String("send") && m_options.rest.isEmpty())
        return usage(QStringLiteral("no command to send"));
    if (m_options.command == QLatin1String("run") && m_options.rest.size() != 1)
        return usage(QStringLiteral("one script needed"));
    if (!m_options.csvPath.isEmpty() && m_options.json)
        return usage(QStringLiteral("--csv and --json exclude each other"));

    // Termination ends the wait under way; the readers then go as at a normal end.
    CatchTerminationSignals(this, [this] { m_interrupted = true; });
    int code = EXIT_USAGE;
    if (m_options.command == QLatin1String("ports"))
        code = ports();
    else if (m_options.command == QLatin1String("send"))
        code = send();
    else if (m_options.command == QLatin1String("watch"))
        code = watch();
    else if (m_options.command == QLatin1String("inventory"))
        code = inventory();
    else if (m_options.command == QLatin1String("wedge"))
        code = wedge();
    else if (m_options.command == QLatin1String("run"))
        code = runScript();
    flush();
    std::fflush(stderr);
    return code;
}

// ---- ports ----------------------------------------------------------------------------

int CCliSession::ports()
{
    CReaderEngine::Environment env = environment(false);
    env.queryBluetooth = true;
    CCliReader reader(0, env);
    // BlueZ's answer (or its absence) comes as one event to the engine.
    bool answered = false;
    struct Filter : QObject
    {
        bool *seen;
        explicit Filter(bool *s) : seen(s) {}
        bool eventFilter(QObject *, QEvent *event) override
        {
            if (event->type() == CBluetoothSerialEvent::eventType())
                *seen = true;
            return false;
        }
    } filter(&answered);
    reader.engine().installEventFilter(&filter);
    waitFor([&] { return answered; }, BLUEZ_QUERY_TIMEOUT_MS);
    QCoreApplication::processEvents();
    reader.engine().removeEventFilter(&filter);

    QList<ComPortDevice> found;
    if (!reader.engine().ListPorts(found))
        err(QStringLiteral("%1: the port list is not complete: /dev or sysfs could not be read\n").arg(QLatin1String(PROGRAM)));
    const QString folder = env.ports.portsFolder.isEmpty() ? DefaultPortsFolder() : env.ports.portsFolder;
    for (const ComPortDevice &port : found) {
        QString kind = QStringLiteral("serial");
        if (QFileInfo(folder + QStringLiteral("/COM%1").arg(port.number)).isSymLink())
            kind = QStringLiteral("mapped");
        else if (port.devicePath.isEmpty())
            kind = QStringLiteral("bluetooth-paired");
        else if (port.devicePath.startsWith(QLatin1String("/dev/rfcomm")))
            kind = QStringLiteral("bluetooth-bound");
        if (m_options.json) {
            const QJsonObject object{{QStringLiteral("port"), port.portName},
                                     {QStringLiteral("number"), port.number},
                                     {QStringLiteral("kind"), kind},
                                     {QStringLiteral("path"), port.devicePath},
                                     {QStringLiteral("name"), port.friendlyName}};
            out(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
        } else {
            out(QStringLiteral("%1\t%2\t%3\t%4\n")
                    .arg(port.portName, kind, port.devicePath.isEmpty() ? QStringLiteral("-") : port.devicePath,
                         port.friendlyName));
        }
    }
    return EXIT_OK;
}

// ---- send and run ---------------------------------------------------------------------

// Sends one command and gathers its answer: the lines up to the reader's prompt, without the
// echo of the command and without the reader's events.
CCliSession::Answer CCliSession::exchange(CCliReader &reader, const QString &command, QStringList &lines, bool &errorLine)
{
    lines.clear();
    errorLine = false;
    bool prompt = false, echoed = false;
    const QMetaObject::Connection c = connect(
        &reader, &CCliReader::traffic, this,
        [&](CCliReader *, CCliReader::Direction direction, int lineClass, const QString &line) {
            if (direction != CCliReader::Direction::Received || prompt)
                return;
            if (line.startsWith(QLatin1String(READER_PROMPT))) {
                prompt = true;
            } else if (!echoed && line == reader.engine().LastCommand()) {
                echoed = true;
            } else if (lineClass != CResponseDispatcher::Event && lineClass != CResponseDispatcher::TriggerEvent) {
                lines.append(line);
                errorLine = errorLine || lineClass == CResponseDispatcher::ErrorResponse;
            }
        });
    const int written = reader.engine().SendCommand(command);
    Answer answer = Answer::NotSent;
    if (written > 0) {
        waitFor([&] { return prompt || !reader.engine().IsOpen(); }, m_options.timeoutS * 1000);
        answer = prompt ? Answer::Answered
                 : !reader.engine().IsOpen() ? Answer::Lost
                 : m_interrupted ? Answer::Interrupted
                                 : Answer::TimedOut;
    } else if (!reader.engine().IsOpen()) {
        answer = Answer::Lost;
    }
    disconnect(c);
    return answer;
}

int CCliSession::lostOrFailed(CCliReader &reader, Answer answer, const QString &command)
{
    switch (answer) {
    case Answer::Lost:
        return EXIT_PORT;   // the engine said why
    case Answer::TimedOut:
        err(QStringLiteral("%1: %2: no answer to \"%3\" within %4 s\n")
                .arg(QLatin1String(PROGRAM), reader.portName(), command)
                .arg(m_options.timeoutS));
        return EXIT_FAILED;
    case Answer::Interrupted:
    case Answer::NotSent:
        return EXIT_FAILED;
    case Answer::Answered:
        break;
    }
    return EXIT_OK;
}

int CCliSession::send()
{
    std::unique_ptr<CCliReader> reader = makeReader(m_options.ports.first());
    if (const int code = open(*reader); code != EXIT_OK)
        return code;
    int code = EXIT_OK;
    for (const QString &command : m_options.rest) {
        QStringList lines;
        bool errorLine = false;
        const Answer answer = exchange(*reader, command, lines, errorLine);
        for (const QString &line : lines)
            out(line + QLatin1Char('\n'));
        if (answer != Answer::Answered)
            return lostOrFailed(*reader, answer, command);
        if (errorLine)
            code = EXIT_FAILED;
    }
    return code;
}

int CCliSession::runScript()
{
    QFile file(m_options.rest.first());
    if (!file.open(QIODevice::ReadOnly)) {
        err(QStringLiteral("%1 run: %2: %3\n").arg(QLatin1String(PROGRAM), file.fileName(), file.errorString()));
        return EXIT_USAGE;
    }
    const Script script = ParseScript(QString::fromUtf8(file.readAll()));
    if (!script.error.isEmpty()) {
        err(QStringLiteral("%1 run: %2: %3\n").arg(QLatin1String(PROGRAM), file.fileName(), script.error));
        return EXIT_USAGE;
    }
    std::unique_ptr<CCliReader> reader = makeReader(m_options.ports.first());
    if (const int code = open(*reader); code != EXIT_OK)
        return code;
    int passed = 0, failed = 0, code = EXIT_OK;
    for (const ScriptStep &step : script.steps) {
        if (m_interrupted)
            break;
        if (step.kind == ScriptStep::Wait) {
            waitFor([] { return false; }, step.waitMs);
            continue;
        }
        QStringList lines;
        bool errorLine = false;
        const Answer answer = exchange(*reader, step.command, lines, errorLine);
        QString why;
        if (answer != Answer::Answered) {
            why = answer == Answer::TimedOut ? QStringLiteral("no answer within %1 s").arg(m_options.timeoutS)
                  : answer == Answer::Lost   ? reader->failure()
                                             : QStringLiteral("not sent");
        } else if (step.hasExpectation) {
            bool matched = false;
            for (const QString &line : lines)
                matched = matched || step.expected.match(line).hasMatch();
            if (!matched)
                why = QStringLiteral("expected \"%1\", got \"%2\"").arg(step.expectedText, lines.join(QLatin1String("\", \"")));
        } else if (errorLine) {
            why = QStringLiteral("error answer \"%1\"").arg(lines.join(QLatin1String("\", \"")));
        }
        if (why.isEmpty()) {
            ++passed;
            out(QStringLiteral("PASS %1: %2\n").arg(step.lineNumber).arg(step.command));
        } else {
            ++failed;
            out(QStringLiteral("FAIL %1: %2: %3\n").arg(step.lineNumber).arg(step.command, why));
        }
        if (answer == Answer::Lost) {
            code = EXIT_PORT;
            break;
        }
    }
    const int commands = int(std::count_if(script.steps.cbegin(), script.steps.cend(),
                                           [](const ScriptStep &s) { return s.kind == ScriptStep::Command; }));
    out(QStringLiteral("%1 passed, %2 failed, %3 not run\n").arg(passed).arg(failed).arg(commands - passed - failed));
    if (code != EXIT_OK)
        return code;
    return failed == 0 && passed == commands ? EXIT_OK : EXIT_FAILED;
}

// ---- watch ----------------------------------------------------------------------------

// A JSON string: the line's text with quotes, backslashes and control characters escaped.
void AppendJsonString(QByteArray &into, const QString &text)
{
    into += '"';
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == '"' || u == '\\') {
            into += '\\';
            into += char(u);
        } else if (u < 0x20) {
            into += "\\u00";
            into += "0123456789abcdef"[u >> 4];
            into += "0123456789abcdef"[u & 15];
        } else if (u < 0x80) {
            into += char(u);
        } else {
            into += QString(c).toUtf8();
        }
    }
    into += '"';
}

// Lines are printed as they come, a flood at tens of thousands a second: the object is
// written by hand and the time's text made once per millisecond; the tag's own fields go
// through TagJson.
void CCliSession::printLine(CCliReader *reader, CCliReader::Direction direction, int lineClass, const QString &line)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now != m_timeMs) {
        m_timeMs = now;
        m_timeText = TimeText(now).toUtf8();
    }
    const bool sent = direction == CCliReader::Direction::Sent;
    QByteArray text;
    text.reserve(96 + 2 * line.size());
    if (!m_options.json) {
        text += m_timeText + ' ' + reader->portName().toLatin1() + (sent ? " > " : " < ") + Visible(line).toUtf8() + '\n';
        outBytes(text);
        return;
    }
    text += "{\"time\":\"" + m_timeText + "\",\"port\":\"" + reader->portName().toLatin1() + "\",\"dir\":\""
            + (sent ? "tx" : "rx") + "\",\"class\":\"" + CCliReader::ClassName(lineClass).toLatin1() + "\",\"line\":";
    AppendJsonString(text, line);
    if (lineClass == CResponseDispatcher::TagData) {
        const QJsonObject tag = TagJson(line);
        for (auto it = tag.begin(); it != tag.end(); ++it) {
            text += ',';
            AppendJsonString(text, it.key());
            text += ':';
            if (it.value().isString())
                AppendJsonString(text, it.value().toString());
            else if (it.value().isObject())   // the decoded EPC
                text += QJsonDocument(it.value().toObject()).toJson(QJsonDocument::Compact);
            else   // a number or a list: as the JSON writer gives it
                text += QJsonDocument(QJsonArray{it.value()}).toJson(QJsonDocument::Compact).chopped(1).mid(1);
        }
    }
    text += "}\n";
    outBytes(text);
}

int CCliSession::watch()
{
    if (!m_options.logPath.isEmpty()) {
        m_log.setFileName(m_options.logPath);
        if (!m_log.open(QIODevice::WriteOnly | QIODevice::Append)) {
            err(QStringLiteral("%1 watch: %2: %3\n").arg(QLatin1String(PROGRAM), m_options.logPath, m_log.errorString()));
            return EXIT_USAGE;
        }
    }
    std::vector<std::unique_ptr<CCliReader>> readers;
    for (const int port : m_options.ports) {
        readers.push_back(makeReader(port));
        CCliReader &reader = *readers.back();
        reader.engine().SetMultiMode(m_options.mode == 1);
        connect(&reader, &CCliReader::traffic, this, &CCliSession::printLine);
        if (const int code = open(reader); code != EXIT_OK)
            return code;
        // From here the automatic connection reopens a lost link and wakes the reader.
        reader.engine().SetAutoConnect(true);
    }
    waitFor([] { return false; }, -1);
    return EXIT_OK;
}

// ---- inventory ------------------------------------------------------------------------

int CCliSession::inventory()
{
    std::vector<std::unique_ptr<CCliReader>> readers;
    const QString command = QString::fromLatin1(m_options.mode == 0 ? COMMAND_INVENTORY_SINGLE : COMMAND_INVENTORY_MULTI);
    for (const int port : m_options.ports) {
        readers.push_back(makeReader(port));
        if (const int code = open(*readers.back()); code != EXIT_OK)
            return code;
    }
    // Each reader runs its rounds on its own: the next command when its prompt comes, until
    // the time is up (or after one round). A reader that stops answering or is lost is done.
    const QDeadlineTimer until(qint64(m_options.seconds) * 1000);
    QSet<CCliReader *> running;
    bool lost = false;
    std::vector<QMetaObject::Connection> connections;
    for (auto &r : readers) {
        CCliReader *reader = r.get();
        connections.push_back(connect(reader, &CCliReader::traffic, this,
                                      [&, reader](CCliReader *, CCliReader::Direction direction, int, const QString &line) {
                                          if (direction != CCliReader::Direction::Received
                                              || !line.startsWith(QLatin1String(READER_PROMPT)))
                                              return;
                                          if (m_options.seconds > 0 && !until.hasExpired() && !m_interrupted
                                              && reader->engine().SendCommand(command) > 0)
                                              return;
                                          running.remove(reader);
                                      }));
        connections.push_back(connect(reader, &CCliReader::stateChanged, this, [&](CCliReader *changed) {
            if (!changed->engine().IsOpen() && running.remove(changed))
                lost = true;
        }));
        if (reader->engine().SendCommand(command) > 0)
            running.insert(reader);
    }
    waitFor([&] { return running.isEmpty(); }, (m_options.seconds + m_options.timeoutS) * 1000);
    for (const QMetaObject::Connection &c : connections)
        disconnect(c);

    const bool several = readers.size() > 1;
    if (!m_options.csvPath.isEmpty()) {
        for (auto &reader : readers) {
            const CTagMonitor &monitor = reader->engine().tagMonitor();
            QString path = m_options.csvPath;
            if (several) {
                const QFileInfo info(path);
                const QString suffix = info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
                path = info.path() + QLatin1Char('/') + info.completeBaseName() + QLatin1Char('-') + reader->portName() + suffix;
            }
            std::vector<int> tags(size_t(monitor.DistinctTags()));
            for (int i = 0; i < monitor.DistinctTags(); ++i)
                tags[size_t(i)] = i;
            const QString error = WriteTagCsv(monitor, tags, monitor.Now(), path);
            if (!error.isEmpty()) {
                err(QStringLiteral("%1 inventory: %2 not written: %3\n").arg(QLatin1String(PROGRAM), path, error));
                return EXIT_FAILED;
            }
        }
    } else {
        if (!m_options.json)
            out(QStringLiteral("%1Tag\tKind\tReads\tFirst seen\tLast seen\tReads/s\n").arg(several ? QStringLiteral("Port\t") : QString()));
        for (auto &reader : readers) {
            const CTagMonitor &monitor = reader->engine().tagMonitor();
            const qint64 now = monitor.Now();
            for (int tag = 0; tag < monitor.DistinctTags(); ++tag) {
                const QString kind = QLatin1String(KIND_TEXTS[int(monitor.Kind(tag))]);
                const double rate = monitor.Rate(tag, now);
                if (m_options.json) {
                    QJsonObject object = TagJson(monitor.Text(tag));
                    object.insert(QStringLiteral("port"), reader->portName());
                    object.insert(QStringLiteral("kind"), kind);
                    object.insert(QStringLiteral("reads"), qint64(monitor.ReadsOf(tag)));
                    object.insert(QStringLiteral("first"), TimeText(monitor.FirstSeenMs(tag)));
                    object.insert(QStringLiteral("last"), TimeText(monitor.LastSeenMs(tag)));
                    object.insert(QStringLiteral("rate"), rate);
                    out(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) + QLatin1Char('\n'));
                } else {
                    out(QStringLiteral("%1%2\t%3\t%4\t%5\t%6\t%7\n")
                            .arg(several ? reader->portName() + QLatin1Char('\t') : QString(), monitor.Text(tag), kind)
                            .arg(monitor.ReadsOf(tag))
                            .arg(TimeText(monitor.FirstSeenMs(tag)), TimeText(monitor.LastSeenMs(tag)))
                            .arg(rate, 0, 'f', 1));
                }
            }
        }
    }
    if (lost)
        return EXIT_PORT;
    return !running.isEmpty() && !m_interrupted ? EXIT_FAILED : EXIT_OK;
}

// ---- wedge ----------------------------------------------------------------------------

int CCliSession::wedge()
{
    std::unique_ptr<CCliReader> reader = makeReader(m_options.ports.first(), true);
    CReaderEngine &engine = reader->engine();
    // The portal's consent token is kept in a file of our own, written off this thread.
    CWorkQueue tokenWriter;
    const QString tokenPath = PortalTokenPath();
    connect(&engine, &CReaderEngine::portalRestoreTokenChanged, this, [this, &tokenWriter, tokenPath](const QString &token) {
        tokenWriter.Run([tokenPath, token]() -> CWorkQueue::Apply {
            QDir().mkpath(QFileInfo(tokenPath).path());
            const QString error = WriteFileAtomically(tokenPath, token.toUtf8() + '\n');
            return [error, tokenPath] {
                if (!error.isEmpty())
                    Write(stderr, QStringLiteral("%1 wedge: %2 not written: %3\n").arg(QLatin1String(PROGRAM), tokenPath, error));
            };
        });
    });
    connect(&engine, &CReaderEngine::tagRead, this, [this, &engine, r = reader.get()](const QString &line, bool scan) {
        // Emitted before the protocol's typing rules: a tag it has not typed yet is new.
        if (!engine.tagList().contains(line))
            err(QStringLiteral("%1 %2 %3: %4\n")
                    .arg(TimeText(QDateTime::currentMSecsSinceEpoch()), r->portName(),
                         QLatin1String(scan ? "scan" : "tag"), line));
    });
    bool sinkFailed = false;
    connect(&engine, &CReaderEngine::keyEmulatorFailed, this, [&sinkFailed] { sinkFailed = true; });
    engine.SetAsciiMode(m_options.ascii);
    engine.SetMultiMode(m_options.mode == 1);
    if (const int code = open(*reader); code != EXIT_OK)
        return code;
    engine.SetKeyEmulator(true);
    engine.SetAutoConnect(true);
    waitFor([&] { return sinkFailed; }, -1);
    return sinkFailed ? EXIT_FAILED : EXIT_OK;
}

} // namespace

int RunCli(const QStringList &arguments)
{
    CCliSession session;
    return session.run(arguments);
}

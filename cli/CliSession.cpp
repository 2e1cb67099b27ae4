#include "cli/CliSession.h"

#include "cli/CliCommands.h"

#include "monitor/TagCsv.h"
#include "protocol/ProtocolConstants.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// BlueZ's answer to a connection may take several seconds (a reader out of range: about five).
constexpr int CONNECT_TIMEOUT_MS = 30000;
// How often --wait looks for the port again.
constexpr int PORT_POLL_MS = 250;
// How often a FIFO given to --log is tried again until a reader opens it.
constexpr int FIFO_POLL_MS = 100;
// Gathered output beyond this goes out at once rather than at the end of the pass.
constexpr qsizetype OUTPUT_BATCH_BYTES = 64 * 1024;
// An error quotes this much of a command; the rest is counted.
constexpr qsizetype QUOTED_COMMAND_CHARS = 60;

} // namespace

CCliSession::CCliSession(const CliOptions &options, const CliDefaults &defaults)
    : m_options(options), m_defaults(defaults)
{
    m_pending.reserve(OUTPUT_BATCH_BYTES * 2);
}

void CCliSession::watchOutputPipe()
{
    struct stat st = {};
    if (::fstat(STDOUT_FILENO, &st) != 0 || !S_ISFIFO(st.st_mode))
        return;
    // A pipe whose reader has gone reports an error condition, which the exception notifier
    // sees: the run ends at once rather than at its next line, which may never come.
    auto *closed = new QSocketNotifier(STDOUT_FILENO, QSocketNotifier::Exception, this);
    connect(closed, &QSocketNotifier::activated, this, [this, closed] {
        closed->setEnabled(false);
        m_pending.clear();
        m_interrupted = true;
    });
}

CCliSession::~CCliSession()
{
    if (m_logFd >= 0)
        ::close(m_logFd);
}

bool CCliSession::waitFor(const std::function<bool()> &done, int timeoutMs)
{
    const QDeadlineTimer deadline = timeoutMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(timeoutMs);
    // Wakes the loop at the deadline; restarted when it came early (timers may).
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    while (!done() && !m_interrupted && !m_outputFailed && !deadline.hasExpired()) {
        if (timeoutMs >= 0 && !wake.isActive())
            wake.start(int(qMax<qint64>(1, deadline.remainingTime())));
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return done();
}

void CCliSession::out(const QByteArray &bytes)
{
    if (m_outputFailed)
        return;
    m_pending += bytes;
    if (m_pending.size() >= OUTPUT_BATCH_BYTES)
        flush();
    else
        flushSoon();
}

void CCliSession::err(const QString &text)
{
    const QByteArray bytes = QStringLiteral("%1 %2: %3\n").arg(QLatin1String(CLI_PROGRAM), m_options.command, text).toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

void CCliSession::sayEvent(const CCliReader &reader, QLatin1String what, const QString &text)
{
    const QByteArray bytes = CsvTime(QDateTime::currentMSecsSinceEpoch()) + ' '
                             + QStringLiteral("%1 %2: %3\n").arg(reader.portName(), what, text).toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

int CCliSession::usage(const QString &why)
{
    err(QStringLiteral("%1\nTry '%2 %3 --help'.").arg(why, QLatin1String(CLI_PROGRAM), m_options.command));
    return EXIT_USAGE;
}

void CCliSession::flushSoon()
{
    if (m_flushQueued)
        return;
    m_flushQueued = true;
    QTimer::singleShot(0, this, [this] {
        m_flushQueued = false;
        flush();
    });
}

// Writes `bytes` whole to `fd`. A closed pipe ends the run as SIGINT does, quietly; any
// other failure is said with where it happened and ends the run with EXIT_OUTPUT.
bool CCliSession::writeAll(int fd, const QByteArray &bytes, const QString &where)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        const int error = n < 0 ? errno : ENOSPC;
        if (error == EPIPE) {
            m_interrupted = true;
            m_pending.clear();
            return false;
        }
        outputFailure(where, qt_error_string(error));
        return false;
    }
    return true;
}

bool CCliSession::flush()
{
    if (m_pending.isEmpty() || m_outputFailed)
        return !m_outputFailed;
    // Written from the batch's own buffer, which keeps its room for the next batch: a flood
    // fills it a line at a time, and growing it afresh each time copied it over and over.
    const QByteArray &batch = m_pending;
    const auto emptied = qScopeGuard([this] { m_pending.truncate(0); });
    if (m_logFd >= 0) {
        if (!writeAll(m_logFd, batch, m_options.logPath)) {
            // Back to the last whole line: a line the disk took half of is no line of the log.
            if (m_logGood >= 0 && ::ftruncate(m_logFd, m_logGood) != 0)
                err(QStringLiteral("%1: not cut back to its last whole line: %2").arg(m_options.logPath, qt_error_string(errno)));
            return false;
        }
        const off_t end = ::lseek(m_logFd, 0, SEEK_CUR);
        m_logGood = end < 0 ? -1 : qint64(end);
    }
    return writeAll(STDOUT_FILENO, batch, QStringLiteral("standard output"));
}

void CCliSession::outputFailure(const QString &where, const QString &why)
{
    if (m_outputFailed)
        return;
    m_outputFailed = true;
    m_pending.clear();
    err(QStringLiteral("%1: not written: %2").arg(where, why));
}

int CCliSession::finish(int code)
{
    flush();
    return m_outputFailed ? EXIT_OUTPUT : code;
}

int CCliSession::openLog()
{
    const QString &path = m_options.logPath;
    if (path.isEmpty() || path == QLatin1String("-"))
        return EXIT_OK;
    // Opened without blocking: a FIFO without a reader would hold the open, deaf to SIGINT.
    for (;;) {
        m_logFd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
        if (m_logFd >= 0 || errno != ENXIO)
            break;
        waitFor([] { return false; }, FIFO_POLL_MS);
        if (m_interrupted)
            return EXIT_OK;
    }
    struct stat st = {};
    if (m_logFd < 0 || ::fstat(m_logFd, &st) != 0 || S_ISDIR(st.st_mode)) {
        const int error = m_logFd < 0 ? errno : EISDIR;
        return usage(QStringLiteral("--log %1: %2").arg(path, qt_error_string(error)));
    }
    ::fcntl(m_logFd, F_SETFL, ::fcntl(m_logFd, F_GETFL) & ~O_NONBLOCK);
    const off_t end = ::lseek(m_logFd, 0, SEEK_END);
    m_logGood = S_ISREG(st.st_mode) && end >= 0 ? qint64(end) : -1;
    return EXIT_OK;
}

const QByteArray &CCliSession::timeText(qint64 ms)
{
    if (m_options.timestampFormat == TimestampFormat::Delta) {
        const qint64 delta = m_lastStampMs < 0 ? 0 : ms - m_lastStampMs;
        m_lastStampMs = ms;
        m_timeText = '+' + QByteArray::number(delta / 1000) + '.' + QByteArray::number(delta % 1000).rightJustified(3, '0');
        return m_timeText;
    }
    if (ms == m_timeMs)
        return m_timeText;
    m_timeMs = ms;
    switch (m_options.timestampFormat) {
    case TimestampFormat::Local:
        m_timeText = CsvTime(ms);
        break;
    case TimestampFormat::Utc:
        m_timeText = QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs).toLatin1();
        break;
    case TimestampFormat::Epoch:
        m_timeText = QByteArray::number(ms / 1000) + '.' + QByteArray::number(ms % 1000).rightJustified(3, '0');
        break;
    case TimestampFormat::Delta:
        break;
    }
    return m_timeText;
}

CReaderEngine::Environment CCliSession::environment(bool wedge) const
{
    CReaderEngine::Environment env;
    env.queryBluetooth = false;
    env.portalRestoreToken = wedge ? ReadPortalToken(PortalTokenPath()) : QString();
    // The wedge has no check box to untick: it ends, and its service manager may restart it.
    env.typingStoppedNote = QStringLiteral("the wedge stopped typing: %1; %2 not typed. %3 wedge exits with status 1.")
                                .arg(QStringLiteral("%1"), QStringLiteral("%2"), QLatin1String(CLI_PROGRAM));
    const QHash<int, QString> stored = m_defaults.bluetoothPorts;
    std::shared_ptr<QHash<int, QString>> book = m_bluetoothBook;
    env.bluetoothPortBook.load = [stored, book](int number) { return book->value(number, stored.value(number)); };
    env.bluetoothPortBook.store = [book](int number, const QString &address) { book->insert(number, address); };
    return env;
}

std::unique_ptr<CCliReader> CCliSession::makeReader(const CliPort &port, bool wedge)
{
    CReaderEngine::Environment env = environment(wedge);
    // Only an inventory reads the tag table: the others stream, and count nothing.
    env.countTags = m_options.command == QLatin1String("inventory");
    int number = port.number;
    if (!port.path.isEmpty()) {
        // A path the numbering gives a number keeps it; any other gets a link of this run's own.
        const QString target = QFileInfo(port.path).canonicalFilePath();
        number = target.isEmpty() ? 0 : PortNumberForDevice(target);
        for (int n = FIRST_COM_PORT; number == 0 && !target.isEmpty() && n <= LAST_COM_PORT; ++n)
            if (QFileInfo(DevicePathForPort(n, env.ports)).canonicalFilePath() == target)
                number = n;
        if (number == 0) {
            if (!m_pathPorts)
                m_pathPorts = std::make_unique<QTemporaryDir>(QDir::tempPath() + QLatin1String("/rfid-lorix-cli-XXXXXX"));
            number = LAST_COM_PORT - int(QDir(m_pathPorts->path()).entryList(QDir::System | QDir::Files).size());
            QFile::link(QFileInfo(port.path).absoluteFilePath(), m_pathPorts->filePath(QStringLiteral("COM%1").arg(number)));
            env.ports.portsFolder = m_pathPorts->path();
        }
    }
    auto reader = std::make_unique<CCliReader>(number, port.name, env);
    const bool talkative = wedge || m_options.command == QLatin1String("watch");
    connect(reader.get(), &CCliReader::noted, this, [this, talkative](CCliReader *r, const QString &text, LogKind kind) {
        if (kind == LogKind::Error || talkative)
            sayEvent(*r, QLatin1String(kind == LogKind::Error ? "error" : "note"), text);
    });
    return reader;
}

int CCliSession::open(CCliReader &reader)
{
    const auto present = [&] {
        return reader.PortExists() && QFileInfo::exists(DevicePathForPort(reader.port(), reader.engine().environment().ports));
    };
    if (m_options.wait && !present()) {
        err(QStringLiteral("%1: waiting for the port").arg(reader.portName()));
        // Nothing tells of a new device node here: looked for again and again.
        QTimer poll;
        poll.start(PORT_POLL_MS);
        waitFor(present, -1);
        if (m_interrupted)
            return EXIT_OK;
    }
    if (!reader.PortExists() || reader.port() == 0) {
        err(QStringLiteral("%1: no such port (no device node, no link in the ports folder, no paired Bluetooth device)")
                .arg(reader.portName()));
        return EXIT_PORT;
    }
    reader.engine().OpenPort();
    waitFor([&] { return !reader.engine().IsConnecting(); }, CONNECT_TIMEOUT_MS);
    if (reader.engine().IsOpen())
        return EXIT_OK;
    if (reader.engine().IsConnecting())
        err(QStringLiteral("%1: BlueZ did not answer").arg(reader.portName()));
    return EXIT_PORT;
}

QString CCliSession::Quoted(const QString &command)
{
    QByteArray shown = "\"";
    AppendVisible(shown, QStringView(command).left(QUOTED_COMMAND_CHARS));
    shown += '"';
    if (command.size() > QUOTED_COMMAND_CHARS)
        shown += " (and " + QByteArray::number(command.size() - QUOTED_COMMAND_CHARS) + " characters more)";
    return QString::fromUtf8(shown);
}

QString CCliSession::longLineShown(CCliReader &reader, const QString &head, qint64 chars)
{
    err(QStringLiteral("%1: a received line of %2 characters, shown cut at %3")
            .arg(reader.portName()).arg(chars).arg(head.size()));
    return head + CResponseDispatcher::ShortenedMark(chars - head.size());
}

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
    const QMetaObject::Connection cut = connect(&reader, &CCliReader::longLine, this,
                                                [&](CCliReader *r, const QString &head, qint64 chars) {
                                                    if (!prompt)
                                                        lines.append(longLineShown(*r, head, chars));
                                                });
    const int written = reader.engine().SendCommand(command);
    Answer answer = Answer::NotSent;
    if (written > 0) {
        waitFor([&] { return prompt || !reader.engine().IsOpen(); }, int(m_options.timeoutS * 1000));
        answer = prompt                      ? Answer::Answered
                 : !reader.engine().IsOpen() ? Answer::Lost
                 : m_interrupted             ? Answer::Interrupted
                                             : Answer::TimedOut;
    } else if (!reader.engine().IsOpen()) {
        answer = Answer::Lost;
    }
    disconnect(c);
    disconnect(cut);
    return answer;
}

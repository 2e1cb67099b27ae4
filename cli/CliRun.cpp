// run: a script of commands and the answers they expect.

#include "cli/CliCommands.h"
#include "cli/CliSession.h"
#include "cli/Script.h"

#include <QFile>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qsizetype READ_CHUNK_BYTES = 64 * 1024;

// Reads the script from `fd` on the event loop (a terminal or a pipe may keep it waiting,
// and SIGINT must still end the run), up to MAX_SCRIPT_BYTES. "" or why it was not read.
QString ReadScript(CCliSession &session, int fd, QByteArray &bytes)
{
    QSocketNotifier readable(fd, QSocketNotifier::Read);
    bool ready = true, ended = false;
    QObject::connect(&readable, &QSocketNotifier::activated, &session, [&] { ready = true; });
    while (!ended) {
        session.waitFor([&] { return ready; }, -1);
        if (session.interrupted())
            return QStringLiteral("interrupted while reading it");
        ready = false;
        char chunk[READ_CHUNK_BYTES];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0)
            return qt_error_string(errno);
        ended = n == 0;
        bytes.append(chunk, n);
        if (bytes.size() > MAX_SCRIPT_BYTES)
            return QStringLiteral("larger than %1 bytes").arg(MAX_SCRIPT_BYTES);
    }
    return QString();
}

} // namespace

int RunScript(CCliSession &session)
{
    const CliOptions &options = session.options();
    const QString name = options.operands.first();
    const bool standardInput = name == QLatin1String("-");
    int fd = STDIN_FILENO;
    if (!standardInput) {
        // Opened without blocking (a FIFO would hold the open) and read only when a regular
        // file: a device or a FIFO never ends, or never starts.
        fd = ::open(QFile::encodeName(name).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        struct stat st = {};
        if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            const QString why = fd < 0 ? qt_error_string(errno) : QStringLiteral("not a regular file (- reads standard input)");
            if (fd >= 0)
                ::close(fd);
            return session.usage(QStringLiteral("%1: %2").arg(name, why));
        }
    }
    QByteArray bytes;
    const QString readError = ReadScript(session, fd, bytes);
    if (!standardInput)
        ::close(fd);
    if (session.interrupted())
        return EXIT_OK;
    if (!readError.isEmpty()) {
        session.err(QStringLiteral("%1: %2").arg(name, readError));
        return EXIT_USAGE;
    }
    const Script script = ParseScript(QString::fromUtf8(bytes));
    if (!script.error.isEmpty()) {
        session.err(QStringLiteral("%1: %2").arg(name, script.error));
        return EXIT_USAGE;
    }
    std::unique_ptr<CCliReader> reader = session.makeReader(options.ports.first());
    if (const int code = session.open(*reader); code != EXIT_OK || session.interrupted())
        return code;
    int passed = 0, failed = 0, code = EXIT_OK;
    for (const ScriptStep &step : script.steps) {
        if (session.interrupted())
            break;
        if (step.kind == ScriptStep::Wait) {
            session.waitFor([] { return false; }, step.waitMs);
            continue;
        }
        QStringList lines;
        bool errorLine = false;
        const CCliSession::Answer answer = session.exchange(*reader, step.command, lines, errorLine);
        if (session.outputFailed())
            return EXIT_OUTPUT;   // said; the wait it cut short is no answer missing
        QString why;
        switch (answer) {
        case CCliSession::Answer::Answered:
            if (step.hasExpectation) {
                const bool matched = std::any_of(lines.cbegin(), lines.cend(),
                                                 [&](const QString &line) { return step.expected.match(line).hasMatch(); });
                if (!matched)
                    why = QStringLiteral("expected \"%1\", got \"%2\"").arg(step.expectedText, lines.join(QLatin1String("\", \"")));
            } else if (errorLine) {
                why = QStringLiteral("error answer \"%1\"").arg(lines.join(QLatin1String("\", \"")));
            }
            break;
        case CCliSession::Answer::TimedOut:
            why = QStringLiteral("no answer within %1 s").arg(options.timeoutS);
            break;
        case CCliSession::Answer::Lost:
            why = reader->failure();
            code = EXIT_PORT;
            break;
        case CCliSession::Answer::NotSent:
            why = QStringLiteral("not sent");
            break;
        case CCliSession::Answer::Interrupted:
            // Sent, and maybe carried out: it neither passed nor failed.
            session.out(QStringLiteral("INTERRUPTED %1: %2: sent, interrupted before its answer\n").arg(step.lineNumber).arg(step.command));
            continue;
        }
        QByteArray line = why.isEmpty() ? "PASS " : "FAIL ";
        line += QByteArray::number(step.lineNumber) + ": ";
        AppendVisible(line, step.command);
        if (!why.isEmpty()) {
            line += ": ";
            AppendVisible(line, why);
        }
        session.out(line + '\n');
        ++(why.isEmpty() ? passed : failed);
        if (code == EXIT_PORT)
            break;
    }
    const int commands = int(std::count_if(script.steps.cbegin(), script.steps.cend(),
                                           [](const ScriptStep &s) { return s.kind == ScriptStep::Command; }));
    session.out(QStringLiteral("%1 passed, %2 failed, %3 not run\n").arg(passed).arg(failed).arg(commands - passed - failed));
    if (code != EXIT_OK || session.interrupted())
        return code;
    return failed == 0 && passed == commands ? EXIT_OK : EXIT_FAILED;
}

// send: commands in order, the reader's answers on standard output.

#include "cli/CliCommands.h"
#include "cli/CliSession.h"
#include "platform/CodePage.h"

namespace {

// A command reaches the reader as one line: a line break inside it would send two.
bool OneLine(const QString &command)
{
    return !command.contains(QLatin1Char('\r')) && !command.contains(QLatin1Char('\n'));
}

} // namespace

int RunSend(CCliSession &session)
{
    const CliOptions &options = session.options();
    for (const QString &command : options.operands)
        if (!OneLine(command))
            return session.usage(QStringLiteral("the command %1 holds a line break").arg(CCliSession::Quoted(command)));
    std::unique_ptr<CCliReader> reader = session.makeReader(options.ports.first());
    if (const int code = session.open(*reader); code != EXIT_OK || session.interrupted())
        return code;
    CCodePageEncoder encoder;
    int code = EXIT_OK;
    for (const QString &command : options.operands) {
        QStringList lines;
        bool errorLine = false;
        const CCliSession::Answer answer = session.exchange(*reader, command, lines, errorLine);
        if (session.outputFailed())
            return EXIT_OUTPUT;   // said; the wait it cut short is no answer missing
        for (const QString &line : lines) {
            QByteArray text;
            if (options.hex)
                AppendHex(text, encoder, line);
            else
                AppendVisible(text, line);
            session.out(text + '\n');
        }
        switch (answer) {
        case CCliSession::Answer::Answered:
            if (errorLine)
                code = EXIT_FAILED;
            continue;
        case CCliSession::Answer::Interrupted:
            session.err(QStringLiteral("%1: interrupted while waiting for the answer to %2")
                            .arg(reader->portName(), CCliSession::Quoted(command)));
            return code;
        case CCliSession::Answer::TimedOut:
            session.err(QStringLiteral("%1: no answer to %2 within %3 s")
                            .arg(reader->portName(), CCliSession::Quoted(command)).arg(options.timeoutS));
            return EXIT_FAILED;
        case CCliSession::Answer::Lost:
            return EXIT_PORT;   // the engine said why
        case CCliSession::Answer::NotSent:
            return EXIT_FAILED;   // the engine said why
        }
    }
    return code;
}

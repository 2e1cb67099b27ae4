// wedge: each new tag typed into the focused application.

#include "cli/CliCommands.h"
#include "cli/CliSession.h"
#include "platform/AtomicFile.h"
#include "platform/WorkQueue.h"

#include <QDir>
#include <QFileInfo>

int RunWedge(CCliSession &session)
{
    const CliOptions &options = session.options();
    std::unique_ptr<CCliReader> reader = session.makeReader(options.ports.first(), true);
    CReaderEngine &engine = reader->engine();
    // The portal's consent token is kept in a file of our own, written off this thread.
    CWorkQueue tokenWriter;
    const QString tokenPath = PortalTokenPath();
    QObject::connect(&engine, &CReaderEngine::portalRestoreTokenChanged, &session, [&session, &tokenWriter, tokenPath](const QString &token) {
        tokenWriter.Run([&session, tokenPath, token]() -> CWorkQueue::Apply {
            QDir().mkpath(QFileInfo(tokenPath).path());
            const QString error = WriteFileAtomically(tokenPath, token.toUtf8() + '\n');
            return [&session, error, tokenPath] {
                if (!error.isEmpty())
                    session.err(QStringLiteral("%1 not written: %2").arg(tokenPath, error));
            };
        });
    });
    QObject::connect(&engine, &CReaderEngine::tagRead, &session, [&session, &engine, r = reader.get()](const QString &line, bool scan) {
        // Emitted before the protocol's typing rules: a tag it has not typed yet is new.
        if (!engine.tagList().contains(line))
            session.sayEvent(*r, QLatin1String(scan ? "scan" : "tag"), line);
    });
    bool sinkFailed = false;
    QObject::connect(&engine, &CReaderEngine::keyEmulatorFailed, &session, [&sinkFailed] { sinkFailed = true; });
    engine.SetAsciiMode(options.ascii);
    engine.SetMultiMode(options.mode == 1);
    if (const int code = session.open(*reader); code != EXIT_OK || session.interrupted())
        return code;
    engine.SetKeyEmulator(true);
    engine.SetAutoConnect(true);
    session.waitFor([&] { return sinkFailed; }, -1);
    return sinkFailed ? EXIT_FAILED : EXIT_OK;
}

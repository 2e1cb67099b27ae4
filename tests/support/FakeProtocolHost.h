#pragma once

#include "protocol/CommandLine.h"
#include "protocol/ReaderView.h"
#include "protocol/ResponseDispatcher.h"
#include "protocol/TagTyper.h"

#include <QStringList>

// An in-memory main window and key emulator (the protocol's view and typer in one, so that
// one trace holds both): its send path does what the window's OnSend/SendCommand do
// (history, red log line, escape replacement, 8-bit conversion with CR LF), and every effect
// lands in one ordered trace so that a test sees order as well as content.
//   "blue:<text>" / "red:<text>" / "note:<text>" / "error:<text>"  log entries: received, sent,
//                                  the tool's own notes and its notes on a failure
//   "write:<bytes>"                bytes to the reader
//   "line:<class>:<text>"          a dispatched line    "tag:<bytes>" / "scan:<text>"  typed
//   "slider:<n>"                   the TX power slider set
class CFakeProtocolHost : public IReaderView, public ITagTyper
{
public:
    static constexpr qsizetype TX_CAPACITY = 2048;

    QStringList trace;
    QStringList history;
    QString commandBox;
    QString lastCommand;
    bool keyEmulator = false;
    bool multiMode = true;
    int txPower = 0;
    CResponseDispatcher *dispatcher = nullptr;   // told of each command written, as the window does

    void AppendLog(const QString &text, LogKind kind) override
    {
        trace << (kind == LogKind::Received ? QStringLiteral("blue:")
                  : kind == LogKind::Note   ? QStringLiteral("note:")
                  : kind == LogKind::Error  ? QStringLiteral("error:")
                                            : QStringLiteral("red:"))
                     + text;
    }
    void SetCommandText(const QString &text) override { commandBox = text; }
    void OnSend() override
    {
        const QString command = commandBox.trimmed();
        history << command;
        SendCommand(command);
    }
    QString LastCommand() const override { return lastCommand; }
    bool IsTypingOn() const override { return keyEmulator; }
    bool IsMultiModeChecked() const override { return multiMode; }
    void SetTxPower(int position) override
    {
        txPower = position;
        trace << QStringLiteral("slider:%1").arg(position);
    }
    int TxPower() const override { return txPower; }
    void TypeTag(const QString &, const QByteArray &tagBytes) override { trace << QStringLiteral("tag:") + QString::fromLatin1(tagBytes); }
    void TypeScan(const QString &line) override { trace << QStringLiteral("scan:") + line; }

    int SendCommand(const QString &command)
    {
        lastCommand = command;
        AppendLog(command + QStringLiteral("\r\n"), LogKind::Sent);
        lastCommand = ReplaceTypedEscapes(command);
        const CommandLine line = PrepareCommandLine(lastCommand, TX_CAPACITY);
        if (line.status != CommandLine::Ready) {
            AppendLog(CommandRefusalText(line, TX_CAPACITY), LogKind::Note);
            return 0;
        }
        trace << QStringLiteral("write:") + QString::fromLatin1(line.bytes);
        if (dispatcher)
            dispatcher->CommandSent(lastCommand);
        return int(line.bytes.size());
    }

    void observe(CResponseDispatcher &observed)
    {
        dispatcher = &observed;
        observed.setDispatchObserver([this](CResponseDispatcher::LineClass lineClass, const QString &line) {
            trace << QStringLiteral("line:%1:%2").arg(className(lineClass), line);
        });
    }

    static QString className(CResponseDispatcher::LineClass lineClass)
    {
        static const char *const names[] = { "event", "trigger", "ok", "end", "err", "echo", "tag" };
        return QString::fromLatin1(names[lineClass]);
    }
};

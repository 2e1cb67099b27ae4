#pragma once

#include "engine/ReaderEngine.h"

#include <QObject>
#include <QString>

// One reader of the command line: an engine on one port, with the port as its front end's
// choice. It passes on what the engine's signals say: every line sent or received,
// classified (`traffic`); a received line over the dispatcher's bound, cut (`longLine`); the
// link opened, lost, reopened and closed (`link`); the engine's notes and errors (`noted`).
// Lives on the main thread, as its engine does.
class CCliReader : public QObject, public IReaderFrontEnd
{
    Q_OBJECT

public:
    enum class Direction { Sent, Received };
    enum class LinkEvent { Opened, Lost, Reopened, Closed };

    // `name` is how output names the port: COM5, or the path the command line gave.
    CCliReader(int port, const QString &name, const CReaderEngine::Environment &environment, QObject *parent = nullptr);
    ~CCliReader() override;

    int PortToUse() override { return m_port; }
    int port() const { return m_port; }
    const QString &portName() const { return m_name; }
    CReaderEngine &engine() { return m_engine; }

    // Whether the port number names anything to open: a device node or a Bluetooth address
    // recorded for it.
    bool PortExists() const;

    // The reason of the last failed opening or of a lost link; empty while none.
    const QString &failure() const { return m_failure; }

    // The class output gives a received line over the bound, shown cut (never dispatched).
    static constexpr int CUT_LINE = -2;
    // A line's class as one word: event, trigger, ok, end, error, echo, tag; sent; cut.
    static QLatin1String ClassName(int lineClass);
    static QLatin1String LinkEventName(LinkEvent event);

signals:
    // `lineClass`: CResponseDispatcher::LineClass for a received line, -1 for a sent one.
    void traffic(CCliReader *reader, CCliReader::Direction direction, int lineClass, const QString &line);
    // A received line longer than the bound: its first CResponseDispatcher::MAX_LINE_CHARS
    // characters and its whole length. Never dispatched, so never typed or matched.
    void longLine(CCliReader *reader, const QString &head, qint64 chars);
    // `detail`: the device path opened, or why the link was lost.
    void link(CCliReader *reader, CCliReader::LinkEvent event, const QString &detail);
    void noted(CCliReader *reader, const QString &text, LogKind kind);

private:
    int m_port;
    QString m_name;
    QString m_failure;
    bool m_everOpened = false;
    bool m_open = false;
    CReaderEngine m_engine;
};

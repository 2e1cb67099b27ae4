#pragma once

#include "engine/ReaderEngine.h"

#include <QObject>
#include <QString>

// One reader of the command line: an engine on one port, with the port as its front end's
// choice. Every line it sends or receives comes out of `traffic`, classified; the engine's
// notes and errors come out of `noted`. Lives on the main thread, as its engine does.
class CCliReader : public QObject, public IReaderFrontEnd
{
    Q_OBJECT

public:
    enum class Direction { Sent, Received };

    CCliReader(int port, const CReaderEngine::Environment &environment, QObject *parent = nullptr);
    ~CCliReader() override;

    int PortToUse() override { return m_port; }
    int port() const { return m_port; }
    QString portName() const { return QStringLiteral("COM%1").arg(m_port); }
    CReaderEngine &engine() { return m_engine; }

    // Whether the port number names anything to open: a device node or a Bluetooth address
    // recorded for it.
    bool PortExists() const;

    // The reason of the last failed opening or of a lost link; empty while none.
    const QString &failure() const { return m_failure; }

    // A received line's class as one word: event, trigger, ok, end, error, echo, tag.
    static QString ClassName(int lineClass);

signals:
    // `lineClass`: CResponseDispatcher::LineClass for a received line, -1 for a sent one.
    void traffic(CCliReader *reader, Direction direction, int lineClass, const QString &line);
    void noted(CCliReader *reader, const QString &text, LogKind kind);
    void stateChanged(CCliReader *reader);

private:
    int m_port;
    QString m_failure;
    CReaderEngine m_engine;
};

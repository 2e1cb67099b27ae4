#include "cli/CliReader.h"

#include "discovery/BluetoothSerialPorts.h"

CCliReader::CCliReader(int port, const QString &name, const CReaderEngine::Environment &environment, QObject *parent)
    : QObject(parent)
    , m_port(port)
    , m_name(name)
    , m_engine(*this, environment)
{
    connect(&m_engine, &CReaderEngine::lineReceived, this, [this](int lineClass, const QString &line) {
        emit traffic(this, Direction::Received, lineClass, line);
    });
    connect(&m_engine, &CReaderEngine::longLineReceived, this, [this](const QString &head, qint64 chars) {
        emit longLine(this, head, chars);
    });
    connect(&m_engine, &CReaderEngine::commandSent, this, [this](const QString &command) {
        emit traffic(this, Direction::Sent, -1, command);
    });
    connect(&m_engine, &CReaderEngine::logged, this, [this](const QString &text, LogKind kind) {
        if (kind == LogKind::Note || kind == LogKind::Error)
            emit noted(this, text.trimmed(), kind);
    });
    connect(&m_engine, &CReaderEngine::connectionChanged, this, [this](CReaderEngine::State state, const QString &reason) {
        const bool open = state == CReaderEngine::State::Open;
        if (open)
            m_failure.clear();
        else if (!reason.isEmpty())
            m_failure = reason;
        if (open == m_open)
            return;
        m_open = open;
        if (open) {
            emit link(this, m_everOpened ? LinkEvent::Reopened : LinkEvent::Opened, m_engine.OpenedPath());
            m_everOpened = true;
        } else {
            emit link(this, state == CReaderEngine::State::Lost ? LinkEvent::Lost : LinkEvent::Closed, reason);
        }
    });
}

// The engine closes the port (and clears its exclusive mode) and joins its threads.
CCliReader::~CCliReader() = default;

bool CCliReader::PortExists() const
{
    if (!DevicePathForPort(m_port, m_engine.environment().ports).isEmpty())
        return true;
    BluetoothAddress address{};
    return BluetoothPortAddress(m_port, m_engine.environment().bluetoothPortBook, address);
}

QLatin1String CCliReader::ClassName(int lineClass)
{
    switch (lineClass) {
    case CResponseDispatcher::Event: return QLatin1String("event");
    case CResponseDispatcher::TriggerEvent: return QLatin1String("trigger");
    case CResponseDispatcher::OkResponse: return QLatin1String("ok");
    case CResponseDispatcher::EndResponse: return QLatin1String("end");
    case CResponseDispatcher::ErrorResponse: return QLatin1String("error");
    case CResponseDispatcher::Echo: return QLatin1String("echo");
    case CResponseDispatcher::TagData: return QLatin1String("tag");
    case CUT_LINE: return QLatin1String("cut");
    default: return QLatin1String("sent");
    }
}

QLatin1String CCliReader::LinkEventName(LinkEvent event)
{
    switch (event) {
    case LinkEvent::Opened: return QLatin1String("opened");
    case LinkEvent::Lost: return QLatin1String("lost");
    case LinkEvent::Reopened: return QLatin1String("reopened");
    case LinkEvent::Closed: break;
    }
    return QLatin1String("closed");
}

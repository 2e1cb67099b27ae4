#include "cli/CliReader.h"

#include "discovery/BluetoothSerialPorts.h"

CCliReader::CCliReader(int port, const CReaderEngine::Environment &environment, QObject *parent)
    : QObject(parent)
    , m_port(port)
    , m_engine(*this, environment)
{
    m_engine.protocol().setDispatchObserver([this](CResponseDispatcher::LineClass lineClass, const QString &line) {
        emit traffic(this, Direction::Received, int(lineClass), line);
    });
    connect(&m_engine, &CReaderEngine::commandSent, this, [this](const QString &command) {
        emit traffic(this, Direction::Sent, -1, command);
    });
    connect(&m_engine, &CReaderEngine::logged, this, [this](const QString &text, LogKind kind) {
        if (kind == LogKind::Note || kind == LogKind::Error)
            emit noted(this, text.trimmed(), kind);
    });
    connect(&m_engine, &CReaderEngine::connectionChanged, this, [this](CReaderEngine::State state, const QString &reason) {
        if (state == CReaderEngine::State::Open)
            m_failure.clear();
        else if (!reason.isEmpty())
            m_failure = reason;
        emit stateChanged(this);
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

QString CCliReader::ClassName(int lineClass)
{
    switch (lineClass) {
    case CResponseDispatcher::Event: return QStringLiteral("event");
    case CResponseDispatcher::TriggerEvent: return QStringLiteral("trigger");
    case CResponseDispatcher::OkResponse: return QStringLiteral("ok");
    case CResponseDispatcher::EndResponse: return QStringLiteral("end");
    case CResponseDispatcher::ErrorResponse: return QStringLiteral("error");
    case CResponseDispatcher::Echo: return QStringLiteral("echo");
    case CResponseDispatcher::TagData: return QStringLiteral("tag");
    default: return QStringLiteral("sent");
    }
}

#include "platform/BusConnection.h"

#include <atomic>

namespace {

QString uniqueName()
{
    static std::atomic<unsigned> counter{0};
    return QStringLiteral("rfid-bus-%1").arg(++counter);
}

QDBusConnection connect(QDBusConnection::BusType type, const QString &address, const QString &name)
{
    if (name.isEmpty())
        return type == QDBusConnection::SystemBus ? QDBusConnection::systemBus() : QDBusConnection::sessionBus();
    return address.isEmpty() ? QDBusConnection::connectToBus(type, name) : QDBusConnection::connectToBus(address, name);
}

} // namespace

CBusConnection::CBusConnection(QDBusConnection::BusType type, const QString &address, bool own)
    : m_name(own || !address.isEmpty() ? uniqueName() : QString())
    , m_bus(connect(type, address, m_name))
{
}

CBusConnection::~CBusConnection()
{
    if (m_name.isEmpty())
        return;
    // The last handle goes first, so that the connection really closes.
    m_bus = QDBusConnection(QString());
    QDBusConnection::disconnectFromBus(m_name);
}

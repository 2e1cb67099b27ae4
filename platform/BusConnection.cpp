#include "platform/BusConnection.h"

namespace {

// Qt keeps named connections in one table for the whole process. A live object's address is
// unique among the live ones, and the destructor takes the name out of that table before the
// address can be used again, so no counter shared between threads is needed.
QString uniqueName(const CBusConnection *owner)
{
    return QStringLiteral("rfid-bus-%1").arg(reinterpret_cast<quintptr>(owner), 0, 16);
}

QDBusConnection connect(QDBusConnection::BusType type, const QString &address, const QString &name)
{
    if (name.isEmpty())
        return type == QDBusConnection::SystemBus ? QDBusConnection::systemBus() : QDBusConnection::sessionBus();
    return address.isEmpty() ? QDBusConnection::connectToBus(type, name) : QDBusConnection::connectToBus(address, name);
}

} // namespace

CBusConnection::CBusConnection(QDBusConnection::BusType type, const QString &address, bool own)
    : m_name(own || !address.isEmpty() ? uniqueName(this) : QString())
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

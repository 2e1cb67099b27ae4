#pragma once

#include <QDBusConnection>
#include <QString>

// One D-Bus connection for one piece of work, closed when this object goes. With no address
// it is the bus of `type`: Qt's shared connection to it, or, when `own` is set, a connection
// of its own (for work that exports objects or takes signals on a thread of its own). With
// an address it is a private bus (a test's), always on a connection of its own. Each own
// connection gets a name no other connection of the process uses.
//
// Threads: made, used and destroyed on one thread.
class CBusConnection
{
public:
    CBusConnection(QDBusConnection::BusType type, const QString &address, bool own = false);
    ~CBusConnection();
    CBusConnection(const CBusConnection &) = delete;
    CBusConnection &operator=(const CBusConnection &) = delete;

    QDBusConnection &bus() { return m_bus; }
    bool isConnected() const { return m_bus.isConnected(); }

private:
    QString m_name;   // empty: Qt's shared connection, which stays
    QDBusConnection m_bus;
};

#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QVariantList>

// A private D-Bus daemon, optionally with one mock of python3-dbusmock on it: BlueZ for the
// Bluetooth list tests, or the desktop portal's remote desktop for the portal key sink (as
// both the system and the session bus). Both processes are started by the test and ended by
// the destructor.
class CBluezTestBus
{
public:
    ~CBluezTestBus();

    // Starts dbus-daemon and, if `withBluez`, the mock. On failure `why` says what is
    // missing (for QSKIP) and false is returned.
    bool start(bool withBluez, QString &why);
    // The same with the portal's mock (mock_portal_remote_desktop.py beside this file).
    bool startPortal(QString &why);
    QString address() const { return m_address; }

    // Calls a method of the mock's own control interface (AddAdapter, AddDevice, ... of
    // BlueZ; SetGrant, GetKeys, ... of the portal).
    QDBusMessage mockCall(const QString &method, const QVariantList &args = {});
    // Adds BlueZ's serial profile to the mock (bluez_serial_profile.py, built in):
    // AddSerialDevice, ConnectProfile handing over one end of a socket pair, TakeReaderSocket.
    bool addSerialProfile(QString &why);
    // The reader's end of the latest link the mock handed over (the caller owns it), or -1.
    int takeReaderSocket();
    // Reads a property of an adapter or device object of the mock.
    QVariant property(const QString &path, const QString &interface, const QString &name);

    // A Python interpreter that can import dbusmock, or empty.
    static QString dbusmockPython();

private:
    bool startMock(const QString &mockTemplate, const QString &service, QString &why);

    QString m_service;
    QString m_mockPath;
    QString m_mockInterface;
    QProcess m_daemon;
    QProcess m_mock;
    QString m_address;
    QString m_connectionName;
    QTemporaryDir m_templateDir;
};

// Writes sys/class/tty/<name>/address files under `root`, one per "rfcommN=address" entry;
// an entry without "=" makes a tty folder without address.
bool WriteFakeTtys(const QString &root, const QStringList &entries);

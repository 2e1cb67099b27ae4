#include "tests/support/BluezTestBus.h"

#include <QDBusConnectionInterface>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QThread>

#include <fcntl.h>

namespace {
const QString BLUEZ = QStringLiteral("org.bluez");
const QString MOCK_INTERFACE = QStringLiteral("org.bluez.Mock");
constexpr int START_LIMIT_MS = 15000;
}

CBluezTestBus::~CBluezTestBus()
{
    if (!m_connectionName.isEmpty())
        QDBusConnection::disconnectFromBus(m_connectionName);
    for (QProcess *p : {&m_mock, &m_daemon}) {
        if (p->state() != QProcess::NotRunning) {
            p->terminate();
            if (!p->waitForFinished(5000))
                p->kill();
            p->waitForFinished(5000);
        }
    }
}

QString CBluezTestBus::dbusmockPython()
{
    // The first python3 on PATH may be a private interpreter without the Debian packages.
    const QStringList candidates = {qEnvironmentVariable("RFID_PYTHON3"),
                                    QStandardPaths::findExecutable(QStringLiteral("python3")),
                                    QStringLiteral("/usr/bin/python3")};
    for (const QString &python : candidates) {
        if (python.isEmpty())
            continue;
        QProcess probe;
        probe.start(python, {QStringLiteral("-c"), QStringLiteral("import dbusmock")});
        if (probe.waitForFinished(10000) && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0)
            return python;
    }
    return {};
}

bool CBluezTestBus::start(bool withBluez, QString &why)
{
    m_mockPath = QStringLiteral("/");
    m_mockInterface = MOCK_INTERFACE;
    return startMock(withBluez ? QStringLiteral("bluez5") : QString(), BLUEZ, why);
}

bool CBluezTestBus::startPortal(QString &why)
{
    m_mockPath = QStringLiteral("/org/freedesktop/portal/desktop");
    m_mockInterface = QStringLiteral("org.freedesktop.DBus.Mock");
    // ctest names the source tree (a copy of it for the unprivileged run); a benchmark run by
    // hand reads the template where the build found it.
    const QString source = qEnvironmentVariable("RFID_SOURCE_DIR");
    const QString mockTemplate = source.isEmpty() ? QStringLiteral(RFID_PORTAL_MOCK)
                                                  : source + QStringLiteral("/tests/support/mock_portal_remote_desktop.py");
    return startMock(mockTemplate, QStringLiteral("org.freedesktop.portal.Desktop"), why);
}

bool CBluezTestBus::startMock(const QString &mockTemplate, const QString &service, QString &why)
{
    const bool withMock = !mockTemplate.isEmpty();
    m_service = service;
    const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    const QString python = withMock ? dbusmockPython() : QString();
    if (daemon.isEmpty()) {
        why = QStringLiteral("dbus-daemon is not installed");
        return false;
    }
    if (withMock && python.isEmpty()) {
        why = QStringLiteral("python3-dbusmock is not installed");
        return false;
    }
    m_daemon.start(daemon, {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    QDeadlineTimer deadline(START_LIMIT_MS);
    while (!m_daemon.canReadLine() && m_daemon.waitForReadyRead(int(deadline.remainingTime()))) {
    }
    m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    if (m_address.isEmpty()) {
        why = QStringLiteral("dbus-daemon did not start");
        return false;
    }
    m_connectionName = QStringLiteral("test-bus-") + m_address;
    QDBusConnection bus = QDBusConnection::connectToBus(m_address, m_connectionName);
    if (!bus.isConnected()) {
        why = QStringLiteral("cannot connect to the private bus");
        return false;
    }
    if (!withMock)
        return true;

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), m_address);
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
    m_mock.setProcessEnvironment(env);
    m_mock.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_mock.setStandardOutputFile(QProcess::nullDevice());
    m_mock.start(python, {QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--template"), mockTemplate});
    while (!bus.interface()->isServiceRegistered(service)) {
        if (deadline.hasExpired() || m_mock.state() == QProcess::NotRunning) {
            why = QStringLiteral("the mock of %1 did not come up").arg(service);
            return false;
        }
        QThread::msleep(50);
    }
    return true;
}

QDBusMessage CBluezTestBus::mockCall(const QString &method, const QVariantList &args)
{
    QDBusMessage call = QDBusMessage::createMethodCall(m_service, m_mockPath, m_mockInterface, method);
    call.setArguments(args);
    return QDBusConnection(m_connectionName).call(call);
}

bool CBluezTestBus::addSerialProfile(QString &why)
{
    QDBusMessage call = QDBusMessage::createMethodCall(BLUEZ, QStringLiteral("/"), QStringLiteral("org.freedesktop.DBus.Mock"),
                                                       QStringLiteral("AddTemplate"));
    // The mock reads templates from files ending in .py.
    const QString path = m_templateDir.filePath(QStringLiteral("bluez_serial_profile.py"));
    if (!QFile::exists(path) && !QFile::copy(QStringLiteral(":/bluez_serial_profile.py"), path))
        return false;
    call.setArguments({path, QVariantMap()});
    const QDBusMessage reply = QDBusConnection(m_connectionName).call(call);
    why = reply.errorMessage();
    return reply.type() == QDBusMessage::ReplyMessage;
}

int CBluezTestBus::takeReaderSocket()
{
    const QDBusMessage reply = mockCall(QStringLiteral("TakeReaderSocket"), {});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return -1;
    const auto fd = reply.arguments().constFirst().value<QDBusUnixFileDescriptor>();
    return fd.isValid() ? ::fcntl(fd.fileDescriptor(), F_DUPFD_CLOEXEC, 0) : -1;
}

QVariant CBluezTestBus::property(const QString &path, const QString &interface, const QString &name)
{
    QDBusMessage call = QDBusMessage::createMethodCall(BLUEZ, path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                       QStringLiteral("Get"));
    call.setArguments({interface, name});
    const QDBusMessage reply = QDBusConnection(m_connectionName).call(call);
    return reply.arguments().isEmpty() ? QVariant() : reply.arguments().constFirst().value<QDBusVariant>().variant();
}

bool WriteFakeTtys(const QString &root, const QStringList &entries)
{
    for (const QString &entry : entries) {
        const QString name = entry.section(QLatin1Char('='), 0, 0);
        const QString folder = root + QStringLiteral("/sys/class/tty/") + name;
        if (!QDir().mkpath(folder))
            return false;
        if (!entry.contains(QLatin1Char('=')))
            continue;
        QFile file(folder + QStringLiteral("/address"));
        if (!file.open(QIODevice::WriteOnly))
            return false;
        file.write(entry.section(QLatin1Char('='), 1).toUtf8() + '\n');
    }
    return true;
}

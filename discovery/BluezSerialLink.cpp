#include "discovery/BluezSerialLink.h"

#include "platform/BusConnection.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusUnixFileDescriptor>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <QVariantMap>

#include <atomic>
#include <fcntl.h>
#include <functional>
#include <thread>
#include <unistd.h>

namespace {

const QString BLUEZ_SERVICE = QLatin1String(BLUEZ_SERVICE_NAME);
const QString BLUEZ_PATH = QStringLiteral("/org/bluez");
const QString PROFILE_MANAGER_INTERFACE = QStringLiteral("org.bluez.ProfileManager1");
const QString DEVICE_INTERFACE = QLatin1String(BLUEZ_DEVICE_INTERFACE);
const QString PROFILE_PATH_PREFIX = QStringLiteral("/org/rfidlorix/serial");
const QString PROFILE_NAME = QStringLiteral("RFID_Lorix serial port");
constexpr char NO_REPLY_ERROR[] = "org.freedesktop.DBus.Error.NoReply";
// How often a waiting session looks at its stop flag and its deadline.
constexpr int SESSION_TICK_MS = 50;
constexpr int SAFEGUARD_MS = 1000;
constexpr int MS_PER_SECOND = 1000;

// The profile object BlueZ calls back. Lives on its session's thread; its slots run there.
class CSerialProfile : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.bluez.Profile1")

public:
    ~CSerialProfile() override
    {
        if (socket >= 0)
            ::close(socket);
    }

    int socket = -1;        // the link BlueZ handed over, until the session passes it on
    bool linked = false;    // BlueZ handed one over: its side is to be disconnected at the end

public slots:
    void NewConnection(const QDBusObjectPath &, const QDBusUnixFileDescriptor &fd, const QVariantMap &)
    {
        // The descriptor in the message is closed with it: keep a copy of our own.
        if (socket < 0 && fd.isValid())
            socket = ::fcntl(fd.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
        linked = linked || socket >= 0;
    }
    // BlueZ ends the link or drops the profile (bluetoothd going away): the socket's end
    // tells the channel; these only need their answer.
    void RequestDisconnection(const QDBusObjectPath &) {}
    void Release() {}
};

// Unique among this process's profiles: the session lives until its attempt ends, and its
// attempt number is the link's own.
QString uniqueSuffix(const void *session, quint64 attempt)
{
    return QStringLiteral("%1_%2_%3").arg(::getpid()).arg(quintptr(session), 0, 16).arg(attempt);
}

// BlueZ's reason for a failed call, as the operator reads it.
QString replyError(const QDBusMessage &reply, int timeoutMs)
{
    if (reply.errorName() == QLatin1String(NO_REPLY_ERROR))
        return QStringLiteral("BlueZ did not answer within %1 s").arg(timeoutMs / MS_PER_SECOND);
    if (reply.type() != QDBusMessage::ErrorMessage)
        return QStringLiteral("BlueZ gave no answer");
    const QString message = reply.errorMessage().trimmed();
    return (message.isEmpty() ? QStringLiteral("refused") : message) + QLatin1String(" (") + reply.errorName()
           + QLatin1Char(')');
}

} // namespace

struct CBluezSerialLink::Session
{
    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<bool> leaving{false};   // the owner goes: no clean-up calls
    std::atomic<bool> done{false};

    void run(QObject *receiver, BluetoothAddress address, BluezEnvironment env, quint64 attempt);

private:
    // Runs this thread's event loop until `ready` holds, the time is up (timeoutMs < 0: never)
    // or, when `stoppable`, a stop was asked for. Returns `ready`'s last answer.
    bool waitUntil(const std::function<bool()> &ready, int timeoutMs, bool stoppable);
    QDBusMessage call(QDBusConnection &bus, const QString &path, const QString &interface, const QString &method,
                      const QVariantList &arguments, int timeoutMs, bool stoppable);
    QString connect(QDBusConnection &bus, CSerialProfile &profile, const BluetoothAddress &address,
                    const BluezEnvironment &env, const QString &profilePath, bool &registered, QString &devicePath);
};

bool CBluezSerialLink::Session::waitUntil(const std::function<bool()> &ready, int timeoutMs, bool stoppable)
{
    const QDeadlineTimer deadline = timeoutMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(timeoutMs);
    auto over = [&] { return ready() || deadline.hasExpired() || (stoppable && stop.load()); };
    if (over())
        return ready();
    QEventLoop loop;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (over())
            loop.quit();
    });
    tick.start(SESSION_TICK_MS);
    loop.exec();
    return ready();
}

QDBusMessage CBluezSerialLink::Session::call(QDBusConnection &bus, const QString &path, const QString &interface,
                                             const QString &method, const QVariantList &arguments, int timeoutMs,
                                             bool stoppable)
{
    QDBusMessage message = QDBusMessage::createMethodCall(BLUEZ_SERVICE, path, interface, method);
    message.setArguments(arguments);
    QDBusPendingCall pending = bus.asyncCall(message, timeoutMs);
    // The bus's own time-out answers with NoReply; ours comes later, only a safeguard, and
    // means the same.
    if (!waitUntil([&] { return pending.isFinished(); }, timeoutMs + SAFEGUARD_MS, stoppable))
        return QDBusMessage::createError(QLatin1String(NO_REPLY_ERROR), QString());
    return pending.reply();
}

// Registers the profile and connects it; the error in words, or empty once the profile holds
// the socket.
QString CBluezSerialLink::Session::connect(QDBusConnection &bus, CSerialProfile &profile,
                                           const BluetoothAddress &address, const BluezEnvironment &env,
                                           const QString &profilePath, bool &registered, QString &devicePath)
{
    if (!bus.isConnected())
        return QStringLiteral("the system bus cannot be reached (%1)").arg(bus.lastError().message());
    BluetoothDeviceRecord device;
    bool reachable = false;
    if (!FindBluezDevice(address, device, reachable, env))
        return reachable ? QStringLiteral("BlueZ does not know this device: pair it first")
                         : QStringLiteral("BlueZ does not answer on the system bus");
    if (!device.paired)
        return QStringLiteral("the device is not paired: pair it first");
    devicePath = device.objectPath;

    if (!bus.registerObject(profilePath, &profile, QDBusConnection::ExportAllSlots))
        return QStringLiteral("the profile object cannot be exported");
    const QVariantMap options{{QStringLiteral("Name"), PROFILE_NAME},
                              {QStringLiteral("Role"), QStringLiteral("client")},
                              {QStringLiteral("AutoConnect"), false}};
    const QString uuid = QLatin1String(SERIAL_PORT_PROFILE_UUID);
    QDBusMessage reply = call(bus, BLUEZ_PATH, PROFILE_MANAGER_INTERFACE, QStringLiteral("RegisterProfile"),
                              {QVariant::fromValue(QDBusObjectPath(profilePath)), uuid, options}, env.callTimeoutMs,
                              true);
    if (reply.type() != QDBusMessage::ReplyMessage)
        return QStringLiteral("the serial profile cannot be registered: ") + replyError(reply, env.callTimeoutMs);
    registered = true;

    reply = call(bus, devicePath, DEVICE_INTERFACE, QStringLiteral("ConnectProfile"), {uuid}, env.connectTimeoutMs,
                 true);
    if (stop.load())
        return QStringLiteral("cancelled");
    if (reply.type() != QDBusMessage::ReplyMessage)
        return replyError(reply, env.connectTimeoutMs);
    // BlueZ hands the socket over before it answers as a rule; the order is not promised.
    if (!waitUntil([&] { return profile.socket >= 0; }, env.callTimeoutMs, true))
        return QStringLiteral("BlueZ connected the device but handed over no link");
    return QString();
}

void CBluezSerialLink::Session::run(QObject *receiver, BluetoothAddress address, BluezEnvironment env,
                                    quint64 attempt)
{
    {
        // A connection of its own: the profile is exported on it and served on this thread.
        CBusConnection connection(QDBusConnection::SystemBus, env.busAddress, true);
        QDBusConnection &bus = connection.bus();
        CSerialProfile profile;
        const QString profilePath = PROFILE_PATH_PREFIX + uniqueSuffix(this, attempt);
        bool registered = false;
        QString devicePath;
        const QString error = connect(bus, profile, address, env, profilePath, registered, devicePath);
        if (!stop.load()) {
            const int socket = error.isEmpty() ? profile.socket : -1;
            if (error.isEmpty())
                profile.socket = -1;   // passes to the event
            QCoreApplication::postEvent(receiver, new CBluezLinkEvent(attempt, socket, error));
            // While the link is in use BlueZ may call the profile; it is answered here.
            if (error.isEmpty())
                waitUntil([] { return false; }, -1, true);
        }
        // Not stoppable: the owner has asked for exactly this, and each call has its time-out.
        // An owner that goes (the tool's exit) does not wait on them: BlueZ lets a profile
        // and its links go when the connection that registered it closes, as this one does
        // next.
        const QString uuid = QLatin1String(SERIAL_PORT_PROFILE_UUID);
        if (profile.linked && !leaving.load())
            call(bus, devicePath, DEVICE_INTERFACE, QStringLiteral("DisconnectProfile"), {uuid}, env.callTimeoutMs,
                 false);
        if (registered && !leaving.load())
            call(bus, BLUEZ_PATH, PROFILE_MANAGER_INTERFACE, QStringLiteral("UnregisterProfile"),
                 {QVariant::fromValue(QDBusObjectPath(profilePath))}, env.callTimeoutMs, false);
        bus.unregisterObject(profilePath);
    }
    done.store(true);
}

CBluezLinkEvent::CBluezLinkEvent(quint64 attempt, int socket, const QString &error)
    : QEvent(eventType()), m_attempt(attempt), m_socket(socket), m_error(error)
{
}

CBluezLinkEvent::~CBluezLinkEvent()
{
    if (m_socket >= 0)
        ::close(m_socket);
}

QEvent::Type CBluezLinkEvent::eventType()
{
    static const QEvent::Type type = QEvent::Type(QEvent::registerEventType());
    return type;
}

int CBluezLinkEvent::takeSocket()
{
    const int socket = m_socket;
    m_socket = -1;
    return socket;
}

CBluezSerialLink::CBluezSerialLink(const BluezEnvironment &env) : m_env(env) {}

CBluezSerialLink::~CBluezSerialLink()
{
    reap(true);
}

quint64 CBluezSerialLink::Connect(QObject *receiver, const BluetoothAddress &address)
{
    Disconnect();
    auto session = std::make_unique<Session>();
    Session *raw = session.get();
    const quint64 attempt = ++m_attempt;
    raw->thread = std::thread([raw, receiver, address, env = m_env, attempt] {
        raw->run(receiver, address, env, attempt);
    });
    m_sessions.push_back(std::move(session));
    m_connecting = true;
    return attempt;
}

void CBluezSerialLink::Disconnect()
{
    m_connecting = false;
    if (!m_sessions.empty())
        m_sessions.back()->stop.store(true);
    reap(false);
}

bool CBluezSerialLink::Answered(quint64 attempt)
{
    if (attempt != m_attempt || !m_connecting)
        return false;
    m_connecting = false;
    return true;
}

// Joins the sessions that have ended (all: asks every one to end first, and waits).
void CBluezSerialLink::reap(bool all)
{
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        Session &session = **it;
        if (all) {
            session.leaving.store(true);
            session.stop.store(true);
        }
        if (all || session.done.load()) {
            if (session.thread.joinable())
                session.thread.join();
            it = m_sessions.erase(it);
        } else {
            ++it;
        }
    }
}

#include "BluezSerialLink.moc"

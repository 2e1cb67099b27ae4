#include "wedge/KeySinkPortal.h"

#include "platform/BusConnection.h"
#include "wedge/KeySinkX11.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <cstring>
#include <functional>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr char REQUEST_PATH_PREFIX[] = "/org/freedesktop/portal/desktop/request/";
// Option and result keys of the requests.
const QString HANDLE_TOKEN = QStringLiteral("handle_token");
const QString RESTORE_TOKEN = QStringLiteral("restore_token");
// How often a wait for the portal looks at the owner's stop flag.
constexpr int STOP_CHECK_MS = 50;

// Response codes of a portal request.
constexpr unsigned RESPONSE_GRANTED = 0;
constexpr unsigned RESPONSE_CANCELLED = 1;

const QString CLOSED_BY_DESKTOP = QStringLiteral("the desktop ended the remote-desktop session (the portal closed it)");
// The bus names of the desktops' portal backends, one per desktop ("...desktop.gnome").
constexpr char BACKEND_PREFIX[] = "org.freedesktop.impl.portal.desktop.";
// Keysyms of characters: Latin-1 is its own code point, anything beyond is offset.
constexpr char32_t LAST_LATIN1 = 0xFF;
constexpr int UNICODE_KEYSYM_OFFSET = 0x01000000;

// Whether a Wayland compositor listens on `path`: a connection it accepts, closed at once.
bool socketAnswers(const QByteArray &path)
{
    sockaddr_un address{};
    if (path.isEmpty() || std::size_t(path.size()) >= sizeof address.sun_path)
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return true;   // no descriptor to look with: say nothing rather than something false
    const bool answers = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return answers;
}

QString s(const char *text)
{
    return QString::fromLatin1(text);
}

} // namespace

// Takes the portal's signals to the sink on the sink's thread: the answer to the request in
// flight, and the session's end.
class CPortalSignals final : public QObject
{
    Q_OBJECT

public:
    bool answered = false;
    unsigned response = 0;
    QVariantMap results;
    bool closed = false;
    QStringList backends;   // watched
    QString backendGone;

public slots:
    void onResponse(uint code, const QVariantMap &values)
    {
        answered = true;
        response = code;
        results = values;
    }
    void onClosed() { closed = true; }
    void onOwnerChanged(const QString &name, const QString &, const QString &newOwner)
    {
        if (newOwner.isEmpty() && backends.contains(name))
            backendGone = name;
    }
};

bool CKeySinkPortal::IsOffered(const QString &busAddress)
{
    CBusConnection connection(QDBusConnection::SessionBus, busAddress);
    if (!connection.isConnected())
        return false;
    QDBusMessage get = QDBusMessage::createMethodCall(s(PORTAL_SERVICE), s(PORTAL_PATH),
                                                      QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get.setArguments({s(PORTAL_REMOTE_DESKTOP), QStringLiteral("AvailableDeviceTypes")});
    const QDBusMessage reply = connection.bus().call(get, QDBus::Block, PORTAL_CALL_TIMEOUT_MS);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return false;
    const unsigned types = reply.arguments().constFirst().value<QDBusVariant>().variant().toUInt();
    return (types & PORTAL_DEVICE_KEYBOARD) != 0;
}

std::shared_ptr<CKeySinkPortal> CKeySinkPortal::Open(const KeySinkSetup &setup)
{
    auto connection = std::make_unique<CBusConnection>(QDBusConnection::SessionBus, setup.sessionBusAddress);
    if (!connection->isConnected())
        return nullptr;
    std::shared_ptr<CKeySinkPortal> sink(new CKeySinkPortal(std::move(connection), setup));
    sink->start();
    return sink;
}

CKeySinkPortal::CKeySinkPortal(std::unique_ptr<CBusConnection> connection, KeySinkSetup setup)
    : m_connection(std::move(connection))
    , m_bus(m_connection->bus())
    , m_setup(std::move(setup))
    , m_closedWatch(std::make_unique<CPortalSignals>())
{
}

CKeySinkPortal::~CKeySinkPortal()
{
    for (const QString &name : static_cast<CPortalSignals *>(m_closedWatch.get())->backends)
        m_bus.disconnect(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                         QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameOwnerChanged"), {name}, QString(),
                         m_closedWatch.get(), SLOT(onOwnerChanged(QString, QString, QString)));
    if (!m_sessionPath.isEmpty()) {
        m_bus.disconnect(s(PORTAL_SERVICE), m_sessionPath, s(PORTAL_SESSION), QStringLiteral("Closed"),
                         m_closedWatch.get(), SLOT(onClosed()));
        if (!m_closedByDesktop) {
            // Ends the permission for this run; nothing waits for the answer.
            m_bus.send(QDBusMessage::createMethodCall(s(PORTAL_SERVICE), m_sessionPath, s(PORTAL_SESSION),
                                                      QStringLiteral("Close")));
        }
    }
}

QDBusMessage CKeySinkPortal::portalCall(const char *method) const
{
    return QDBusMessage::createMethodCall(s(PORTAL_SERVICE), s(PORTAL_PATH), s(PORTAL_REMOTE_DESKTOP), s(method));
}

void CKeySinkPortal::fail(const QString &why)
{
    if (m_failure.isEmpty())
        m_failure = why;
}

// A signal for the sink is delivered as an event posted to its watcher on this thread.
void CKeySinkPortal::takeSignals()
{
    QCoreApplication::sendPostedEvents(m_closedWatch.get());
    const auto *watch = static_cast<CPortalSignals *>(m_closedWatch.get());
    if (watch->closed) {
        m_closedByDesktop = true;
        fail(CLOSED_BY_DESKTOP);
    }
    if (!watch->backendGone.isEmpty())
        fail(QStringLiteral("the desktop's portal backend (%1) left the session bus: the compositor or the backend ended")
                 .arg(watch->backendGone));
}

void CKeySinkPortal::watchDesktop()
{
    auto *watch = static_cast<CPortalSignals *>(m_closedWatch.get());
    const QString desktops = qEnvironmentVariable("XDG_CURRENT_DESKTOP");
    for (const QString &desktop : desktops.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        const QString name = s(BACKEND_PREFIX) + desktop.toLower();
        QDBusMessage has = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                                          QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
        has.setArguments({name});
        const QDBusMessage reply = m_bus.call(has, QDBus::Block, PORTAL_CALL_TIMEOUT_MS);
        if (reply.type() != QDBusMessage::ReplyMessage || !reply.arguments().value(0).toBool())
            continue;   // not running (another desktop's name, or started on demand later)
        watch->backends << name;
        m_bus.connect(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameOwnerChanged"), {name}, QString(),
                      watch, SLOT(onOwnerChanged(QString, QString, QString)));
    }
    // WAYLAND_DISPLAY is a name in XDG_RUNTIME_DIR or a path of its own.
    const QString display = qEnvironmentVariable("WAYLAND_DISPLAY");
    const QString socket = display.startsWith(QLatin1Char('/'))
                               ? display
                               : qEnvironmentVariable("XDG_RUNTIME_DIR") + QLatin1Char('/') + display;
    if (!display.isEmpty() && socketAnswers(QFile::encodeName(socket)))
        m_compositorSocket = socket;
}

void CKeySinkPortal::checkCompositor()
{
    if (!m_compositorSocket.isEmpty() && m_failure.isEmpty() && !socketAnswers(QFile::encodeName(m_compositorSocket)))
        fail(QStringLiteral("the Wayland compositor is gone (nothing answers on %1)").arg(m_compositorSocket));
}

void CKeySinkPortal::Poll()
{
    if (!m_failure.isEmpty())
        return;
    takeSignals();
    checkCompositor();
}

bool CKeySinkPortal::request(QDBusMessage call, const QString &token, int limitMs, QVariantMap &results)
{
    // The portal names the request object after the caller and the token, and may answer
    // before its reply arrives: the answer is listened for first.
    const QString sender = m_bus.baseService().mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));
    QString requestPath = s(REQUEST_PATH_PREFIX) + sender + QLatin1Char('/') + token;
    CPortalSignals answer;
    const QString response = QStringLiteral("Response");
    m_bus.connect(s(PORTAL_SERVICE), requestPath, s(PORTAL_REQUEST), response, &answer,
                  SLOT(onResponse(uint, QVariantMap)));
    const QDBusMessage reply = m_bus.call(call, QDBus::Block, PORTAL_CALL_TIMEOUT_MS);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        m_bus.disconnect(s(PORTAL_SERVICE), requestPath, s(PORTAL_REQUEST), response, &answer,
                         SLOT(onResponse(uint, QVariantMap)));
        fail(QStringLiteral("the desktop portal did not answer (%1)").arg(reply.errorMessage()));
        return false;
    }
    const QString handle = reply.arguments().constFirst().value<QDBusObjectPath>().path();
    if (handle != requestPath && !handle.isEmpty()) {
        // An older portal chose its own path.
        m_bus.disconnect(s(PORTAL_SERVICE), requestPath, s(PORTAL_REQUEST), response, &answer,
                         SLOT(onResponse(uint, QVariantMap)));
        requestPath = handle;
        m_bus.connect(s(PORTAL_SERVICE), requestPath, s(PORTAL_REQUEST), response, &answer,
                      SLOT(onResponse(uint, QVariantMap)));
    }

    QEventLoop loop;
    QTimer tick;
    tick.start(STOP_CHECK_MS);
    const QDeadlineTimer deadline(limitMs);
    QCoreApplication::sendPostedEvents(&answer);
    while (!answer.answered && !deadline.hasExpired() && !(m_setup.stop && m_setup.stop->load()))
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    m_bus.disconnect(s(PORTAL_SERVICE), requestPath, s(PORTAL_REQUEST), response, &answer,
                     SLOT(onResponse(uint, QVariantMap)));
    if (!answer.answered) {
        fail(QStringLiteral("the desktop's permission dialog got no answer"));
        return false;
    }
    if (answer.response == RESPONSE_CANCELLED) {
        fail(QStringLiteral("the desktop refused the permission to type"));
        return false;
    }
    if (answer.response != RESPONSE_GRANTED) {
        fail(QStringLiteral("the desktop ended the request for the permission to type"));
        return false;
    }
    results = answer.results;
    return true;
}

QString CKeySinkPortal::nextToken()
{
    return QStringLiteral("rfid_lorix_%1_%2").arg(reinterpret_cast<quintptr>(this), 0, 16).arg(++m_tokensIssued);
}

bool CKeySinkPortal::start()
{
    QVariantMap results;
    QString token = nextToken();
    QDBusMessage create = portalCall("CreateSession");
    create.setArguments({QVariantMap{{HANDLE_TOKEN, token},
                                     {QStringLiteral("session_handle_token"), nextToken()}}});
    if (!request(create, token, PORTAL_CALL_TIMEOUT_MS, results))
        return false;
    m_sessionPath = results.value(QStringLiteral("session_handle")).toString();
    if (m_sessionPath.isEmpty()) {
        fail(QStringLiteral("the desktop portal made no remote-desktop session"));
        return false;
    }
    m_bus.connect(s(PORTAL_SERVICE), m_sessionPath, s(PORTAL_SESSION), QStringLiteral("Closed"), m_closedWatch.get(),
                  SLOT(onClosed()));

    token = nextToken();
    QVariantMap options{{HANDLE_TOKEN, token},
                        {QStringLiteral("types"), PORTAL_DEVICE_KEYBOARD},
                        {QStringLiteral("persist_mode"), PORTAL_PERSIST_UNTIL_REVOKED}};
    if (!m_setup.portalRestoreToken.isEmpty())
        options.insert(RESTORE_TOKEN, m_setup.portalRestoreToken);
    QDBusMessage select = portalCall("SelectDevices");
    select.setArguments({QVariant::fromValue(QDBusObjectPath(m_sessionPath)), options});
    if (!request(select, token, PORTAL_CALL_TIMEOUT_MS, results))
        return false;

    token = nextToken();
    QDBusMessage startCall = portalCall("Start");
    startCall.setArguments({QVariant::fromValue(QDBusObjectPath(m_sessionPath)), QString(),
                            QVariantMap{{HANDLE_TOKEN, token}}});
    if (!request(startCall, token, PORTAL_CONSENT_LIMIT_MS, results))
        return false;
    if ((results.value(QStringLiteral("devices")).toUInt() & PORTAL_DEVICE_KEYBOARD) == 0) {
        fail(QStringLiteral("the desktop allowed no keyboard"));
        return false;
    }
    const QString restoreToken = results.value(RESTORE_TOKEN).toString();
    if (!restoreToken.isEmpty() && restoreToken != m_setup.portalRestoreToken && m_setup.portalTokenChanged)
        m_setup.portalTokenChanged(restoreToken);
    watchDesktop();
    takeSignals();
    return m_failure.isEmpty();
}

void CKeySinkPortal::SendKey(std::uint8_t virtualKey, std::uint8_t, KeyDirection direction)
{
    const unsigned long keysym = KeysymForVirtualKey(virtualKey);
    if (keysym != 0)
        m_pending.push_back({int(keysym), direction == KeyDirection::Press});
}

void CKeySinkPortal::SendCharacter(char32_t character)
{
    const int keysym = character <= LAST_LATIN1 ? int(character) : UNICODE_KEYSYM_OFFSET + int(character);
    m_pending.push_back({keysym, true});
    m_pending.push_back({keysym, false});
}

void CKeySinkPortal::Flush()
{
    std::vector<PendingKey> keys;
    keys.swap(m_pending);
    takeSignals();
    if (!m_failure.isEmpty() || keys.empty())
        return;
    const QVariant session = QVariant::fromValue(QDBusObjectPath(m_sessionPath));
    // One call in flight at a time: the portal keeps the order of calls only when each is
    // sent after the reply to the one before.
    for (const PendingKey &key : keys) {
        QDBusMessage call = portalCall("NotifyKeyboardKeysym");
        call.setArguments({session, QVariantMap(), key.keysym, unsigned(key.press ? 1 : 0)});
        const QDBusMessage reply = m_bus.call(call, QDBus::Block, PORTAL_CALL_TIMEOUT_MS);
        if (reply.type() != QDBusMessage::ReplyMessage) {
            takeSignals();   // the session's end explains the error best
            QString why = reply.errorMessage();
            if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply") && !why.contains(QLatin1String("disconnected")))
                why = QStringLiteral("no answer within %1 s").arg(PORTAL_CALL_TIMEOUT_MS / 1000);
            fail(QStringLiteral("the desktop portal did not take a key (%1)").arg(why));
            return;
        }
        takeSignals();
        if (!m_failure.isEmpty())
            return;
    }
    checkCompositor();
}

#include "KeySinkPortal.moc"

#include "wedge/KeySinkPortal.h"

#include "platform/BusConnection.h"
#include "wedge/KeySinkX11.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include <functional>

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

const QString CLOSED_BY_DESKTOP = QStringLiteral("the desktop ended the remote-desktop session");

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

public slots:
    void onResponse(uint code, const QVariantMap &values)
    {
        answered = true;
        response = code;
        results = values;
    }
    void onClosed() { closed = true; }
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
    if (static_cast<CPortalSignals *>(m_closedWatch.get())->closed) {
        m_closedByDesktop = true;
        fail(CLOSED_BY_DESKTOP);
    }
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
    takeSignals();
    return m_failure.isEmpty();
}

void CKeySinkPortal::SendKey(std::uint8_t virtualKey, std::uint8_t, KeyDirection direction)
{
    const unsigned long keysym = KeysymForVirtualKey(virtualKey);
    if (keysym != 0)
        m_pending.push_back({int(keysym), direction == KeyDirection::Press});
}

void CKeySinkPortal::Flush()
{
    std::vector<PendingKey> keys;
    keys.swap(m_pending);
    takeSignals();
    if (!m_failure.isEmpty() || keys.empty())
        return;
    const QVariant session = QVariant::fromValue(QDBusObjectPath(m_sessionPath));
    auto keyCall = [&](const PendingKey &key) {
        QDBusMessage call = portalCall("NotifyKeyboardKeysym");
        call.setArguments({session, QVariantMap(), key.keysym, unsigned(key.press ? 1 : 0)});
        return call;
    };
    // The portal answers in order: the last reply comes after all the others.
    for (std::size_t i = 0; i + 1 < keys.size(); ++i)
        m_bus.send(keyCall(keys[i]));
    const QDBusMessage last = m_bus.call(keyCall(keys.back()), QDBus::Block, PORTAL_CALL_TIMEOUT_MS);
    takeSignals();
    if (last.type() != QDBusMessage::ReplyMessage)
        fail(QStringLiteral("the desktop portal did not take the keys (%1)").arg(last.errorMessage()));
}

#include "KeySinkPortal.moc"

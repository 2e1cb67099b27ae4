#pragma once

#include "wedge/KeySink.h"

#include <QDBusConnection>
#include <QString>

#include <memory>
#include <vector>

class CBusConnection;
class QDBusMessage;

// The desktop portal's remote-desktop interface, as the key sink speaks it.
inline constexpr char PORTAL_SERVICE[] = "org.freedesktop.portal.Desktop";
inline constexpr char PORTAL_PATH[] = "/org/freedesktop/portal/desktop";
inline constexpr char PORTAL_REMOTE_DESKTOP[] = "org.freedesktop.portal.RemoteDesktop";
inline constexpr char PORTAL_REQUEST[] = "org.freedesktop.portal.Request";
inline constexpr char PORTAL_SESSION[] = "org.freedesktop.portal.Session";
// The device type bit of the keyboard, and "keep the permission until it is revoked".
inline constexpr unsigned PORTAL_DEVICE_KEYBOARD = 1;
inline constexpr unsigned PORTAL_PERSIST_UNTIL_REVOKED = 2;
// Each call waits at most this long for its reply; the operator's answer to the portal's
// own permission dialog at most PORTAL_CONSENT_LIMIT_MS.
inline constexpr int PORTAL_CALL_TIMEOUT_MS = 5000;
inline constexpr int PORTAL_CONSENT_LIMIT_MS = 180000;

// Key sink for Wayland sessions: keysyms sent through the desktop portal's remote desktop
// (org.freedesktop.portal.RemoteDesktop over the session bus), which the compositor types
// into whatever has the focus, native Wayland applications included. Each virtual key
// becomes the same keysym as in the XTest sink (KeysymForVirtualKey); Shift is a key of
// its own, pressed and released around the shifted key, exactly as there.
//
// Open creates a session, selects the keyboard and starts it: the desktop then asks the
// operator, unless a restore token it handed out before is given; a new token goes to the
// setup's callback. The keys of an item are held until Flush and then sent back to back
// without waiting for each reply; Flush waits for the reply to the last one, so an item is
// delivered (or known lost) when it returns. A refusal, no answer, the session closed by
// the desktop, or a call that fails make Failure() say so; from then on nothing is sent.
//
// Threads: made and used on one thread that is not the window's (the key emulator's typing
// thread): its calls wait for the bus, at most PORTAL_CALL_TIMEOUT_MS each, and Open waits
// for the operator. The portal's signals are taken on that same thread while it waits.
class CKeySinkPortal final : public IKeySink
{
public:
    // Whether the bus (empty: the session bus) has a portal offering remote-desktop keyboards.
    static bool IsOffered(const QString &busAddress);
    // A started session; the sink is returned even when the desktop refused (its Failure()
    // says why), nullptr only when the bus cannot be reached.
    static std::shared_ptr<CKeySinkPortal> Open(const KeySinkSetup &setup);
    ~CKeySinkPortal() override;
    CKeySinkPortal(const CKeySinkPortal &) = delete;
    CKeySinkPortal &operator=(const CKeySinkPortal &) = delete;

    void SendKey(std::uint8_t virtualKey, std::uint8_t scanCode, KeyDirection direction) override;
    void Flush() override;
    QString Failure() const override { return m_failure; }

private:
    CKeySinkPortal(std::unique_ptr<CBusConnection> connection, KeySinkSetup setup);
    bool start();
    // One request of the portal: the call, then its Response signal; the results, or
    // nothing with m_failure set.
    bool request(QDBusMessage call, const QString &token, int limitMs, QVariantMap &results);
    QDBusMessage portalCall(const char *method) const;
    void fail(const QString &why);
    void takeSignals();
    // A request's handle token: unique on the bus connection while the request stands, as
    // the portal's request path is made of it (the sink's address tells sinks that share
    // Qt's session connection apart).
    QString nextToken();

    std::unique_ptr<CBusConnection> m_connection;   // a private bus's is ended with the sink
    QDBusConnection &m_bus;                          // m_connection's
    KeySinkSetup m_setup;
    QString m_sessionPath;
    QString m_failure;
    bool m_closedByDesktop = false;
    std::unique_ptr<QObject> m_closedWatch;   // takes the session's Closed signal
    struct PendingKey
    {
        int keysym;
        bool press;
    };
    std::vector<PendingKey> m_pending;   // sent since the last Flush
    unsigned m_tokensIssued = 0;
};

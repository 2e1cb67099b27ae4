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
// into whatever has the focus, native Wayland applications included. It types characters:
// each one is sent as its own keysym (the code point up to U+00FF, 0x01000000 plus the code
// point beyond), never with a Shift of its own, so the compositor's keymap picks the key and
// the modifiers of the desktop's layout; Enter is Return. A character the keymap does not
// have is typed by no compositor here (mutter drops it, as KWin does).
//
// Open creates a session, selects the keyboard and starts it: the desktop then asks the
// operator (a version-1 portal, as Debian 12's, at every start), unless a restore token it
// handed out before is given; a new token goes to the setup's callback. The keys of an item
// are held until Flush and then sent one call at a time, each sent only after the reply to
// the one before: the portal hands each call to its backend on a thread of its own, so calls
// sent back to back reach the compositor out of order. Flush returns when the item is
// delivered or known lost. A refusal, no answer, the session closed by the desktop (its
// Closed signal), a call that fails or times out, the desktop's portal backend leaving the
// bus, or the Wayland compositor gone make Failure() say so; from then on nothing is sent.
//
// Threads: made and used on one thread that is not the window's (the key emulator's typing
// thread): its calls wait for the bus, at most PORTAL_CALL_TIMEOUT_MS each, and Open waits
// for the operator. The portal's signals are taken on that same thread while it waits, or
// types, or polls.
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
    bool TypesCharacters() const override { return true; }
    void SendCharacter(char32_t character) override;
    void Poll() override;

private:
    CKeySinkPortal(std::unique_ptr<CBusConnection> connection, KeySinkSetup setup);
    bool start();
    // One request of the portal: the call, then its Response signal; the results, or
    // nothing with m_failure set.
    bool request(QDBusMessage call, const QString &token, int limitMs, QVariantMap &results);
    QDBusMessage portalCall(const char *method) const;
    void fail(const QString &why);
    void takeSignals();
    // Watches the desktop's portal backends that serve this desktop (they end with its
    // compositor), and notes the compositor's socket while it answers.
    void watchDesktop();
    void checkCompositor();
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
    std::unique_ptr<QObject> m_closedWatch;   // takes the session's Closed signal and the backends' end
    QString m_compositorSocket;               // the Wayland socket; empty: not watched
    struct PendingKey
    {
        int keysym;
        bool press;
    };
    std::vector<PendingKey> m_pending;   // sent since the last Flush
    unsigned m_tokensIssued = 0;
};

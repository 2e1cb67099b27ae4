#pragma once

#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <type_traits>

// Where synthesised key strokes go. The keyboard wedge produces key events (virtual key,
// scan code, press or release) and hands each one to a sink; only the sinks talk to the
// operating system. A sink is used by one thread at a time: the key emulator's typing
// thread, or the one caller its owner hands it to.

// The flag values of the designed key event: 0 for a press, 2 for a release.
enum class KeyDirection : std::uint8_t { Press = 0, Release = 2 };

class IKeySink
{
public:
    virtual ~IKeySink() = default;

    // Types one key event into whatever has the keyboard focus. Never fails visibly: a key
    // the backend cannot type, or a backend that lost its device, sends nothing.
    virtual void SendKey(std::uint8_t virtualKey, std::uint8_t scanCode, KeyDirection direction) = 0;
    // The end of an item: every event sent so far is delivered before this returns. A sink
    // may hold events back until then (one write per item instead of one per event).
    virtual void Flush() {}
    // Empty while the sink can type. Otherwise one sentence for the operator on why it no
    // longer can (the desktop refused or ended the permission to type): the keys of the item
    // flushed last, and of every later one, did not all arrive. It stays so for good.
    virtual QString Failure() const { return {}; }

    // Whether the sink types characters rather than keys of the United States layout. Such a
    // sink is handed each character whole (SendCharacter) and lets the desktop's own keyboard
    // layout find the key and its modifiers, so no Shift of its own is sent; Enter (and any
    // key that is no character) still comes as SendKey.
    virtual bool TypesCharacters() const { return false; }
    // A press and release of one character (a Unicode code point) for a sink that types
    // characters; others ignore it.
    virtual void SendCharacter(char32_t character) { (void)character; }
    // Called by the typing thread while it has nothing to type, a few times a second: the
    // sink takes what its desktop said meanwhile, so that a permission ended while no tag
    // came shows in Failure() at once rather than at the next tag.
    virtual void Poll() {}
};

// Types nothing: a test's sink, or the sink of a machine where nothing can type (no desktop
// portal, no X display, no usable /dev/uinput), which says so as its failure.
class CNullKeySink final : public IKeySink
{
public:
    explicit CNullKeySink(QString failure = QString()) : m_failure(std::move(failure)) {}
    void SendKey(std::uint8_t virtualKey, std::uint8_t scanCode, KeyDirection direction) override;
    QString Failure() const override { return m_failure; }

private:
    QString m_failure;
};

enum class KeySinkKind { Null, X11, Uinput, Portal };

// What the choice of a sink looks at: the kind of desktop session and which sinks the
// machine offers now.
struct KeySinkAvailability
{
    bool waylandSession = false;   // XDG_SESSION_TYPE is "wayland", or WAYLAND_DISPLAY is set
    bool xDisplay = false;         // DISPLAY is set (an X server, or XWayland in a Wayland session)
    bool portal = false;           // the desktop portal offers remote-desktop keyboards
    bool uinput = false;           // /dev/uinput can be opened for writing
};

// A sink as chosen, with the kind and one line for the log on why (empty: nothing to say,
// as for a sink a test hands over).
struct KeySinkChoice
{
    KeySinkChoice() = default;
    KeySinkChoice(std::nullptr_t) {}
    template <class Sink>
    KeySinkChoice(std::shared_ptr<Sink> chosen) : sink(std::move(chosen)) {}

    std::shared_ptr<IKeySink> sink;
    KeySinkKind kind = KeySinkKind::Null;
    QString why;
};

// The order of preference: in a Wayland session the portal (it reaches native Wayland
// applications), then uinput (reaches everything, but needs the device's permission), then
// XTest (reaches XWayland applications only); elsewhere XTest, then uinput. `sink` stays empty.
KeySinkChoice ChooseKeySink(const KeySinkAvailability &available);
// Whether the environment's values (null for unset) name a Wayland session.
bool IsWaylandSession(const char *xdgSessionType, const char *waylandDisplay);

// What making a sink may need beyond the environment.
struct KeySinkSetup
{
    // The portal's restore token from the settings (empty: ask the operator), and where a
    // new one goes to be stored; called on the thread that makes or uses the sink.
    QString portalRestoreToken;
    std::function<void(const QString &)> portalTokenChanged;
    // The session bus's address; empty: the session's own bus.
    QString sessionBusAddress;
    // Set by the sink's owner when it goes: a wait for the operator's answer ends early.
    std::shared_ptr<const std::atomic<bool>> stop;
};

// The sink for this session by ChooseKeySink, made on the calling thread (the portal's
// permission is asked there and waited for; never call it on the window's thread). The
// X display is opened on the first key, so choosing does not wait for it. Where nothing can
// type, the sink is a null sink whose Failure() says why (and `why` is empty).
KeySinkChoice OpenSessionKeySink(const KeySinkSetup &setup);
// The same without a portal session of its own to restore; `kind` (optional) tells which.
std::shared_ptr<IKeySink> CreateKeySink(KeySinkKind *kind = nullptr);

// Makes a sink on the thread that is to type into it: either a callable given the setup
// (OpenSessionKeySink), or one that needs none (a fixed sink of a test, a lambda returning
// a shared_ptr). Empty: no sink of its own.
class CKeySinkFactory
{
public:
    CKeySinkFactory() = default;
    CKeySinkFactory(std::nullptr_t) {}
    template <class Make, std::enable_if_t<std::is_invocable_v<Make, const KeySinkSetup &>, int> = 0>
    CKeySinkFactory(Make make) : m_make(std::move(make)) {}
    template <class Make, std::enable_if_t<!std::is_invocable_v<Make, const KeySinkSetup &>
                                               && std::is_invocable_v<Make>, int> = 0>
    CKeySinkFactory(Make make)
        : m_make([make = std::move(make)](const KeySinkSetup &) { return KeySinkChoice(make()); })
    {
    }

    explicit operator bool() const { return bool(m_make); }
    KeySinkChoice operator()(const KeySinkSetup &setup) const { return m_make(setup); }

private:
    std::function<KeySinkChoice(const KeySinkSetup &)> m_make;
};

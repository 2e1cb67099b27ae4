#pragma once

#include <cstdint>
#include <memory>

// Where synthesised key strokes go. The keyboard wedge produces key events (virtual key,
// scan code, press or release) and hands each one to a sink; only the sinks talk to the
// operating system. A sink is used by one thread at a time: the wedge's typing thread, or
// whoever holds the wedge's lock.

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
};

// Types nothing: the sink of a machine with neither an X display nor a usable /dev/uinput.
class CNullKeySink final : public IKeySink
{
public:
    void SendKey(std::uint8_t virtualKey, std::uint8_t scanCode, KeyDirection direction) override;
};

enum class KeySinkKind { Null, X11, Uinput };

// The sink for this session, chosen once at start: XTest when $DISPLAY names an X display
// (the display itself is opened on the first key, so start-up does not wait for it), else
// uinput when /dev/uinput can be opened, else the null sink. `kind` (optional) tells which.
std::shared_ptr<IKeySink> CreateKeySink(KeySinkKind *kind = nullptr);

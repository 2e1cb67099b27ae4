#pragma once

#include "wedge/KeySink.h"

#include <chrono>
#include <string>
#include <vector>

struct _XDisplay;

// Key sink for X11 through the XTest extension. Each virtual key becomes the keysym of that
// key on the United States layout, and the keycode comes from the server's current keymap.
// Events are held until Flush (the end of an item) and then sent in one write: one write
// and one signal-mask change per item instead of per event, which more than doubles the
// keys per second the server takes.
//
// The display is opened on the first key, not at construction. A display that cannot be
// opened, lacks XTest, or goes away later (server ended, connection broken) makes keys
// send nothing; the sink tries to connect again at most once per reconnect interval.
// Not thread-safe: one thread at a time (the wedge's lock holder).
class CKeySinkX11 final : public IKeySink
{
public:
    explicit CKeySinkX11(std::string displayName);
    ~CKeySinkX11() override;
    CKeySinkX11(const CKeySinkX11 &) = delete;
    CKeySinkX11 &operator=(const CKeySinkX11 &) = delete;

    void SendKey(std::uint8_t virtualKey, std::uint8_t scanCode, KeyDirection direction) override;
    void Flush() override;

    // True while a usable connection is open (false before the first key).
    bool IsConnected() const;

private:
    bool ensureConnection();
    void closeConnection();
    void drainEvents();
    static void onConnectionLost(_XDisplay *display, void *self);

    struct PendingKey
    {
        unsigned long keysym;
        bool press;
    };
    std::vector<PendingKey> m_pending;   // sent since the last Flush
    std::string m_displayName;
    _XDisplay *m_display = nullptr;
    bool m_lost = false;
    std::chrono::steady_clock::time_point m_nextAttempt{};
};

// The X keysym of a virtual key on the United States layout (letters as their lower-case
// keysym, Shift as the left Shift, Enter as Return, Han/Yeong as Hangul); 0 for none.
unsigned long KeysymForVirtualKey(std::uint8_t virtualKey);

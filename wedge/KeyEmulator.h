#pragma once

#include "wedge/KeySink.h"
#include "protocol/TagTyper.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// The key emulator: types data the reader reports into whatever application has the
// keyboard focus, as key strokes of the United States layout, and ends every item with
// Enter. It only produces key events; a key sink (wedge/KeySink.h) delivers them. A sink
// that types characters (the desktop portal's) is handed the characters themselves in place
// of their United States keys and Shift, so that the desktop's own layout types them.
//
// Threads: the tool types through a CKeyEmulator, the protocol's tag typer, whose own thread
// calls TypeTagText and TypeScanText one item at a time; the window's thread only queues.
// The free functions below type synchronously on the caller's thread into the sink they are
// given; a sink is used by one thread at a time, so whoever shares one between threads keeps
// the typing of one item from interleaving with another's (CKeyEmulator types from its own
// thread alone, so it needs no lock for that).
//
// The emulator does not look at Caps Lock or the input-method state, and sends its events
// back to back with no pause. A tag line of n bytes costs at most 4n + 2 events.

// What TypeTagText may ask its caller: whether "ASCII Mode (otherwise Hex)" is ticked.
// (CKeyEmulator keeps that mode itself.)
struct IAsciiModeSource
{
    virtual ~IAsciiModeSource() = default;
    virtual bool IsAsciiModeChecked() const = 0;
};

// Size of the decode buffer of ASCII mode: a tag line holds at most 1,600 bytes, so its
// hexadecimal pairs decode to fewer than that.
inline constexpr std::size_t DECODE_BUFFER_SIZE = 1600;

// Types a tag read into `sink`: `count` bytes of 8-bit text (the caller's count includes the
// line's terminating zero byte), or, in ASCII mode, the bytes its hexadecimal pairs decode
// to; then Enter, and the sink is flushed (the item is complete). Printable characters "!".."~" are typed by the
// character-to-key table; every other byte (space, control bytes, the zero byte, 0x7F and
// above) sends a press and release of virtual key 0, which types nothing (a sink of
// characters is sent nothing for it). Every event carries the United States scan code of its
// virtual key. A null `text` or a count of 0 or
// less types only Enter. The second form asks `window` for the mode; null means hexadecimal.
void TypeTagText(IKeySink &sink, const char *text, int count, bool asciiMode);
void TypeTagText(IKeySink &sink, const char *text, int count, const IAsciiModeSource *window);

// Types a line received in continuous scan mode, zero-terminated UTF-16, into `sink`: Hangul
// syllables through the Han/Yeong toggle and their letters on the Korean two-set layout (a
// sink of characters gets the syllable itself), the space as a space, "!".."~" by the table, anything else not at all; then one Enter, and the
// sink is flushed. Character keys and Shift carry scan code 0; Han/Yeong and Enter carry
// their mapped scan codes.
void TypeScanText(IKeySink &sink, const char16_t *line);
void TypeScanText(IKeySink &sink, const QString &line);

// Decodes hexadecimal pairs of `text` (read up to its zero byte, or `textLimit` bytes when
// there is none before) into `out`, at most `outSize` bytes. A pair is one or two hex
// digits, either case; an odd last character is read alone. A pair that does not begin
// with a hex digit decodes to 0. Decoding stops after a stored 0. Returns the number of
// bytes stored, the stored 0 included.
std::size_t DecodeHexPairs(const char *text, std::size_t textLimit, unsigned char *out, std::size_t outSize);

// Types each character of a zero-terminated UTF-16 string into `sink` by the
// character-to-key table, with scan code 0 and without a final Enter (the sink is flushed);
// characters outside it send nothing.
void TypeWideKeys(IKeySink &sink, const char16_t *keys);

// Longest key string of one syllable (two letters each for initial, medial and final but
// never more than five in all), with room for the terminating zero.
inline constexpr std::size_t HANGUL_KEYS_SIZE = 10;
using HangulKeys = std::array<char16_t, HANGUL_KEYS_SIZE>;

// The letters of a Hangul syllable (U+AC00..U+D7A3) on the Korean standard two-set layout,
// upper case for a shifted key, zero-terminated. Empty for any other character.
HangulKeys HangulToKeys(char16_t syllable);

// The tool's key emulator and the protocol's tag typer: a thread of its own that owns the
// key sink and types queued items (tag reads and scan lines) in arrival order, one whole item
// at a time. It keeps the modes the items are typed with ("Key Emulator
// Mode" on or off, ASCII or hexadecimal); its owner sets them as the check boxes change.
//
// Threads: the ITagTyper calls, the mode setters, SetSinkSetup, Queue*, DropQueued,
// SetTypingBlocked, Take* and WaitUntilIdle are called by the owner (the window's thread) and
// never wait for typing, except WaitUntilIdle and the destructor. The modes are the owner's
// thread's alone (each item carries its ASCII mode to the typing thread). The typing thread
// makes the sink and is its only user: a sink that waits (for the bus, for the operator's
// permission) waits there. The notifier runs on the typing thread: it may only post to the
// owner's thread. The destructor's stop flag cuts a wait for the operator short.
class CKeyEmulator final : public ITagTyper
{
public:
    // One item to type, with the mode in force when it was received.
    struct Item
    {
        enum class Kind { Tag, Scan };
        Kind kind = Kind::Tag;
        QString line;          // the line as received (for the log when it is not typed)
        QByteArray tagBytes;   // Tag: the line's 8-bit form, without a terminating zero
        bool asciiMode = false;
    };
    using Items = std::vector<Item>;
    using SinkFactory = CKeySinkFactory;

    // What the typing thread tells its owner about the sink: the one it chose and why (no
    // items), or that it can no longer type (`failed`, with the items it did not type: the
    // one in hand and all queued behind it, in order).
    struct SinkReport
    {
        QString note;
        Items untyped;
        bool failed = false;
    };

    // `makeSink` runs on the typing thread: when typing is switched on, and before the first
    // item if typing was never switched on; the previous sink goes first. Without one the
    // emulator types into a null sink: items are taken in order and nothing reaches a desktop.
    explicit CKeyEmulator(SinkFactory makeSink = SinkFactory());
    // Drops what is queued, lets the item being typed finish, and joins the thread.
    ~CKeyEmulator() override;
    CKeyEmulator(const CKeyEmulator &) = delete;
    CKeyEmulator &operator=(const CKeyEmulator &) = delete;

    // ITagTyper: typing is on while "Key Emulator Mode" is; a tag is queued with the ASCII
    // mode in force now, a scan line as it is.
    bool IsTypingOn() const override { return m_typingOn; }
    void TypeTag(const QString &line, const QByteArray &tagBytes) override { QueueTag(line, tagBytes, m_asciiMode); }
    void TypeScan(const QString &line) override { QueueScan(line); }

    // The modes (both off at first): "Key Emulator Mode" and "ASCII Mode (otherwise Hex)".
    // Switching typing off does not touch what is queued: DropQueued takes it.
    // Switching it on makes the sink anew (a sink that failed is replaced, a portal asks again).
    void SetTypingOn(bool on);
    // What the next sink is made with (the setup's stop flag is the emulator's own).
    void SetSinkSetup(const KeySinkSetup &setup);
    void SetAsciiMode(bool ascii) { m_asciiMode = ascii; }
    bool AsciiMode() const { return m_asciiMode; }

    void QueueTag(const QString &line, const QByteArray &tagBytes, bool asciiMode);
    void QueueScan(const QString &line);
    // Drops every item not yet begun (the one being typed is finished); returns them in order.
    Items DropQueued();

    // While blocked (the keyboard focus is in the tool itself), the typing thread types
    // nothing: at its next item boundary it sets everything queued aside and calls the
    // notifier; the owner takes those items with TakeSetAside.
    void SetTypingBlocked(bool blocked) { m_blocked.store(blocked); }
    // The notifier is also called when the typing thread has sink reports for TakeSinkReports.
    void SetSetAsideNotifier(std::function<void()> notifier);
    Items TakeSetAside();
    std::vector<SinkReport> TakeSinkReports();

    // Waits until nothing is queued or being typed (tests, benchmarks); false on timeout.
    bool WaitUntilIdle(int timeoutMs);

private:
    void run();
    void report(std::unique_lock<std::mutex> &lock, SinkReport sinkReport);

    SinkFactory m_makeSink;
    bool m_typingOn = false;            // the owner's thread only, as is m_asciiMode
    bool m_asciiMode = false;
    std::mutex m_mutex;                 // guards everything below but m_blocked
    std::condition_variable m_wake;     // an item queued, or stop
    std::condition_variable m_idle;     // the thread went idle
    std::deque<Item> m_queue;
    Items m_setAside;
    std::vector<SinkReport> m_reports;
    KeySinkSetup m_sinkSetup;
    bool m_renewSink = false;           // typing was switched on: make the sink anew
    std::function<void()> m_notifier;
    bool m_typing = false;
    bool m_stop = false;
    std::atomic<bool> m_blocked{false};
    std::atomic<bool> m_pollSink{false};   // typing is on: the idle thread polls the sink
    const std::shared_ptr<std::atomic<bool>> m_stopping = std::make_shared<std::atomic<bool>>(false);
    std::thread m_thread;               // last: starts after everything it uses
};

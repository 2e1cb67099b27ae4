#pragma once

#include "platform/KeySink.h"

#include <array>
#include <cstddef>
#include <memory>
#include <mutex>

class QString;

// The key emulator: types data the reader reports into whatever application has the
// keyboard focus, as key strokes of the United States layout, and ends every item with
// Enter. It only produces key events; the installed key sink (platform/) delivers them.
//
// Threads: the receive handler of the main window calls TypeTagText and TypeScanText on the
// user-interface thread while it holds wedgeLock, so that the typing of one line is never
// interleaved with another:
//
//     std::lock_guard<std::mutex> guard(wedge::wedgeLock);
//     wedge::TypeTagText(tagBytes, byteCount, this);   // or wedge::TypeScanText(line)
//
// The emulator does not look at the focus, Caps Lock or the input-method state, and sends
// its events back to back with no pause. A tag line of n bytes costs at most 4n + 2 events.

namespace wedge {

// The process-wide lock around one hand-over of a line to the emulator.
extern std::mutex wedgeLock;

// What TypeTagText needs of the main window: whether "ASCII Mode (otherwise Hex)" is ticked.
struct IAsciiModeSource
{
    virtual ~IAsciiModeSource() = default;
    virtual bool IsAsciiModeChecked() const = 0;
};

// The sink every emulator call types into. Until one is installed the emulator types into
// a null sink. The tool installs platform::CreateKeySink() at start; tests install a
// recorder. Safe to call from any thread; a call in progress keeps the sink it started with.
void SetKeySink(std::shared_ptr<platform::IKeySink> sink);
std::shared_ptr<platform::IKeySink> GetKeySink();

// Size of the decode buffer of ASCII mode: a tag line holds at most 1,600 bytes, so its
// hexadecimal pairs decode to fewer than that.
inline constexpr std::size_t kDecodeBufferSize = 1600;

// Types a tag read: `count` bytes of 8-bit text (the caller's count includes the line's
// terminating zero byte), or, when `window` says ASCII mode is on, the bytes its
// hexadecimal pairs decode to; then Enter. Printable characters "!".."~" are typed by the
// character-to-key table; every other byte (space, control bytes, the zero byte, 0x7F and
// above) sends a press and release of virtual key 0, which types nothing. Every event
// carries the United States scan code of its virtual key. A null `text` or a count of 0 or
// less types only Enter; a null `window` means hexadecimal mode.
void TypeTagText(const char *text, int count, const IAsciiModeSource *window);

// Types a line received in continuous scan mode, zero-terminated UTF-16: Hangul syllables
// through the Han/Yeong toggle and their letters on the Korean two-set layout, the space as
// a space, "!".."~" by the table, anything else not at all; then one Enter. Character keys
// and Shift carry scan code 0; Han/Yeong and Enter carry their mapped scan codes.
void TypeScanText(const char16_t *line);
void TypeScanText(const QString &line);

// Decodes hexadecimal pairs of `text` (read up to its zero byte, or `textLimit` bytes when
// there is none before) into `out`, at most `outSize` bytes. A pair is one or two hex
// digits, either case; an odd last character is read alone. A pair that does not begin
// with a hex digit decodes to 0. Decoding stops after a stored 0. Returns the number of
// bytes stored, the stored 0 included.
std::size_t DecodeHexPairs(const char *text, std::size_t textLimit, unsigned char *out, std::size_t outSize);

// Types each character of a zero-terminated UTF-16 string by the character-to-key table,
// with scan code 0 and without a final Enter; characters outside it send nothing.
void TypeWideKeys(const char16_t *keys);

// Longest key string of one syllable (two letters each for initial, medial and final but
// never more than five in all), with room for the terminating zero.
inline constexpr std::size_t kHangulKeysSize = 10;
using HangulKeys = std::array<char16_t, kHangulKeysSize>;

// The letters of a Hangul syllable (U+AC00..U+D7A3) on the Korean standard two-set layout,
// upper case for a shifted key, zero-terminated. Empty for any other character.
HangulKeys HangulToKeys(char16_t syllable);

} // namespace wedge

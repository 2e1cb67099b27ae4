#include "wedge/KeyEmulator.h"

#include "wedge/VirtualKeys.h"

#include <QString>

#include <chrono>
#include <iterator>
#include <utility>

namespace {

// How often the idle typing thread lets its sink look at the desktop (IKeySink::Poll).
constexpr std::chrono::milliseconds SINK_POLL_PERIOD{500};

// ---- the character-to-key table ------------------------------------------------------

// The shifted digit row: the character at position d is Shift with the digit d key.
constexpr char16_t SHIFTED_DIGITS[] = u")!@#$%^&*(";
// The punctuation keys: unshifted and shifted characters at the same position share the
// virtual key at that position.
constexpr char16_t PUNCTUATION[] = u"`-=\\[];',./";
constexpr char16_t SHIFTED_PUNCTUATION[] = u"~_+|{}:\"<>?";
constexpr std::uint8_t PUNCTUATION_KEYS[] = {
    VK_OEM_3, VK_OEM_MINUS, VK_OEM_PLUS,   VK_OEM_5,
    VK_OEM_4, VK_OEM_6,     VK_OEM_1,      VK_OEM_7,
    VK_OEM_COMMA, VK_OEM_PERIOD, VK_OEM_2,
};
static_assert(sizeof PUNCTUATION_KEYS == sizeof PUNCTUATION / sizeof PUNCTUATION[0] - 1);
static_assert(sizeof SHIFTED_PUNCTUATION == sizeof PUNCTUATION);

struct CharacterKey
{
    std::uint8_t virtualKey = VK_NONE;
    bool shift = false;
};

int positionIn(const char16_t *characters, char16_t c)
{
    for (int i = 0; characters[i] != 0; ++i) {
        if (characters[i] == c)
            return i;
    }
    return -1;
}

// The key of a printable ASCII character "!".."~"; false for every other character.
bool keyForCharacter(char16_t c, CharacterKey &key)
{
    if (c >= u'a' && c <= u'z') {
        key = {static_cast<std::uint8_t>(VK_A + (c - u'a')), false};
        return true;
    }
    if (c >= u'A' && c <= u'Z') {
        key = {static_cast<std::uint8_t>(VK_A + (c - u'A')), true};
        return true;
    }
    if (c >= u'0' && c <= u'9') {
        key = {static_cast<std::uint8_t>(VK_0 + (c - u'0')), false};
        return true;
    }
    if (c == 0)
        return false;
    if (int digit = positionIn(SHIFTED_DIGITS, c); digit >= 0) {
        key = {static_cast<std::uint8_t>(VK_0 + digit), true};
        return true;
    }
    if (int at = positionIn(PUNCTUATION, c); at >= 0) {
        key = {PUNCTUATION_KEYS[at], false};
        return true;
    }
    if (int at = positionIn(SHIFTED_PUNCTUATION, c); at >= 0) {
        key = {PUNCTUATION_KEYS[at], true};
        return true;
    }
    return false;
}

// ---- Hangul on the two-set layout -------------------------------------------------------

constexpr char16_t HANGUL_FIRST = 0xAC00;
constexpr char16_t HANGUL_LAST = 0xD7A3;
constexpr int MEDIAL_COUNT = 21;
constexpr int FINAL_COUNT = 28;   // including "no final"
constexpr int SYLLABLES_PER_INITIAL = MEDIAL_COUNT * FINAL_COUNT;   // 588

constexpr const char16_t *INITIAL_KEYS[19] = {
    u"r", u"R", u"s", u"e", u"E", u"f", u"a", u"q", u"Q", u"t",
    u"T", u"d", u"w", u"W", u"c", u"z", u"x", u"v", u"g",
};
constexpr const char16_t *MEDIAL_KEYS[MEDIAL_COUNT] = {
    u"k", u"o", u"i", u"O", u"j", u"p", u"u", u"P", u"h", u"hk", u"ho",
    u"hl", u"y", u"n", u"nj", u"np", u"nl", u"b", u"m", u"ml", u"l",
};
// Index 0 is "no final".
constexpr const char16_t *FINAL_KEYS[FINAL_COUNT] = {
    u"",   u"r",  u"R",  u"rt", u"s",  u"sw", u"sg", u"e",  u"f",  u"fr",
    u"fa", u"fq", u"ft", u"fx", u"fv", u"fg", u"a",  u"q",  u"qt", u"t",
    u"T",  u"d",  u"w",  u"c",  u"z",  u"x",  u"v",  u"g",
};

bool isHangulSyllable(char16_t c)
{
    return c >= HANGUL_FIRST && c <= HANGUL_LAST;
}

// ---- key events ---------------------------------------------------------------------------

// Which scan codes a path sends: the tag path sends the mapped code with every event, the
// scan path sends 0 for character keys and Shift and the mapped code for Han/Yeong and Enter.
enum class ScanCodes { Mapped, ZeroForCharacters };

class KeyTyper
{
public:
    KeyTyper(IKeySink &sink, ScanCodes scanCodes)
        : m_sink(sink), m_scanCodes(scanCodes), m_characters(sink.TypesCharacters())
    {
    }

    // A character the table (or Hangul, or the space) types: the character itself to a sink
    // that types characters, its United States key otherwise.
    void typeCharacter(char32_t character, const CharacterKey &key)
    {
        if (m_characters)
            m_sink.SendCharacter(character);
        else
            tapCharacter(key.virtualKey, key.shift);
    }

    // A byte no key types: a press and release of virtual key 0 where keys are typed (which
    // types nothing), nothing at all where characters are.
    void tapNothing()
    {
        if (!m_characters)
            tapCharacter(VK_NONE, false);
    }

    bool typesCharacters() const { return m_characters; }

    // A character key, with Shift held around it when asked.
    void tapCharacter(std::uint8_t virtualKey, bool shift)
    {
        const std::uint8_t shiftScan = characterScanCode(VK_SHIFT);
        const std::uint8_t keyScan = characterScanCode(virtualKey);
        if (shift)
            m_sink.SendKey(VK_SHIFT, shiftScan, KeyDirection::Press);
        m_sink.SendKey(virtualKey, keyScan, KeyDirection::Press);
        m_sink.SendKey(virtualKey, keyScan, KeyDirection::Release);
        if (shift)
            m_sink.SendKey(VK_SHIFT, shiftScan, KeyDirection::Release);
    }

    // Enter or Han/Yeong: always with the mapped scan code.
    void tapControl(std::uint8_t virtualKey)
    {
        const std::uint8_t scan = MapVirtualKeyToScanCode(virtualKey);
        m_sink.SendKey(virtualKey, scan, KeyDirection::Press);
        m_sink.SendKey(virtualKey, scan, KeyDirection::Release);
    }

private:
    std::uint8_t characterScanCode(std::uint8_t virtualKey) const
    {
        return m_scanCodes == ScanCodes::Mapped ? MapVirtualKeyToScanCode(virtualKey) : 0;
    }

    IKeySink &m_sink;
    ScanCodes m_scanCodes;
    bool m_characters;
};

void typeWideKeys(KeyTyper &typer, const char16_t *keys)
{
    for (; *keys != 0; ++keys) {
        CharacterKey key;
        if (*keys == u' ')
            typer.typeCharacter(*keys, {VK_SPACE, false});
        else if (keyForCharacter(*keys, key))
            typer.typeCharacter(*keys, key);
    }
}

int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::size_t DecodeHexPairs(const char *text, std::size_t textLimit, unsigned char *out, std::size_t outSize)
{
    if (!text || !out)
        return 0;
    std::size_t length = 0;
    while (length < textLimit && text[length] != 0)
        ++length;

    std::size_t stored = 0;
    for (std::size_t i = 0; i < length && stored < outSize; i += 2) {
        unsigned value = 0;
        const int high = hexDigitValue(text[i]);
        if (high >= 0) {
            value = static_cast<unsigned>(high);
            const int low = i + 1 < length ? hexDigitValue(text[i + 1]) : -1;
            if (low >= 0)
                value = value * 16 + static_cast<unsigned>(low);
        }
        out[stored++] = static_cast<unsigned char>(value);
        if (value == 0)
            break;
    }
    return stored;
}

void TypeTagText(IKeySink &sink, const char *text, int count, const IAsciiModeSource *window)
{
    TypeTagText(sink, text, count, window && window->IsAsciiModeChecked());
}

void TypeTagText(IKeySink &sink, const char *text, int count, bool asciiMode)
{
    KeyTyper typer(sink, ScanCodes::Mapped);

    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(text);
    std::size_t byteCount = text && count > 0 ? static_cast<std::size_t>(count) : 0;
    std::unique_ptr<unsigned char[]> decoded;
    if (asciiMode) {
        decoded.reset(new unsigned char[DECODE_BUFFER_SIZE]);
        byteCount = DecodeHexPairs(text, byteCount, decoded.get(), DECODE_BUFFER_SIZE);
        bytes = decoded.get();
    }

    for (std::size_t i = 0; i < byteCount; ++i) {
        CharacterKey key;
        if (keyForCharacter(bytes[i], key))
            typer.typeCharacter(bytes[i], key);
        else
            typer.tapNothing();
    }
    typer.tapControl(VK_RETURN);
    sink.Flush();
}

void TypeWideKeys(IKeySink &sink, const char16_t *keys)
{
    if (!keys)
        return;
    KeyTyper typer(sink, ScanCodes::ZeroForCharacters);
    typeWideKeys(typer, keys);
    sink.Flush();
}

HangulKeys HangulToKeys(char16_t syllable)
{
    HangulKeys keys{};
    if (!isHangulSyllable(syllable))
        return keys;
    const int s = syllable - HANGUL_FIRST;
    const int initial = s / SYLLABLES_PER_INITIAL;
    const int medial = (s % SYLLABLES_PER_INITIAL) / FINAL_COUNT;
    const int final = s % FINAL_COUNT;

    std::size_t at = 0;
    for (const char16_t *part : {INITIAL_KEYS[initial], MEDIAL_KEYS[medial], FINAL_KEYS[final]}) {
        for (; *part != 0 && at + 1 < keys.size(); ++part)
            keys[at++] = *part;
    }
    return keys;
}

void TypeScanText(IKeySink &sink, const char16_t *line)
{
    KeyTyper typer(sink, ScanCodes::ZeroForCharacters);
    for (; line && *line != 0; ++line) {
        if (isHangulSyllable(*line) && typer.typesCharacters()) {
            // The syllable itself: no input method has to compose it.
            typer.typeCharacter(*line, {});
        } else if (isHangulSyllable(*line)) {
            typer.tapControl(VK_HANGUL);
            typeWideKeys(typer, HangulToKeys(*line).data());
            typer.tapControl(VK_HANGUL);
        } else {
            const char16_t single[] = {*line, 0};
            typeWideKeys(typer, single);
        }
    }
    typer.tapControl(VK_RETURN);
    sink.Flush();
}

void TypeScanText(IKeySink &sink, const QString &line)
{
    TypeScanText(sink, reinterpret_cast<const char16_t *>(line.utf16()));
}

// ---- the typing thread ----------------------------------------------------------------------

CKeyEmulator::CKeyEmulator(SinkFactory makeSink)
    : m_makeSink(std::move(makeSink)), m_thread([this] { run(); })
{
}

CKeyEmulator::~CKeyEmulator()
{
    m_stopping->store(true);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_queue.clear();
    }
    m_wake.notify_all();
    m_thread.join();
}

void CKeyEmulator::SetTypingOn(bool on)
{
    if (on && !m_typingOn) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_renewSink = true;
        }
        m_wake.notify_one();
    }
    m_typingOn = on;
    m_pollSink.store(on);
}

void CKeyEmulator::SetSinkSetup(const KeySinkSetup &setup)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sinkSetup = setup;
}

void CKeyEmulator::QueueTag(const QString &line, const QByteArray &tagBytes, bool asciiMode)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back({Item::Kind::Tag, line, tagBytes, asciiMode});
    }
    m_wake.notify_one();
}

void CKeyEmulator::QueueScan(const QString &line)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back({Item::Kind::Scan, line, QByteArray(), false});
    }
    m_wake.notify_one();
}

CKeyEmulator::Items CKeyEmulator::DropQueued()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Items dropped(std::make_move_iterator(m_queue.begin()), std::make_move_iterator(m_queue.end()));
    m_queue.clear();
    return dropped;
}

void CKeyEmulator::SetSetAsideNotifier(std::function<void()> notifier)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_notifier = std::move(notifier);
}

CKeyEmulator::Items CKeyEmulator::TakeSetAside()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::exchange(m_setAside, Items());
}

std::vector<CKeyEmulator::SinkReport> CKeyEmulator::TakeSinkReports()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::exchange(m_reports, {});
}

bool CKeyEmulator::WaitUntilIdle(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_idle.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return m_queue.empty() && !m_typing; });
}

// Called with the lock held; a failed report takes everything queued with it.
void CKeyEmulator::report(std::unique_lock<std::mutex> &lock, SinkReport sinkReport)
{
    if (sinkReport.failed) {
        sinkReport.untyped.insert(sinkReport.untyped.end(), std::make_move_iterator(m_queue.begin()),
                                  std::make_move_iterator(m_queue.end()));
        m_queue.clear();
    }
    m_reports.push_back(std::move(sinkReport));
    const std::function<void()> notify = m_notifier;
    lock.unlock();
    if (notify)
        notify();
    lock.lock();
}

void CKeyEmulator::run()
{
    // Without a factory the null sink stays: items are taken and typed into nothing.
    std::shared_ptr<IKeySink> sink = std::make_shared<CNullKeySink>();
    bool sinkMade = false;
    bool failureReported = false;   // the sink's failure, once per sink
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_typing = false;
        m_idle.notify_all();
        const auto woken = [this] { return m_stop || !m_queue.empty() || m_renewSink; };
        if (!m_wake.wait_for(lock, SINK_POLL_PERIOD, woken)) {
            // Nothing to type: the sink looks at its desktop, so that a permission ended
            // meanwhile stops typing now rather than at the next tag.
            if (sinkMade && !failureReported && m_pollSink.load()) {
                lock.unlock();
                sink->Poll();
                const QString failure = sink->Failure();
                lock.lock();
                if (!failure.isEmpty()) {
                    failureReported = true;
                    report(lock, {failure, {}, true});
                }
            }
            continue;
        }
        if (m_stop)
            return;
        if (m_renewSink || (m_makeSink && !sinkMade)) {
            m_renewSink = false;
            if (!m_makeSink)
                continue;
            // Counts as typing for WaitUntilIdle: a portal may be asking the operator.
            m_typing = true;
            KeySinkSetup setup = m_sinkSetup;
            setup.stop = m_stopping;
            lock.unlock();
            sink.reset();
            KeySinkChoice choice = m_makeSink(setup);
            sink = choice.sink ? std::move(choice.sink) : std::make_shared<CNullKeySink>();
            sinkMade = true;
            failureReported = false;
            lock.lock();
            if (!choice.why.isEmpty())
                report(lock, {choice.why, {}, false});
            const QString failure = sink->Failure();
            if (!failure.isEmpty()) {
                failureReported = true;
                report(lock, {failure, {}, true});
            }
            continue;
        }
        // The item boundary: the only place where typing stops or is set aside, so that an
        // item is always typed whole.
        if (m_blocked.load()) {
            m_setAside.insert(m_setAside.end(), std::make_move_iterator(m_queue.begin()),
                              std::make_move_iterator(m_queue.end()));
            m_queue.clear();
            const std::function<void()> notify = m_notifier;
            lock.unlock();
            if (notify)
                notify();
            lock.lock();
            continue;
        }
        Item item = std::move(m_queue.front());
        m_queue.pop_front();
        m_typing = true;
        // A sink that failed types nothing more: the item goes back to the owner untyped.
        QString failure = sink->Failure();
        if (failure.isEmpty()) {
            // This thread is the sink's only user: the item is typed whole without a lock.
            lock.unlock();
            if (item.kind == Item::Kind::Scan)
                TypeScanText(*sink, item.line);
            else
                TypeTagText(*sink, item.tagBytes.constData(), int(item.tagBytes.size()) + 1, item.asciiMode);
            failure = sink->Failure();
            lock.lock();
        }
        if (!failure.isEmpty()) {
            failureReported = true;
            Items untyped;
            untyped.push_back(std::move(item));
            report(lock, {failure, std::move(untyped), true});
        }
    }
}

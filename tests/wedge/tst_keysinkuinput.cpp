// The uinput key sink: its scan-code to key-code mapping, and (where the machine has
// /dev/uinput) the events a real virtual keyboard delivers.

#include "wedge/KeySinkUinput.h"
#include "wedge/VirtualKeys.h"
#include "wedge/KeyEmulator.h"

#include <QtTest>

#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

class TestKeySinkUinput : public QObject
{
    Q_OBJECT

private slots:
    void scanCodeToKey_data();
    void scanCodeToKey();
    void keyEventToKey_data();
    void keyEventToKey();
    void virtualKeyboardDeliversKeys();
};

void TestKeySinkUinput::scanCodeToKey_data()
{
    QTest::addColumn<int>("scan");
    QTest::addColumn<int>("key");

    const struct { int scan; int key; const char *name; } rows[] = {
        {0x1E, KEY_A, "A"}, {0x30, KEY_B, "B"}, {0x2E, KEY_C, "C"}, {0x10, KEY_Q, "Q"}, {0x2C, KEY_Z, "Z"},
        {0x32, KEY_M, "M"}, {0x02, KEY_1, "1"}, {0x0A, KEY_9, "9"}, {0x0B, KEY_0, "0"},
        {0x1C, KEY_ENTER, "Enter"}, {0x2A, KEY_LEFTSHIFT, "Shift"}, {0x39, KEY_SPACE, "space"},
        {0x72, KEY_HANGEUL, "Han/Yeong"},
        {0x27, KEY_SEMICOLON, ";"}, {0x0D, KEY_EQUAL, "="}, {0x33, KEY_COMMA, ","}, {0x0C, KEY_MINUS, "-"},
        {0x34, KEY_DOT, "."}, {0x35, KEY_SLASH, "/"}, {0x29, KEY_GRAVE, "`"}, {0x1A, KEY_LEFTBRACE, "["},
        {0x2B, KEY_BACKSLASH, "\\"}, {0x1B, KEY_RIGHTBRACE, "]"}, {0x28, KEY_APOSTROPHE, "'"},
        // Codes of keys the wedge never types map to nothing.
        {0x00, 0, "zero"}, {0x01, 0, "Escape"}, {0x0E, 0, "Backspace"}, {0x1D, 0, "Ctrl"},
        {0x7A, 0, "0x7A"}, {0xFF, 0, "0xFF"},
    };
    for (const auto &row : rows)
        QTest::newRow(row.name) << row.scan << row.key;
}

void TestKeySinkUinput::scanCodeToKey()
{
    QFETCH(int, scan);
    QFETCH(int, key);
    QCOMPARE(LinuxKeyForScanCode(std::uint8_t(scan)), key);
}

// What each path's events type: the tag path carries scan codes, the scan path carries 0
// for character keys and Shift, which the sink resolves by the virtual key.
void TestKeySinkUinput::keyEventToKey_data()
{
    QTest::addColumn<int>("virtualKey");
    QTest::addColumn<int>("scan");
    QTest::addColumn<int>("key");

    QTest::newRow("tag A") << 0x41 << 0x1E << KEY_A;
    QTest::newRow("scan A") << 0x41 << 0 << KEY_A;
    QTest::newRow("scan Shift") << 0x10 << 0 << KEY_LEFTSHIFT;
    QTest::newRow("scan +") << 0xBB << 0 << KEY_EQUAL;
    QTest::newRow("scan ?") << 0xBF << 0 << KEY_SLASH;
    QTest::newRow("scan space") << 0x20 << 0 << KEY_SPACE;
    QTest::newRow("scan 0") << 0x30 << 0 << KEY_0;
    QTest::newRow("Han/Yeong") << 0x15 << 0x72 << KEY_HANGEUL;
    QTest::newRow("Enter") << 0x0D << 0x1C << KEY_ENTER;
    QTest::newRow("virtual key 0") << 0x00 << 0 << 0;
    QTest::newRow("unknown virtual key") << 0x70 << 0 << 0;
    QTest::newRow("scan code wins") << 0x41 << 0x30 << KEY_B;
}

void TestKeySinkUinput::keyEventToKey()
{
    QFETCH(int, virtualKey);
    QFETCH(int, scan);
    QFETCH(int, key);
    QCOMPARE(LinuxKeyForKeyEvent(std::uint8_t(virtualKey), std::uint8_t(scan)), key);
}

namespace {

// The /dev/input/event* node of the sink's virtual keyboard, opened for reading; -1 if it
// does not show up.
int openVirtualKeyboard()
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (DIR *dir = ::opendir("/dev/input")) {
            while (dirent *entry = ::readdir(dir)) {
                if (std::strncmp(entry->d_name, "event", 5) != 0)
                    continue;
                const std::string path = std::string("/dev/input/") + entry->d_name;
                const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
                if (fd < 0)
                    continue;
                char name[256] = {};
                if (::ioctl(fd, EVIOCGNAME(sizeof name - 1), name) >= 0
                    && std::strcmp(name, UINPUT_DEVICE_NAME) == 0) {
                    ::closedir(dir);
                    return fd;
                }
                ::close(fd);
            }
            ::closedir(dir);
        }
        QTest::qWait(100);
    }
    return -1;
}

} // namespace

void TestKeySinkUinput::virtualKeyboardDeliversKeys()
{
    if (::access(UINPUT_PATH, W_OK) != 0)
        QSKIP("/dev/uinput is absent or not writable on this machine");
    const std::shared_ptr<CKeySinkUinput> sink = CKeySinkUinput::Open();
    QVERIFY2(sink, "/dev/uinput is writable but the virtual keyboard could not be created");
    const int fd = openVirtualKeyboard();
    if (fd < 0)
        QSKIP("the virtual keyboard's event node is not readable here");

    TypeScanText(*sink, u"a+");

    // Key events only (value 1 down, 0 up), in order.
    const QList<QPair<int, int>> expected = {
        {KEY_A, 1}, {KEY_A, 0}, {KEY_LEFTSHIFT, 1}, {KEY_EQUAL, 1}, {KEY_EQUAL, 0}, {KEY_LEFTSHIFT, 0},
        {KEY_ENTER, 1}, {KEY_ENTER, 0},
    };
    QList<QPair<int, int>> received;
    pollfd p{fd, POLLIN, 0};
    while (received.size() < expected.size() && ::poll(&p, 1, 2000) > 0) {
        input_event event;
        while (::read(fd, &event, sizeof event) == sizeof event) {
            if (event.type == EV_KEY)
                received.append({event.code, event.value});
        }
    }
    ::close(fd);
    QCOMPARE(received, expected);
}

QTEST_GUILESS_MAIN(TestKeySinkUinput)
#include "tst_keysinkuinput.moc"

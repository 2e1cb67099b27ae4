#pragma once

// Test helpers for the X11 key sink: a private Xvfb server and a small X client whose
// window takes the keyboard focus and records the key events it receives.

#include <QString>

#include <string>
#include <sys/types.h>
#include <vector>

struct _XDisplay;

// An Xvfb on a display number of its own (chosen by the server through -displayfd),
// stopped when the object goes.
class CXvfbServer
{
public:
    CXvfbServer() = default;
    ~CXvfbServer();
    CXvfbServer(const CXvfbServer &) = delete;
    CXvfbServer &operator=(const CXvfbServer &) = delete;

    // False, with the reason, when the server cannot be started.
    bool start(QString *reason);
    void stop();
    const std::string &displayName() const { return m_displayName; }

private:
    pid_t m_pid = -1;
    std::string m_displayName;
};

struct RecordedKey
{
    unsigned long keysym = 0;   // the key's unshifted keysym
    bool shift = false;         // Shift was held when the key went down
    std::string text;           // what the key typed (XLookupString), empty for Shift or Hangul
};

// A window that holds the focus of its display and records every key press.
class CXKeyRecorder
{
public:
    CXKeyRecorder() = default;
    ~CXKeyRecorder();
    CXKeyRecorder(const CXKeyRecorder &) = delete;
    CXKeyRecorder &operator=(const CXKeyRecorder &) = delete;

    // Opens the display, maps the window, gives it the focus and waits for FocusIn.
    bool open(const std::string &displayName, QString *reason);
    // Disconnects; must happen before the server goes, or Xlib ends the process.
    void close();

    // Reads events until `presses` key presses and as many releases have been recorded in
    // all, or until `timeoutMs` passes without any event. Returns whether the count was reached.
    bool waitForKeys(std::size_t presses, int timeoutMs = 5000);

    const std::vector<RecordedKey> &presses() const { return m_presses; }
    std::size_t releaseCount() const { return m_releases; }
    void clear();

    // The typed text of all presses, in order ("\r" for Return).
    std::string text() const;
    // The number of keys the server sees held down right now.
    int keysDown();

private:
    bool readEvents(int timeoutMs);

    _XDisplay *m_display = nullptr;
    unsigned long m_window = 0;
    std::vector<RecordedKey> m_presses;
    std::size_t m_releases = 0;
};

#pragma once

#include "platform/ComPorts.h"   // LINK_HUNG_UP, the link errors in words

#include <QString>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

// Line settings with the classic communications codes.
struct SerialLineSettings
{
    uint32_t baudRate = 115200;
    uint8_t byteSize = 8;   // 5..8
    uint8_t stopBits = 0;   // 0 = one, 1 = one and a half (refused here), 2 = two
    uint8_t parity = 0;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
};

inline constexpr uint8_t STOP_BITS_ONE = 0;
inline constexpr uint8_t STOP_BITS_ONE_AND_HALF = 1;
inline constexpr uint8_t STOP_BITS_TWO = 2;
inline constexpr uint8_t PARITY_NONE = 0;
inline constexpr uint8_t PARITY_ODD = 1;
inline constexpr uint8_t PARITY_EVEN = 2;
inline constexpr uint8_t PARITY_MARK = 3;
inline constexpr uint8_t PARITY_SPACE = 4;

// What ended a wait, as bits (the classic event-word values where one exists).
enum SerialEvent : unsigned {
    kSerialRxChar = 0x01,    // bytes can be read
    kSerialDsr = 0x10,       // DSR changed
    kSerialRlsd = 0x20,      // carrier detect changed
    kSerialHangup = 0x100,   // the driver reports the line gone (POLLHUP / POLLERR)
    kSerialCancelled = 0x200, // CancelWait was called
    kSerialTxReady = 0x400,  // the driver takes bytes again (asked for with wantWrite)
    kSerialWoken = 0x800     // Wake was called
};

// The modem-line part of the event word for two samples of TIOCM bits: DSR and carrier
// detect, each when it changed.
unsigned ModemLineEvents(int previousLines, int currentLines);

// One open serial device, POSIX. Threads: Open and Close run on the owner's thread; Wait,
// Read and Write on one channel thread; CancelWait and Wake on any thread. Close must only
// run when no thread is inside Wait, Read or Write any more (signal with CancelWait, join,
// then Close): a descriptor closed under a poll() may be reused by the next open at once.
class CSerialPort
{
public:
    CSerialPort() = default;
    ~CSerialPort();
    CSerialPort(const CSerialPort &) = delete;
    CSerialPort &operator=(const CSerialPort &) = delete;

    // Opens exclusively (TIOCEXCL plus flock, so a second open of a port in use fails,
    // even by root), raw mode with the given settings, no flow control, DTR and RTS off.
    // False when the device is missing, busy, not a terminal, or refuses the settings; the
    // device is then left closed and out of exclusive mode. Close ends the exclusive mode.
    // A node that is a UNIX stream socket (a simulated reader's) is connected to instead and
    // taken as AdoptSocket takes a socket.
    bool Open(const QString &devicePath, const SerialLineSettings &settings);
    // Takes over a connected stream socket: an RFCOMM link that BlueZ handed over, one end of a
    // socket pair. No line settings, no exclusive mode, no modem lines; the link ends with the
    // peer's close or reset (a zero read, POLLHUP, ECONNRESET). The descriptor is ours from
    // here on, whatever the result; false (OpenError set) when it is no usable socket.
    bool AdoptSocket(int fd);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    // The error number of the last Open that failed (EWOULDBLOCK: another holds the lock);
    // 0 after one that succeeded.
    int OpenError() const { return m_openError; }
    // Why the link of the open port ended: the error number of the failing read or wait
    // (ENODEV when the device node has gone since the open: unplugged, or the far end of a
    // pseudo-terminal closed), LINK_HUNG_UP, or 0 while the link stands. Set on the channel
    // thread before it reports the loss, read on any thread after that; Open clears it.
    int LinkError() const { return m_linkError.load(); }
    // Channel thread: records why the link ended; the first reason stays, unless a later
    // call finds the device node gone.
    void NoteLinkLost(int error);

    // Blocks until the port has data, the line is lost, the modem lines change, the driver
    // takes bytes again (only with wantWrite), Wake or CancelWait is called; returns
    // SerialEvent bits. With portEvents false only Wake and CancelWait end it (used after a
    // lost link, whose descriptor stays readable).
    unsigned Wait(bool portEvents, bool wantWrite = false);
    // Ends the current and every later Wait until the next Open.
    void CancelWait();
    // Ends the current Wait, or the next one if none is under way, once.
    void Wake();
    // Sleeps up to timeoutMs without looking at the port, or until Wake or CancelWait;
    // true when CancelWait was called. The reader uses it to leave bytes in the driver
    // while its ring cannot take them.
    bool WaitCancelOnly(int timeoutMs);

    // Non-blocking read: the count read, 0 when nothing is queued, -1 when the link is
    // gone (a zero read from a hung-up terminal, or EIO).
    long Read(void *destination, std::size_t capacity);
    // Non-blocking write of what the driver takes now: the count written, 0 when it takes
    // nothing now (wait with wantWrite), -1 when the port fails.
    long Write(const void *source, std::size_t count);
    // Discards unread input and unsent output.
    void Purge();

    // For tests: the descriptor (-1 when closed).
    int Handle() const { return m_fd; }

private:
    bool Configure(const SerialLineSettings &settings);
    bool StartWaiting();
    unsigned TakeSignal();
    void SampleModemLines(unsigned &events);

    int m_fd = -1;
    int m_openError = 0;
    int m_signalFd = -1;
    bool m_exclusive = false;   // we put the terminal into exclusive mode
    bool m_socket = false;      // m_fd is a stream socket, not a terminal
    std::atomic<int> m_linkError{0};
    std::atomic<bool> m_cancelled{false};   // a signal on m_signalFd then means CancelWait, else Wake
    bool m_modemLinesSupported = false;
    int m_modemLines = 0;
    std::chrono::steady_clock::time_point m_lastModemSample;
};

#pragma once

#include "link/RingBuffer.h"
#include "link/SerialPort.h"

#include <QByteArray>
#include <QEvent>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

class QObject;

// The channel's two posted events; neither carries data, the ring buffer is the only path.
inline constexpr QEvent::Type WM_SERIAL_RXDATA = QEvent::Type(0x8001);
inline constexpr QEvent::Type WM_SERIAL_LINEDROP = QEvent::Type(0x8002);

inline constexpr int SERIAL_CHUNK_SIZE = 2048;          // one read on the reader thread
inline constexpr int TX_BUFFER_SIZE = 2048;
// Bytes accepted but not yet taken by the driver. At 115200 baud (11,520 bytes a second)
// 64 KiB is over five seconds of line time and 32 commands of the largest size, far more
// than any burst of the tool's own (a trigger's command, the wake-up, a catalogue send);
// a queue that fills beyond that belongs to a reader that does not read, and a command
// accepted then would reach it only minutes later, if ever.
inline constexpr int32_t TX_QUEUE_SIZE = 0x10000;
inline constexpr int32_t RX_BUFFER_SIZE = 0x90000;      // 589,824 bytes
// While the ring cannot take a whole chunk the reader thread leaves the bytes in the
// driver (whose buffer then slows the sender) and looks again after this many ms.
inline constexpr int RING_FULL_RETRY_MS = 2;

// The one connection to the reader: opens a serial port, runs a reader thread that moves
// every received byte into rxBuffer and posts WM_SERIAL_RXDATA to ownerWindow, and sends
// what Send queued. It moves bytes and knows no command language. Its buffers, port and
// thread are its own: the owner reaches them only through the calls below.
//
// Threads: Open, Close, Send, TakePending, PendingBytes, the setters and the accessors
// belong to the owner's (user-interface) thread, which never waits on the port (TakePending
// is the consumer side of rxBuffer, Send the producer side of txQueue); the reader thread
// owns ReadChunk, the producer side of rxBuffer, the posts, the consumer side of txQueue and
// every write to the port. Close signals the reader thread, joins it and only then closes
// the descriptor; the destructor does the same when the port is still open.
class CSerialChannel
{
public:
    // Steps of the reader thread reported to the reader probe.
    enum class ReaderStep { Waiting, Wake, Chunk, PostRxData, PostLineDrop, RingFull, Sent };
    using ReaderProbe = std::function<void(ReaderStep step, int bytes)>;

    CSerialChannel();
    ~CSerialChannel();
    CSerialChannel(const CSerialChannel &) = delete;
    CSerialChannel &operator=(const CSerialChannel &) = delete;

    // Where the reader thread posts its events; set it before Open (null: nowhere).
    void SetOwnerWindow(QObject *owner) { ownerWindow = owner; }
    // Diagnostics for tests, called on the reader thread (bytes: chunk size, else 0).
    // Set it before Open; the tool leaves it empty.
    void SetReaderProbe(ReaderProbe probe) { readerProbe = std::move(probe); }

    // Opens the port with the caller's line settings (stop bits and parity in the classic
    // codes, see link/SerialPort.h) and starts the reader thread. 1 on success, 0
    // otherwise with the channel left closed. An open port is closed first.
    int Open(const QString &devicePath, uint32_t baudRate, uint8_t byteSize, uint8_t stopBits, uint8_t parity);
    // As Open, on a connected stream socket instead of a port (an RFCOMM link BlueZ handed
    // over): no line settings; the peer's close or reset is the lost link. The channel owns
    // `fd` from here on, whatever the result. `linkName` stands for the device path.
    int OpenSocket(int fd, const QString &linkName);
    // Ends the reader thread and the port; queued bytes not yet sent are dropped. Received
    // bytes not yet taken stay for TakePending.
    void Close();
    // True from a successful Open until Close; a lost link leaves it open (the owner closes).
    bool IsOpen() const { return connected.load() != 0; }
    // The device path last passed to Open, and why the last Open failed (an errno value, 0
    // after a success; see PortOpenErrorText).
    const QString &PortName() const { return portName; }
    int OpenError() const { return portHandle.OpenError(); }
    // Why the link ended, once the reader thread has reported it lost (an errno value, 0 while
    // it is up; see PortLinkErrorText).
    int LinkError() const { return portHandle.LinkError(); }

    // Copies count bytes into txBuffer and queues them, whole or not at all, behind everything
    // queued before; the reader thread sends them as the driver takes them. Returns count, or
    // 0 when closed, when count is outside 1..kTxBufferSize, or when the queue cannot take
    // them (the far end does not read). Never waits.
    int Send(const void *bytes, int count);
    // After a Send that returned 0: true when the queue refused it and it is the first
    // refusal since the queue last accepted a Send, so that the caller reports a far end
    // that does not read once, not once per command.
    bool TxStallBegan() const { return m_txStallBegan; }

    // Received bytes waiting in rxBuffer, and the oldest of them, at most maxBytes, taken
    // out in order (empty when there are none).
    int32_t PendingBytes() const { return rxBuffer.GetUsed(); }
    QByteArray TakePending(int32_t maxBytes);

private:
    friend struct SerialChannelTestHook;   // tests: the descriptor, the thread, a prefilled ring

    // Queues the first count bytes of txBuffer (see Send).
    int Write(int count);
    // Reader thread only: up to SERIAL_CHUNK_SIZE bytes into destination; 0 when nothing is
    // waiting, the link is gone or the read fails.
    int ReadChunk(uint8_t *destination);
    int StartReader();
    static void ReaderThreadProc(CSerialChannel *channel);
    void Probe(ReaderStep step, int bytes = 0);
    void Post(QEvent::Type type);
    bool SendQueued();
    void DropQueued();

    CRingBuffer rxBuffer;
    CRingBuffer txQueue;                    // TX_QUEUE_SIZE bytes, emptied by Close
    CSerialPort portHandle;
    QString portName;                       // the device path last passed to Open
    std::atomic<int> connected{0};
    std::thread readerThread;
    std::atomic<bool> readerRunning{false}; // cleared by the reader thread as it ends
    QObject *ownerWindow = nullptr;
    ReaderProbe readerProbe;
    // The transmit buffer: Send copies a command here, Write queues it. Owner's thread only.
    uint8_t txBuffer[TX_BUFFER_SIZE];

    bool m_linkLost = false;   // reader thread only: a read saw the hang-up
    // Reader thread only: the piece of txQueue taken out and not yet all written.
    uint8_t m_txChunk[SERIAL_CHUNK_SIZE];
    int m_txAt = 0;
    int m_txEnd = 0;
    // User-interface thread only.
    bool m_txStalled = false;       // the queue refused a Write and has accepted none since
    bool m_txStallBegan = false;
};

#pragma once

#include "link/RingBuffer.h"
#include "platform/SerialPort.h"

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

inline constexpr int kSerialChunkSize = 2048;          // one read on the reader thread
inline constexpr int kTxBufferSize = 2048;
// Bytes accepted but not yet taken by the driver. At 115200 baud (11,520 bytes a second)
// 64 KiB is over five seconds of line time and 32 commands of the largest size, far more
// than any burst of the tool's own (a trigger's command, the wake-up, a catalogue send);
// a queue that fills beyond that belongs to a reader that does not read, and a command
// accepted then would reach it only minutes later, if ever.
inline constexpr int32_t kTxQueueSize = 0x10000;
inline constexpr int32_t kRxBufferSize = 0x90000;      // 589,824 bytes
// While the ring cannot take a whole chunk the reader thread leaves the bytes in the
// driver (whose buffer then slows the sender) and looks again after this many ms.
inline constexpr int kRingFullRetryMs = 2;

// Process-wide transmit buffer: a sender copies its bytes here, then calls Write, which
// queues them. User-interface thread only.
extern uint8_t txBuffer[kTxBufferSize];

// The one connection to the reader: opens a serial port, runs a reader thread that moves
// every received byte into rxBuffer and posts WM_SERIAL_RXDATA to ownerWindow, and sends
// what Write queued from txBuffer. It moves bytes and knows no command language.
//
// Threads: Open, Close, Write, the consumer side of rxBuffer and the producer side of
// txQueue belong to the owner's (user-interface) thread, which never waits on the port;
// the reader thread owns ReadChunk, the producer side of rxBuffer, the posts, the consumer
// side of txQueue and every write to the port. Close signals the reader thread, joins it
// and only then closes the descriptor; the destructor does the same when the port is
// still open.
class CSerialChannel
{
public:
    // Steps of the reader thread reported to readerProbe.
    enum class ReaderStep { Waiting, Wake, Chunk, PostRxData, PostLineDrop, RingFull, Sent };

    CSerialChannel();
    ~CSerialChannel();
    CSerialChannel(const CSerialChannel &) = delete;
    CSerialChannel &operator=(const CSerialChannel &) = delete;

    // Opens the port with the caller's line settings (stop bits and parity in the classic
    // codes, see platform/SerialPort.h) and starts the reader thread. 1 on success, 0
    // otherwise with connected left at 0. An open port is closed first.
    int Open(const QString &devicePath, uint32_t baudRate, uint8_t byteSize, uint8_t stopBits, uint8_t parity);
    // Ends the reader thread and the port; queued bytes not yet sent are dropped.
    void Close();
    // Queues the first count bytes of txBuffer, whole or not at all, behind everything
    // queued before; the reader thread sends them as the driver takes them. Returns count,
    // or 0 when closed, when count is outside 1..kTxBufferSize, or when the queue cannot
    // take them (the far end does not read). Never waits.
    int Write(int count);
    // After a Write that returned 0: true when the queue refused it and it is the first
    // refusal since the queue last accepted a Write, so that the caller reports a far end
    // that does not read once, not once per command.
    bool TxStallBegan() const { return m_txStallBegan; }
    // Reader thread only: up to kSerialChunkSize queued bytes into destination; 0 when
    // nothing is queued, the link is gone or the read fails.
    int ReadChunk(uint8_t *destination);
    static void ReaderThreadProc(CSerialChannel *channel);

    CRingBuffer rxBuffer;
    CRingBuffer txQueue;                    // kTxQueueSize bytes, emptied by Close
    platform::CSerialPort portHandle;
    QString portName;                       // the device path last passed to Open
    std::atomic<int> connected{0};
    std::thread readerThread;
    std::atomic<bool> readerRunning{false}; // cleared by the reader thread as it ends
    QObject *ownerWindow = nullptr;         // set by the owner before every Open

    // Diagnostics for tests, called on the reader thread (bytes: chunk size, else 0).
    // Set it before Open; the tool leaves it empty.
    std::function<void(ReaderStep step, int bytes)> readerProbe;

private:
    void Probe(ReaderStep step, int bytes = 0);
    void Post(QEvent::Type type);
    bool SendQueued();
    void DropQueued();

    bool m_linkLost = false;   // reader thread only: a read saw the hang-up
    // Reader thread only: the piece of txQueue taken out and not yet all written.
    uint8_t m_txChunk[kSerialChunkSize];
    int m_txAt = 0;
    int m_txEnd = 0;
    // User-interface thread only.
    bool m_txStalled = false;       // the queue refused a Write and has accepted none since
    bool m_txStallBegan = false;
};

#include "link/SerialChannel.h"

#include <QCoreApplication>
#include <QObject>

#include <algorithm>
#include <cstring>
#include <system_error>

CSerialChannel::CSerialChannel()
{
    rxBuffer.Allocate(RX_BUFFER_SIZE);
    txQueue.Allocate(TX_QUEUE_SIZE);
}

CSerialChannel::~CSerialChannel()
{
    // The reader thread holds a pointer to this channel: it must end before we do.
    Close();
}

int CSerialChannel::Open(const QString &devicePath, uint32_t baudRate, uint8_t byteSize, uint8_t stopBits, uint8_t parity)
{
    Close();
    portName = devicePath;
    SerialLineSettings settings;
    settings.baudRate = baudRate;
    settings.byteSize = byteSize;
    settings.stopBits = stopBits;
    settings.parity = parity;
    if (!portHandle.Open(devicePath, settings))
        return 0;
    portHandle.Purge();
    return StartReader();
}

int CSerialChannel::OpenSocket(int fd, const QString &linkName)
{
    Close();
    portName = linkName;
    if (!portHandle.AdoptSocket(fd))
        return 0;
    return StartReader();
}

int CSerialChannel::StartReader()
{
    m_linkLost = false;
    connected.store(1);
    readerRunning.store(true);
    try {
        readerThread = std::thread(&CSerialChannel::ReaderThreadProc, this);
    } catch (const std::system_error &) {
        readerRunning.store(false);
        Close();
        return 0;
    }
    return 1;
}

void CSerialChannel::Close()
{
    connected.store(0);
    // Wakes the reader's wait; it sees connected at 0 and ends. Only after the join may
    // the descriptor go: a number closed under a poll() can be reused at once.
    portHandle.CancelWait();
    if (readerThread.joinable() && readerThread.get_id() != std::this_thread::get_id())
        readerThread.join();
    portHandle.Purge();
    portHandle.Close();
    DropQueued();
}

// Runs with no reader thread, so this thread may take the consumer's side.
void CSerialChannel::DropQueued()
{
    uint8_t discard[SERIAL_CHUNK_SIZE];
    for (int32_t queued; (queued = txQueue.GetUsed()) > 0;)
        txQueue.Take(discard, std::min<int32_t>(queued, SERIAL_CHUNK_SIZE));
    m_txAt = m_txEnd = 0;
    m_txStalled = false;
}

int CSerialChannel::Send(const void *bytes, int count)
{
    if (bytes == nullptr)
        count = 0;
    else if (count > 0 && count <= TX_BUFFER_SIZE)
        std::memcpy(txBuffer, bytes, size_t(count));
    return Write(count);
}

QByteArray CSerialChannel::TakePending(int32_t maxBytes)
{
    const int32_t count = std::min(rxBuffer.GetUsed(), maxBytes);
    if (count <= 0)
        return QByteArray();
    QByteArray bytes(count, Qt::Uninitialized);
    if (rxBuffer.Take(bytes.data(), count) != 1)
        return QByteArray();
    return bytes;
}

int CSerialChannel::Write(int count)
{
    m_txStallBegan = false;
    if (count <= 0 || count > TX_BUFFER_SIZE || !connected.load())
        return 0;
    if (!txQueue.Put(txBuffer, count)) {
        m_txStallBegan = !m_txStalled;
        m_txStalled = true;
        return 0;
    }
    m_txStalled = false;
    // Always: whether the reader thread still sees bytes queued cannot be told from here.
    portHandle.Wake();
    return count;
}

// Reader thread: writes queued bytes, in order, until the queue is empty or the driver
// takes no more; true while bytes wait for room in the driver.
bool CSerialChannel::SendQueued()
{
    for (;;) {
        if (m_txAt == m_txEnd) {
            const int32_t queued = txQueue.GetUsed();
            if (queued <= 0)
                return false;
            m_txEnd = std::min<int32_t>(queued, SERIAL_CHUNK_SIZE);
            m_txAt = 0;
            txQueue.Take(m_txChunk, m_txEnd);   // the producer only adds: cannot fail
        }
        const long n = portHandle.Write(m_txChunk + m_txAt, std::size_t(m_txEnd - m_txAt));
        if (n == 0)
            return true;
        // A failing port (a hang-up: the read side reports it) cannot send these bytes;
        // dropping them lets the queue drain rather than refuse every later command.
        m_txAt = n < 0 ? m_txEnd : m_txAt + int(n);
        if (n > 0)
            Probe(ReaderStep::Sent, int(n));
    }
}

int CSerialChannel::ReadChunk(uint8_t *destination)
{
    const long n = portHandle.Read(destination, SERIAL_CHUNK_SIZE);
    if (n < 0) {
        m_linkLost = true;
        return 0;
    }
    return int(n);
}

void CSerialChannel::Probe(ReaderStep step, int bytes)
{
    if (readerProbe)
        readerProbe(step, bytes);
}

void CSerialChannel::Post(QEvent::Type type)
{
    if (ownerWindow)
        QCoreApplication::postEvent(ownerWindow, new QEvent(type));
}

void CSerialChannel::ReaderThreadProc(CSerialChannel *channel)
{
    uint8_t chunk[SERIAL_CHUNK_SIZE];
    bool dropPosted = false;
    while (channel->connected.load()) {
        // After a lost link the descriptor stays readable for good: wait for Close only.
        const bool waitForRoom = !dropPosted && channel->SendQueued();
        channel->Probe(ReaderStep::Waiting);
        const unsigned events = channel->portHandle.Wait(!dropPosted, waitForRoom);
        channel->Probe(ReaderStep::Wake);
        if (events & kSerialCancelled)
            continue;   // connected is 0
        bool lost = false;
        if (events & kSerialRxChar) {
            // Only read while a whole chunk fits: the consumer only ever frees space, so
            // every chunk read is stored and nothing is dropped. A full ring leaves the
            // bytes in the driver's buffer, which in turn holds the sender back.
            bool ringFull = false;
            bool stored = false;
            int n = 0;
            while (!(ringFull = channel->rxBuffer.GetFree() < SERIAL_CHUNK_SIZE)
                   && (n = channel->ReadChunk(chunk)) > 0) {
                channel->Probe(ReaderStep::Chunk, n);
                channel->rxBuffer.Put(chunk, n);
                stored = true;
            }
            // A full ring with nothing new stored already has its post on the way: the
            // ring only fills through stores, each of which is followed by one.
            if (stored || !ringFull) {
                channel->Probe(ReaderStep::PostRxData);
                channel->Post(WM_SERIAL_RXDATA);
            }
            lost = channel->m_linkLost;
            if (ringFull) {
                channel->Probe(ReaderStep::RingFull);
                channel->portHandle.WaitCancelOnly(RING_FULL_RETRY_MS);
            }
        } else {
            const unsigned bothLines = kSerialDsr | kSerialRlsd;
            lost = (events & kSerialHangup) || (events & bothLines) == bothLines;
        }
        if (lost && !dropPosted) {
            dropPosted = true;
            // The modem lines give no error number; a node removed by now is named too.
            channel->portHandle.NoteLinkLost(LINK_HUNG_UP);
            channel->Probe(ReaderStep::PostLineDrop);
            channel->Post(WM_SERIAL_LINEDROP);
        }
    }
    channel->readerRunning.store(false);
}

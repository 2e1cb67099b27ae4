#include "link/SerialChannel.h"

#include <QCoreApplication>
#include <QObject>

#include <system_error>

uint8_t txBuffer[kTxBufferSize];

CSerialChannel::CSerialChannel()
{
    rxBuffer.Allocate(kRxBufferSize);
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
    platform::SerialLineSettings settings;
    settings.baudRate = baudRate;
    settings.byteSize = byteSize;
    settings.stopBits = stopBits;
    settings.parity = parity;
    if (!portHandle.Open(devicePath, settings))
        return 0;
    portHandle.Purge();

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
}

int CSerialChannel::Write(int count)
{
    if (count <= 0 || count > kTxBufferSize || !connected.load())
        return 0;
    return int(portHandle.Write(txBuffer, std::size_t(count)));
}

int CSerialChannel::ReadChunk(uint8_t *destination)
{
    const long n = portHandle.Read(destination, kSerialChunkSize);
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
    uint8_t chunk[kSerialChunkSize];
    bool dropPosted = false;
    while (channel->connected.load()) {
        // After a lost link the descriptor stays readable for good: wait for Close only.
        channel->Probe(ReaderStep::Waiting);
        const unsigned events = channel->portHandle.Wait(!dropPosted);
        channel->Probe(ReaderStep::Wake);
        if (events & platform::kSerialCancelled)
            continue;
        bool lost = false;
        if (events & platform::kSerialRxChar) {
            // Only read while a whole chunk fits: the consumer only ever frees space, so
            // every chunk read is stored and nothing is dropped. A full ring leaves the
            // bytes in the driver's buffer, which in turn holds the sender back.
            bool ringFull = false;
            bool stored = false;
            int n = 0;
            while (!(ringFull = channel->rxBuffer.GetFree() < kSerialChunkSize)
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
                channel->portHandle.WaitCancelOnly(kRingFullRetryMs);
            }
        } else {
            const unsigned bothLines = platform::kSerialDsr | platform::kSerialRlsd;
            lost = (events & platform::kSerialHangup) || (events & bothLines) == bothLines;
        }
        if (lost && !dropPosted) {
            dropPosted = true;
            channel->Probe(ReaderStep::PostLineDrop);
            channel->Post(WM_SERIAL_LINEDROP);
        }
    }
    channel->readerRunning.store(false);
}

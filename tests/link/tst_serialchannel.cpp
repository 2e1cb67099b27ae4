#include "link/SerialChannel.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <fcntl.h>
#include <future>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#include <thread>
#include <utility>
#include <vector>

namespace {

// Counts the channel's posted events on the test's (user-interface) thread.
class Owner : public QObject
{
public:
    int rxData = 0;
    int lineDrops = 0;

protected:
    bool event(QEvent *e) override
    {
        if (e->type() == WM_SERIAL_RXDATA) {
            ++rxData;
            return true;
        }
        if (e->type() == WM_SERIAL_LINEDROP) {
            ++lineDrops;
            return true;
        }
        return QObject::event(e);
    }
};

// A pseudo-terminal pair; the test holds the master in raw mode and is the reader's peer.
struct PtyPair
{
    int master = -1;
    QString slavePath;

    bool open()
    {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
            return false;
        termios tio {};
        if (::tcgetattr(master, &tio) != 0)
            return false;
        ::cfmakeraw(&tio);
        if (::tcsetattr(master, TCSANOW, &tio) != 0)
            return false;
        slavePath = QString::fromLocal8Bit(::ptsname(master));
        return true;
    }
    void hangUp()
    {
        if (master >= 0)
            ::close(master);
        master = -1;
    }
    ~PtyPair() { hangUp(); }

    bool writeAll(const std::vector<uint8_t> &bytes) const
    {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
            if (n <= 0)
                return false;
            done += size_t(n);
        }
        return true;
    }
    // Reads until count bytes arrived or nothing more comes within quietMs.
    std::vector<uint8_t> read(size_t count, int quietMs) const
    {
        std::vector<uint8_t> bytes;
        uint8_t buffer[4096];
        for (;;) {
            pollfd fd = {master, POLLIN, 0};
            if (::poll(&fd, 1, quietMs) <= 0)
                break;
            const ssize_t n = ::read(master, buffer, std::min(sizeof buffer, count - bytes.size() + 1));
            if (n <= 0)
                break;
            bytes.insert(bytes.end(), buffer, buffer + n);
        }
        return bytes;
    }
};

std::vector<uint8_t> Pattern(size_t count, unsigned seed)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = uint8_t((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
    return bytes;
}

std::vector<uint8_t> TakeAll(CSerialChannel &channel)
{
    const QByteArray bytes = channel.TakePending(RX_BUFFER_SIZE);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

// Records the reader thread's steps; the first wake can be held until the test lets go,
// so that a whole burst is queued before the thread reads.
struct Recorder
{
    std::mutex mutex;
    std::vector<std::pair<CSerialChannel::ReaderStep, int>> steps;
    std::atomic<int> wakes{0};
    std::atomic<int> waits{0};
    std::atomic<bool> holdFirstWake{false};
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();

    void attach(CSerialChannel &channel)
    {
        channel.SetReaderProbe([this](CSerialChannel::ReaderStep step, int bytes) {
            if (step == CSerialChannel::ReaderStep::Waiting) {
                ++waits;
                return;
            }
            if (step == CSerialChannel::ReaderStep::Wake) {
                if (wakes.fetch_add(1) == 0 && holdFirstWake.load())
                    released.wait();
            }
            const std::lock_guard<std::mutex> lock(mutex);
            steps.emplace_back(step, bytes);
        });
    }
    std::vector<std::pair<CSerialChannel::ReaderStep, int>> snapshot()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return steps;
    }
};

constexpr uint32_t BAUD = 115200;

} // namespace

// What no owner may reach, for the checks that the thread and the descriptor are gone and
// for a ring filled before the port opens.
struct SerialChannelTestHook
{
    static int Handle(const CSerialChannel &channel) { return channel.portHandle.Handle(); }
    static bool ThreadJoinable(const CSerialChannel &channel) { return channel.readerThread.joinable(); }
    static bool ReaderRunning(const CSerialChannel &channel) { return channel.readerRunning.load(); }
    static bool Prefill(CSerialChannel &channel, const std::vector<uint8_t> &bytes)
    {
        return channel.rxBuffer.Put(bytes.data(), int32_t(bytes.size())) == 1;
    }
};
using Hook = SerialChannelTestHook;

class TstSerialChannel : public QObject
{
    Q_OBJECT

private slots:
    void settingsReadBack_data()
    {
        QTest::addColumn<uint>("baud");
        QTest::addColumn<int>("byteSize");
        QTest::addColumn<int>("stopBits");
        QTest::addColumn<int>("parity");
        QTest::addColumn<uint>("speed");
        QTest::addColumn<uint>("sizeFlag");
        QTest::addColumn<bool>("twoStops");
        QTest::addColumn<bool>("parityOn");
        QTest::newRow("reader 115200 8N1") << 115200u << 8 << 0 << 0 << uint(B115200) << uint(CS8) << false << false;
        // Pseudo-terminals keep 8 bits without parity whatever is asked, so only the speed
        // and the stop bits vary here.
        QTest::newRow("9600 8N2") << 9600u << 8 << 2 << 0 << uint(B9600) << uint(CS8) << true << false;
    }
    void settingsReadBack()
    {
        QFETCH(uint, baud);
        QFETCH(int, byteSize);
        QFETCH(int, stopBits);
        QFETCH(int, parity);
        QFETCH(uint, speed);
        QFETCH(uint, sizeFlag);
        QFETCH(bool, twoStops);
        QFETCH(bool, parityOn);
        PtyPair pty;
        QVERIFY(pty.open());
        CSerialChannel channel;
        QCOMPARE(channel.Open(pty.slavePath, baud, uint8_t(byteSize), uint8_t(stopBits), uint8_t(parity)), 1);
        QVERIFY(channel.IsOpen());
        QCOMPARE(channel.PortName(), pty.slavePath);

        termios tio {};
        QCOMPARE(::tcgetattr(Hook::Handle(channel), &tio), 0);
        QCOMPARE(uint(::cfgetispeed(&tio)), speed);
        QCOMPARE(uint(::cfgetospeed(&tio)), speed);
        QCOMPARE(uint(tio.c_cflag & CSIZE), sizeFlag);
        QCOMPARE(bool(tio.c_cflag & CSTOPB), twoStops);
        QCOMPARE(bool(tio.c_cflag & PARENB), parityOn);
        QVERIFY(!(tio.c_cflag & CRTSCTS));
        QVERIFY(tio.c_cflag & CREAD);
        QVERIFY(tio.c_cflag & CLOCAL);
        QCOMPARE(tio.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), tcflag_t(0));
        QCOMPARE(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), tcflag_t(0));
        QCOMPARE(tio.c_oflag & OPOST, tcflag_t(0));
        QCOMPARE(int(tio.c_cc[VMIN]), 1);
        QCOMPARE(int(tio.c_cc[VTIME]), 0);
        channel.Close();
        QVERIFY(!channel.IsOpen());
    }

    // Settings the port cannot take fail the open and leave the port free.
    void refusedSettings_data()
    {
        QTest::addColumn<uint>("baud");
        QTest::addColumn<int>("byteSize");
        QTest::addColumn<int>("stopBits");
        QTest::addColumn<int>("parity");
        QTest::newRow("odd baud") << 12345u << 8 << 0 << 0;
        QTest::newRow("nine bits") << 115200u << 9 << 0 << 0;
        QTest::newRow("one and a half stops") << 115200u << 8 << 1 << 0;
        QTest::newRow("parity code 5") << 115200u << 8 << 0 << 5;
    }
    void refusedSettings()
    {
        QFETCH(uint, baud);
        QFETCH(int, byteSize);
        QFETCH(int, stopBits);
        QFETCH(int, parity);
        PtyPair pty;
        QVERIFY(pty.open());
        CSerialChannel channel;
        QCOMPARE(channel.Open(pty.slavePath, baud, uint8_t(byteSize), uint8_t(stopBits), uint8_t(parity)), 0);
        QVERIFY(!channel.IsOpen());
        QVERIFY(!Hook::ThreadJoinable(channel));
        QCOMPARE(channel.Open(pty.slavePath, BAUD, 8, 0, 0), 1);
    }

    void openFails_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("missing path") << "missing";
        QTest::newRow("in use by another channel") << "busy";
        QTest::newRow("not a terminal") << "file";
        QTest::newRow("empty path") << "empty";
    }
    void openFails()
    {
        QFETCH(QString, kind);
        PtyPair pty;
        QVERIFY(pty.open());
        QTemporaryDir dir;
        CSerialChannel holder;
        QString path;
        if (kind == QLatin1String("missing")) {
            path = dir.filePath("ttyNothing");
        } else if (kind == QLatin1String("busy")) {
            QCOMPARE(holder.Open(pty.slavePath, BAUD, 8, 0, 0), 1);
            path = pty.slavePath;
        } else if (kind == QLatin1String("file")) {
            path = dir.filePath("plain");
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        CSerialChannel channel;
        QCOMPARE(channel.Open(path, BAUD, 8, 0, 0), 0);
        QVERIFY(!channel.IsOpen());
        QVERIFY(!Hook::ThreadJoinable(channel));
        if (kind == QLatin1String("busy")) {   // released by the holder's close
            holder.Close();
            QCOMPARE(channel.Open(path, BAUD, 8, 0, 0), 1);
        }
    }

    // Bytes the peer writes, in pieces of varying size, arrive whole and in order.
    void bytesArriveInOrder_data()
    {
        QTest::addColumn<int>("total");
        QTest::addColumn<int>("piece");
        QTest::newRow("single bytes") << 300 << 1;
        QTest::newRow("odd pieces") << 20000 << 333;
        QTest::newRow("large pieces") << 100000 << 7000;
    }
    void bytesArriveInOrder()
    {
        QFETCH(int, total);
        QFETCH(int, piece);
        PtyPair pty;
        QVERIFY(pty.open());
        Owner owner;
        CSerialChannel channel;
        channel.SetOwnerWindow(&owner);
        QCOMPARE(channel.Open(pty.slavePath, BAUD, 8, 0, 0), 1);
        const std::vector<uint8_t> sent = Pattern(size_t(total), 3);
        std::vector<uint8_t> received;
        for (int at = 0; at < total; at += piece) {
            const auto end = sent.begin() + std::min(total, at + piece);
            QVERIFY(pty.writeAll(std::vector<uint8_t>(sent.begin() + at, end)));
            // Drain as the window would, so that the ring never fills.
            const std::vector<uint8_t> got = TakeAll(channel);
            received.insert(received.end(), got.begin(), got.end());
        }
        QTRY_VERIFY_WITH_TIMEOUT((
            [&] {
                const std::vector<uint8_t> got = TakeAll(channel);
                received.insert(received.end(), got.begin(), got.end());
                return received.size() >= sent.size();
            }()), 10000);
        QCOMPARE(received, sent);
        QTRY_VERIFY(owner.rxData >= 1);
        QCOMPARE(owner.lineDrops, 0);
    }

    // A burst of 5,000 bytes queued before the thread reads: chunks of at most 2048 and
    // one RXDATA after the last chunk of the wake.
    void burstInChunks()
    {
        PtyPair pty;
        QVERIFY(pty.open());
        Owner owner;
        Recorder recorder;   // outlives the channel, whose thread calls it until joined
        CSerialChannel channel;
        channel.SetOwnerWindow(&owner);
        recorder.holdFirstWake = true;
        recorder.attach(channel);
        QCOMPARE(channel.Open(pty.slavePath, BAUD, 8, 0, 0), 1);
        const std::vector<uint8_t> sent = Pattern(5000, 5);
        QVERIFY(pty.writeAll(sent));
        QTRY_COMPARE(recorder.wakes.load(), 1);
        QTest::qWait(100);   // lets the pseudo-terminal hand the burst over before reading
        recorder.release.set_value();
        QTRY_COMPARE(channel.PendingBytes(), 5000);
        QTRY_VERIFY(owner.rxData >= 1);
        const auto steps = recorder.snapshot();

        using Step = CSerialChannel::ReaderStep;
        int chunkBytes = 0;
        int chunksThisWake = 0;
        int wakesWithData = 0;
        int posts = 0;
        std::vector<int> firstWakeChunks;
        for (const auto &[step, bytes] : steps) {
            if (step == Step::Chunk) {
                QVERIFY2(bytes > 0 && bytes <= SERIAL_CHUNK_SIZE, qPrintable(QString::number(bytes)));
                chunkBytes += bytes;
                ++chunksThisWake;
                if (wakesWithData == 0)
                    firstWakeChunks.push_back(bytes);
            } else if (step == Step::PostRxData) {
                ++posts;
                wakesWithData += chunksThisWake > 0;
                chunksThisWake = 0;
            }
        }
        QCOMPARE(chunkBytes, 5000);
        QCOMPARE(chunksThisWake, 0);   // no chunk after the last post
        QVERIFY(firstWakeChunks.size() >= 2);
        QCOMPARE(firstWakeChunks.front(), SERIAL_CHUNK_SIZE);
        QTRY_COMPARE(owner.rxData, posts);
        QCOMPARE(TakeAll(channel), sent);
    }

    void writeSendsFirstBytes_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("expected");
        QTest::newRow("one") << 1 << 1;
        QTest::newRow("command line") << 9 << 9;
        QTest::newRow("whole buffer") << TX_BUFFER_SIZE << TX_BUFFER_SIZE;
        QTest::newRow("zero") << 0 << 0;
        QTest::newRow("beyond buffer") << TX_BUFFER_SIZE + 1 << 0;
        QTest::newRow("negative") << -4 << 0;
    }
    void writeSendsFirstBytes()
    {
        QFETCH(int, count);
        QFETCH(int, expected);
        PtyPair pty;
        QVERIFY(pty.open());
        CSerialChannel channel;
        QCOMPARE(channel.Open(pty.slavePath, BAUD, 8, 0, 0), 1);
        const std::vector<uint8_t> pattern = Pattern(TX_BUFFER_SIZE, 9);
        QCOMPARE(channel.Send(pattern.data(), count), expected);
        const std::vector<uint8_t> got = pty.read(size_t(expected), 200);
        QCOMPARE(got, std::vector<uint8_t>(pattern.begin(), pattern.begin() + expected));
    }

    void writeWhenClosed()
    {
        CSerialChannel channel;
        QCOMPARE(channel.Send("ping", 4), 0);
    }

    // A peer that does not read: Write never waits and takes each command whole or not at
    // all, flagging the first refusal of a stall; the reader thread does every write. When
    // the peer reads, the accepted commands arrive in order and the queue accepts again;
    // Close instead drops what is queued (what the driver held may still come).
    void writeQueueAgainstSilentPeer_data()
    {
        QTest::addColumn<bool>("closeWhileStalled");
        QTest::newRow("peer starts reading") << false;
        QTest::newRow("closed while stalled") << true;
    }
    void writeQueueAgainstSilentPeer()
    {
        QFETCH(bool, closeWhileStalled);
        PtyPair pty;
        QVERIFY(pty.open());
        std::atomic<int> sentByThread{0};
        CSerialChannel channel;
        channel.SetReaderProbe([&, test = std::this_thread::get_id()](CSerialChannel::ReaderStep step, int bytes) {
            sentByThread += step == CSerialChannel::ReaderStep::Sent && std::this_thread::get_id() != test ? bytes : 0;
        });
        QCOMPARE(channel.Open(pty.slavePath, BAUD, 8, 0, 0), 1);
        std::vector<uint8_t> accepted;
        int result = 1;
        for (unsigned i = 0; i < 200; ++i) {   // 400 KB: past the driver's buffer and the queue
            const std::vector<uint8_t> command = Pattern(TX_BUFFER_SIZE - 8, i);
            const int previous = std::exchange(result, channel.Send(command.data(), int(command.size())));
            QVERIFY(result == 0 || result == int(command.size()));
            QCOMPARE(channel.TxStallBegan(), result == 0 && previous != 0);
            accepted.insert(accepted.end(), command.begin(), command.begin() + result);
        }
        QCOMPARE(result, 0);
        if (closeWhileStalled) {
            channel.Close();
            QCOMPARE(channel.Open(pty.slavePath, BAUD, 8, 0, 0), 1);
        } else {
            QCOMPARE(pty.read(accepted.size(), 1000), accepted);
            QTRY_COMPARE(sentByThread.load(), int(accepted.size()));
        }
        const std::vector<uint8_t> marker = Pattern(100, 999);
        QCOMPARE(channel.Send(marker.data(), int(marker.size())), int(marker.size()));
        std::vector<uint8_t> got = pty.read(accepted.size() + marker.size(), 1000);
        QVERIFY(got.size() >= marker.size() && std::equal(marker.begin(), marker.end(), got.end() - marker.size()));
        got.resize(got.size() - marker.size());
        QVERIFY(got.size() < accepted.size() && std::equal(got.begin(), got.end(), accepted.begin()));
    }

    void hangUpDropsOnce_data()
    {
        QTest::addColumn<bool>("socket");   // else a terminal
        QTest::addColumn<int>("linkError");
        QTest::newRow("terminal") << false << ENODEV;   // the master's close takes the node away
        QTest::newRow("socket pair") << true << LINK_HUNG_UP;
    }
    // The peer hangs up: one LINEDROP, and the thread then sleeps until Close.
    void hangUpDropsOnce()
    {
        QFETCH(bool, socket);
        QFETCH(int, linkError);
        PtyPair pty;
        QVERIFY(pty.open());
        Owner owner;
        Recorder recorder;   // outlives the channel, whose thread calls it until joined
        CSerialChannel channel;
        channel.SetOwnerWindow(&owner);
        recorder.attach(channel);
        int pair[2] = {-1, -1};
        const std::vector<uint8_t> bytes = Pattern(10, 1);
        if (socket) {
            QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
            QCOMPARE(channel.OpenSocket(pair[0], "pair"), 1);
            QCOMPARE(::write(pair[1], bytes.data(), bytes.size()), ssize_t(bytes.size()));
            // Both ways: what is sent reaches the peer.
            QCOMPARE(channel.Send(bytes.data(), 4), 4);
            uint8_t echoed[4] = {};
            pollfd readable{pair[1], POLLIN, 0};
            QVERIFY(::poll(&readable, 1, 5000) == 1 && ::read(pair[1], echoed, 4) == 4 && std::equal(echoed, echoed + 4, bytes.begin()));
        } else {
            QCOMPARE(channel.Open(pty.slavePath, BAUD, 8, 0, 0), 1);
            QVERIFY(pty.writeAll(bytes));
        }
        QTRY_COMPARE(channel.PendingBytes(), 10);
        if (socket)
            ::close(pair[1]);
        else
            pty.hangUp();
        QTRY_COMPARE(owner.lineDrops, 1);
        QCOMPARE(channel.LinkError(), linkError);
        const int wakesAtDrop = recorder.wakes.load();
        QTest::qWait(600);   // room for a spinning thread to show itself
        QCOMPARE(owner.lineDrops, 1);
        QCOMPARE(recorder.wakes.load(), wakesAtDrop);
        QVERIFY(channel.IsOpen());   // the owner decides to close
        channel.Close();
        QVERIFY(!Hook::ReaderRunning(channel));
        QCOMPARE(recorder.wakes.load(), wakesAtDrop + 1);
    }

    // Close wakes the waiting thread, joins it and only then releases the port.
    void closeWhileWaiting()
    {
        PtyPair pty;
        QVERIFY(pty.open());
        Recorder recorder;
        CSerialChannel channel;
        recorder.attach(channel);
        QCOMPARE(channel.Open(pty.slavePath, BAUD, 8, 0, 0), 1);
        QTRY_COMPARE(recorder.waits.load(), 1);   // past the loop test, so only Close can end it
        std::atomic<bool> closed{false};
        std::atomic<qint64> elapsed{0};
        std::thread closer([&] {
            QElapsedTimer timer;
            timer.start();
            channel.Close();
            elapsed = timer.nsecsElapsed() / 1000;
            closed = true;
        });
        // A generous bound that only catches a hang; the figure itself is logged.
        QTRY_VERIFY_WITH_TIMEOUT(closed.load(), 5000);
        closer.join();
        qInfo("Close took %lld us", qint64(elapsed.load()));
        QVERIFY(!Hook::ReaderRunning(channel));
        QVERIFY(!Hook::ThreadJoinable(channel));
        QCOMPARE(Hook::Handle(channel), -1);
        QCOMPARE(recorder.wakes.load(), 1);   // woken by Close, not by a timeout
        // The port is free again.
        CSerialChannel other;
        QCOMPARE(other.Open(pty.slavePath, BAUD, 8, 0, 0), 1);
    }

    // The destructor of an open channel ends and joins its thread (an unjoined
    // std::thread would terminate the process) and releases the port.
    void destroyWhileOpen()
    {
        PtyPair pty;
        QVERIFY(pty.open());
        {
            CSerialChannel channel;
            QCOMPARE(channel.Open(pty.slavePath, BAUD, 8, 0, 0), 1);
        }
        CSerialChannel again;
        QCOMPARE(again.Open(pty.slavePath, BAUD, 8, 0, 0), 1);
    }

    // A ring with less than a chunk free, then a burst: the reader leaves the bytes in the
    // driver (it does not read what it could not store), and once the consumer takes,
    // every byte of the old contents and of the burst comes out, in order.
    void fullRingHoldsBurstBack_data()
    {
        QTest::addColumn<int>("burst");
        QTest::newRow("less than a chunk") << 1500;
        QTest::newRow("many chunks") << 100000;
        QTest::newRow("twice the ring") << 2 * RX_BUFFER_SIZE;
    }
    void fullRingHoldsBurstBack()
    {
        QFETCH(int, burst);
        PtyPair pty;
        QVERIFY(pty.open());
        Owner owner;
        Recorder recorder;
        CSerialChannel channel;
        channel.SetOwnerWindow(&owner);
        const int prefill = RX_BUFFER_SIZE - 1 - 1000;
        const std::vector<uint8_t> old = Pattern(size_t(prefill), 2);
        QVERIFY(Hook::Prefill(channel, old));   // Open keeps the ring's contents
        recorder.attach(channel);
        QCOMPARE(channel.Open(pty.slavePath, BAUD, 8, 0, 0), 1);

        const std::vector<uint8_t> sent = Pattern(size_t(burst), 4);
        std::atomic<bool> stop{false};
        std::atomic<bool> writeFailed{false};
        ::fcntl(pty.master, F_SETFL, ::fcntl(pty.master, F_GETFL) | O_NONBLOCK);
        std::thread writer([&] {
            size_t done = 0;
            while (done < sent.size() && !stop.load()) {
                pollfd fd = {pty.master, POLLOUT, 0};
                if (::poll(&fd, 1, 50) <= 0)
                    continue;
                const ssize_t n = ::write(pty.master, sent.data() + done, sent.size() - done);
                if (n > 0)
                    done += size_t(n);
                else if (errno != EAGAIN && errno != EINTR) {
                    writeFailed = true;
                    return;
                }
            }
        });
        struct Join { std::thread &t; std::atomic<bool> &stop; ~Join() { stop = true; t.join(); } } join{writer, stop};

        auto sawRingFull = [&] {
            for (const auto &step : recorder.snapshot())
                if (step.first == CSerialChannel::ReaderStep::RingFull)
                    return true;
            return false;
        };
        QTRY_VERIFY(sawRingFull());
        QTest::qWait(50);
        QCOMPARE(channel.PendingBytes(), prefill);   // nothing read that could not be stored

        std::vector<uint8_t> received;
        const size_t total = size_t(prefill) + sent.size();
        QElapsedTimer timer;
        timer.start();
        while (received.size() < total && timer.elapsed() < 20000 && !writeFailed.load()) {
            const std::vector<uint8_t> piece = TakeAll(channel);
            received.insert(received.end(), piece.begin(), piece.end());
            if (piece.empty())
                QTest::qWait(1);
        }
        QVERIFY(!writeFailed.load());
        QCOMPARE(received.size(), total);
        QVERIFY(std::equal(old.begin(), old.end(), received.begin()));
        QVERIFY(std::equal(sent.begin(), sent.end(), received.begin() + prefill));
        for (const auto &step : recorder.snapshot())
            QVERIFY(step.first != CSerialChannel::ReaderStep::PostLineDrop);
    }
};

QTEST_GUILESS_MAIN(TstSerialChannel)
#include "tst_serialchannel.moc"

#include "link/RingBuffer.h"

#include <QtTest>

#include <cstdint>
#include <random>
#include <thread>
#include <vector>

namespace {

// The byte at stream position i of a stream both stress threads can regenerate.
uint8_t StreamByte(uint64_t i)
{
    uint64_t x = i * 0x9E3779B97F4A7C15ull;
    x ^= x >> 29;
    return uint8_t(x ^ (x >> 17));
}

std::vector<uint8_t> Bytes(int count, int first)
{
    std::vector<uint8_t> bytes(size_t(std::max(count, 0)));
    for (int i = 0; i < count; ++i)
        bytes[size_t(i)] = uint8_t(first + i);
    return bytes;
}

} // namespace

class TstRingBuffer : public QObject
{
    Q_OBJECT

private slots:
    void fresh()
    {
        CRingBuffer ring;
        ring.Allocate(16);
        QCOMPARE(ring.GetUsed(), 0);
        QCOMPARE(ring.GetFree(), 15);
    }

    // Each row: a buffer of `size`, `fill` bytes put then `drain` taken (the stream is
    // 0, 1, 2, ...), then one put or take of `count`. Checked: the result, both
    // positions, and that the bytes still held come out in stream order afterwards.
    void operation_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("fill");
        QTest::addColumn<int>("drain");
        QTest::addColumn<bool>("isPut");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("readPos");
        QTest::addColumn<int>("writePos");

        QTest::newRow("fill to 15 of 16") << 16 << 0 << 0 << true << 15 << 1 << 0 << 15;
        QTest::newRow("one more than full") << 16 << 15 << 0 << true << 1 << 0 << 0 << 15;
        QTest::newRow("wrapping put 4+2") << 16 << 12 << 10 << true << 6 << 1 << 10 << 2;
        QTest::newRow("put ends at end") << 16 << 12 << 12 << true << 4 << 1 << 12 << 0;
        QTest::newRow("put too big after wrap") << 16 << 12 << 10 << true << 14 << 0 << 10 << 12;
        QTest::newRow("take more than used") << 16 << 9 << 2 << false << 8 << 0 << 2 << 9;
        QTest::newRow("take all") << 16 << 9 << 2 << false << 7 << 1 << 9 << 9;
        QTest::newRow("empty put") << 16 << 3 << 1 << true << 0 << 1 << 1 << 3;
        QTest::newRow("empty take") << 16 << 3 << 1 << false << 0 << 1 << 1 << 3;
        QTest::newRow("negative put") << 16 << 3 << 1 << true << -1 << 0 << 1 << 3;
        QTest::newRow("negative take") << 16 << 3 << 1 << false << -1 << 0 << 1 << 3;
        QTest::newRow("no storage put") << 0 << 0 << 0 << true << 1 << 0 << 0 << 0;
        QTest::newRow("no storage take") << 0 << 0 << 0 << false << 1 << 0 << 0 << 0;
    }
    void operation()
    {
        QFETCH(int, size);
        QFETCH(int, fill);
        QFETCH(int, drain);
        QFETCH(bool, isPut);
        QFETCH(int, count);
        QFETCH(int, result);
        QFETCH(int, readPos);
        QFETCH(int, writePos);

        CRingBuffer ring;
        if (size)
            ring.Allocate(size);
        std::vector<uint8_t> scratch(64);
        QVERIFY(ring.Put(Bytes(fill, 0).data(), fill));
        QVERIFY(ring.Take(scratch.data(), drain));

        int next = fill;   // next stream byte to put
        int first = drain; // next stream byte expected out
        if (isPut) {
            QCOMPARE(ring.Put(Bytes(count, next).data(), count), result);
            if (result)
                next += count;
        } else {
            std::vector<uint8_t> out(size_t(std::max(count, 0)), 0xEE);
            QCOMPARE(ring.Take(out.data(), count), result);
            if (result) {
                QCOMPARE(out, Bytes(count, first));
                first += count;
            } else {
                QVERIFY(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0xEE; }));
            }
        }
        QCOMPARE(ring.GetReadPos(), readPos);
        QCOMPARE(ring.GetWritePos(), writePos);
        QCOMPARE(ring.GetUsed(), next - first);
        QCOMPARE(ring.GetFree(), size ? size - 1 - (next - first) : 0);
        std::vector<uint8_t> rest(size_t(next - first));
        QVERIFY(ring.Take(rest.data(), next - first));
        QCOMPARE(rest, Bytes(next - first, first));
    }

    void freeResets()
    {
        CRingBuffer ring;
        ring.Allocate(16);
        QVERIFY(ring.Put("abc", 3));
        ring.Free();
        QCOMPARE(ring.GetUsed(), 0);
        QCOMPARE(ring.GetFree(), 0);
        QCOMPARE(ring.GetSize(), 0);
        QCOMPARE(ring.Put("a", 1), 0);
    }

    // One producer and one consumer thread move at least 100 MB in random block sizes;
    // every byte is checked against the stream and the checksums of both sides must agree.
    void twoThreadStress_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("maxBlock");
        QTest::newRow("odd small ring") << 4099 << 3000;
        QTest::newRow("channel ring") << 0x90000 << 2048;
    }
    void twoThreadStress()
    {
        QFETCH(int, size);
        QFETCH(int, maxBlock);
        constexpr uint64_t TOTAL = 100ull * 1000 * 1000;
        CRingBuffer ring;
        ring.Allocate(size);

        uint64_t producerSum = 0;
        std::thread producer([&] {
            std::mt19937 random(1);
            std::uniform_int_distribution<int> blockSize(1, maxBlock);
            std::vector<uint8_t> block(static_cast<size_t>(maxBlock));
            uint64_t sent = 0;
            while (sent < TOTAL) {
                const int n = int(std::min<uint64_t>(uint64_t(blockSize(random)), TOTAL - sent));
                for (int i = 0; i < n; ++i) {
                    block[size_t(i)] = StreamByte(sent + uint64_t(i));
                    producerSum = producerSum * 31 + block[size_t(i)];
                }
                while (!ring.Put(block.data(), n))
                    std::this_thread::yield();
                sent += uint64_t(n);
            }
        });

        std::mt19937 random(2);
        std::uniform_int_distribution<int> takeSize(1, maxBlock);
        std::vector<uint8_t> block(static_cast<size_t>(maxBlock));
        uint64_t received = 0;
        uint64_t consumerSum = 0;
        uint64_t firstMismatch = UINT64_MAX;
        while (received < TOTAL) {
            const int want = int(std::min<uint64_t>(uint64_t(takeSize(random)), TOTAL - received));
            const int n = std::min(want, int(ring.GetUsed()));
            if (n == 0 || !ring.Take(block.data(), n)) {
                std::this_thread::yield();
                continue;
            }
            for (int i = 0; i < n; ++i) {
                const uint8_t b = block[size_t(i)];
                consumerSum = consumerSum * 31 + b;
                if (b != StreamByte(received + uint64_t(i)) && firstMismatch == UINT64_MAX)
                    firstMismatch = received + uint64_t(i);
            }
            received += uint64_t(n);
        }
        producer.join();
        QCOMPARE(firstMismatch, UINT64_MAX);
        QCOMPARE(consumerSum, producerSum);
        QCOMPARE(ring.GetUsed(), 0);
    }
};

QTEST_GUILESS_MAIN(TstRingBuffer)
#include "tst_ringbuffer.moc"

// The simulated reader, driven over its pseudo-terminal (or its socket) through the port map
// link it makes.

#include "link/SerialPort.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <poll.h>
#include <unistd.h>

namespace {

constexpr int DEADLINE_MS = 10000;   // generous: the machine is shared; never a speed assertion

QString simPath()
{
    return qEnvironmentVariable("RFID_BINARY_DIR") + QStringLiteral("/tools/reader-sim/reader-sim");
}

// One running simulator with its registration line parsed.
struct Sim
{
    QProcess process;
    int comNumber = 0;
    QString slavePath;

    bool start(const QStringList &args)
    {
        process.start(simPath(), args);
        return process.waitForStarted(DEADLINE_MS) && readRegistration();
    }
    bool readRegistration()
    {
        while (!process.canReadLine())
            if (!process.waitForReadyRead(DEADLINE_MS))
                return false;
        const QStringList parts = QString::fromLocal8Bit(process.readLine()).trimmed().split(QLatin1Char(' '));
        if (parts.size() != 2 || !parts[0].startsWith(QLatin1String("COM")))
            return false;
        comNumber = parts[0].mid(3).toInt();
        slavePath = parts[1];
        return comNumber > 0;
    }
    ~Sim()
    {
        process.terminate();
        process.waitForFinished(DEADLINE_MS);
    }
};

// The far side of the line as the tool holds it: its own serial port, on a terminal or, as
// a link to a socket, on a stream socket.
struct Line
{
    CSerialPort port;
    int fd = -1;
    explicit Line(const QString &path) { port.Open(path, SerialLineSettings()); fd = port.Handle(); }

    bool write(const QByteArray &bytes) { return ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size(); }

    // Reads until `until` has arrived, the line hangs up or the deadline passes.
    QByteArray readUntil(const QByteArray &until, bool *hungUp = nullptr)
    {
        QByteArray got;
        QDeadlineTimer deadline(DEADLINE_MS);
        while (!got.endsWith(until) && !deadline.hasExpired()) {
            pollfd p { fd, POLLIN, 0 };
            if (::poll(&p, 1, int(deadline.remainingTime())) <= 0)
                break;
            if (p.revents & (POLLHUP | POLLERR)) {
                if (hungUp)
                    *hungUp = true;
                break;
            }
            char buf[1024];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0)
                got.append(buf, n);
        }
        return got;
    }
};

} // namespace

class TestReaderSim : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void answers_data();
    void answers();
    void pacedInventory_data();
    void pacedInventory();
    void linkRemovedOnTerminate();
    void hangsUp();
    void hangsUpAndComesBack_data();
    void hangsUpAndComesBack();

private:
    QTemporaryDir m_dir;
    QString ports() const { return m_dir.path() + QStringLiteral("/ports"); }
};

void TestReaderSim::initTestCase()
{
    if (!QFileInfo(simPath()).isExecutable())
        QSKIP("reader-sim is not built (RFID_BINARY_DIR unset or target missing)");
    QVERIFY(m_dir.isValid());
}

void TestReaderSim::answers_data()
{
    QTest::addColumn<QString>("split");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("reply");
    for (const char *split : { "0", "3" }) {
        const QByteArray tag = QByteArray(" split ") + split;
        QTest::newRow("ver" + tag) << split << QByteArray("ver") << QByteArray("ver\r\nver=RFID reader simulator 1.0\r\n$>");
        QTest::newRow("g,txp" + tag) << split << QByteArray("g,txp") << QByteArray("g,txp\r\nok,-45\r\n$>");
        QTest::newRow("unknown" + tag) << split << QByteArray("bogus") << QByteArray("bogus\r\nerr=1\r\n$>");
        QTest::newRow("single inventory" + tag) << split << QByteArray("i,1,0,0")
            << QByteArray("i,1,0,0\r\nE20000000000000100000000\r\nend=1\r\n$>");
    }
}

void TestReaderSim::answers()
{
    QFETCH(QString, split);
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, reply);
    const QString record = m_dir.path() + QStringLiteral("/record.txt");
    Sim sim;
    QVERIFY(sim.start({ "--ports-folder", ports(), "--split", split, "--txp", "-45", "--record", record }));
    QVERIFY(sim.comNumber >= 200);
    Line line(ports() + QStringLiteral("/COM%1").arg(sim.comNumber));
    QVERIFY(line.fd >= 0);
    QVERIFY(line.write(command + "\r\n"));
    QCOMPARE(line.readUntil("$>"), reply);

    QFile file(record);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), command + "\n");
}

// A paced inventory sends every tag once, in order, then its end: at a rate below the timer's
// grain, and at a thousand tags a tick.
void TestReaderSim::pacedInventory_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("tags");
    QTest::newRow("30 a second") << 30 << 4;
    QTest::newRow("a million a second") << 1000000 << 20000;
}

void TestReaderSim::pacedInventory()
{
    QFETCH(int, rate);
    QFETCH(int, tags);
    Sim sim;
    QVERIFY(sim.start({"--ports-folder", ports(), "--rate", QString::number(rate), "--tags", QString::number(tags)}));
    Line line(ports() + QStringLiteral("/COM%1").arg(sim.comNumber));
    QVERIFY(line.fd >= 0);
    QVERIFY(line.write("i,0,0,0\r\n"));
    QByteArray expected = "i,0,0,0\r\n";
    for (int i = 0; i < tags; ++i)
        expected += "E200" + QByteArray::number(quint64(1) << 32 | quint32(i), 16).toUpper().rightJustified(20, '0') + "\r\n";
    QCOMPARE(line.readUntil("$>"), expected + "end=" + QByteArray::number(tags) + "\r\n$>");
}

void TestReaderSim::linkRemovedOnTerminate()
{
    Sim sim;
    QVERIFY(sim.start({ "--ports-folder", ports(), "--com", "231" }));
    QCOMPARE(sim.comNumber, 231);
    const QString link = ports() + QStringLiteral("/COM231");
    QCOMPARE(QFileInfo(link).symLinkTarget(), sim.slavePath);
    sim.process.terminate();
    QVERIFY(sim.process.waitForFinished(DEADLINE_MS));
    QVERIFY(!QFileInfo(link).isSymLink());
}

void TestReaderSim::hangsUp()
{
    Sim sim;
    QVERIFY(sim.start({ "--ports-folder", ports(), "--hangup-after", "300" }));
    Line line(sim.slavePath);
    QVERIFY(line.fd >= 0);
    bool hungUp = false;
    line.readUntil("never sent", &hungUp);
    QVERIFY(hungUp);
    QVERIFY(sim.process.waitForFinished(DEADLINE_MS));
    QVERIFY(!QFileInfo(ports() + QStringLiteral("/COM%1").arg(sim.comNumber)).isSymLink());
}

void TestReaderSim::hangsUpAndComesBack_data()
{
    QTest::addColumn<bool>("socket");   // the next connection is the reader back; else a new terminal
    QTest::newRow("terminal") << false;
    QTest::newRow("socket") << true;
}

void TestReaderSim::hangsUpAndComesBack()
{
    QFETCH(bool, socket);
    Sim sim;
    QVERIFY(sim.start(QStringList{ "--ports-folder", ports(), "--hangup-after", "300" }
                      + (socket ? QStringList{ "--socket" } : QStringList{ "--return-after", "100" })));
    const int number = sim.comNumber;
    {
        Line line(ports() + QStringLiteral("/COM%1").arg(number));
        QVERIFY(line.fd >= 0);
        bool hungUp = false;
        line.readUntil("never sent", &hungUp);
        QVERIFY(hungUp);
    }
    QVERIFY(socket || sim.readRegistration());
    QCOMPARE(sim.comNumber, number);
    Line again(ports() + QStringLiteral("/COM%1").arg(number));
    QVERIFY(again.fd >= 0);
    QVERIFY(again.write("ver\r\n"));
    QVERIFY(again.readUntil("$>").startsWith("ver\r\n"));
}

QTEST_GUILESS_MAIN(TestReaderSim)
#include "tst_readersim.moc"

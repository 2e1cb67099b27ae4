#include "platform/SerialPort.h"

#include <QtTest>

#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// A pseudo-terminal with a descriptor of the test's own on its slave side, through which
// the test sees (and sets) the terminal's exclusive mode as another program would.
struct Terminal
{
    int master = -1;
    int watcher = -1;
    QString slave;

    bool open()
    {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
            return false;
        slave = QString::fromLocal8Bit(::ptsname(master));
        watcher = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
        return watcher >= 0;
    }
    int exclusive() const
    {
        int on = -1;
        return ::ioctl(watcher, TIOCGEXCL, &on) == 0 ? on : -1;
    }
    ~Terminal()
    {
        if (watcher >= 0)
            ::close(watcher);
        if (master >= 0)
            ::close(master);
    }
};

} // namespace

// The lost link from modem lines is DSR and carrier detect changing between two samples;
// the channel posts a line drop only when both bits come back.
class TstSerialPort : public QObject
{
    Q_OBJECT

private slots:
    void modemLineEvents_data()
    {
        QTest::addColumn<int>("previous");
        QTest::addColumn<int>("current");
        QTest::addColumn<uint>("events");
        const uint both = platform::kSerialDsr | platform::kSerialRlsd;
        QTest::newRow("no change") << (TIOCM_DSR | TIOCM_CD) << (TIOCM_DSR | TIOCM_CD) << 0u;
        QTest::newRow("both drop") << (TIOCM_DSR | TIOCM_CD) << 0 << both;
        QTest::newRow("both rise") << 0 << (TIOCM_DSR | TIOCM_CD | TIOCM_CTS) << both;
        QTest::newRow("DSR alone") << (TIOCM_DSR | TIOCM_CD) << TIOCM_CD << uint(platform::kSerialDsr);
        QTest::newRow("DCD alone") << (TIOCM_DSR | TIOCM_CD) << TIOCM_DSR << uint(platform::kSerialRlsd);
        QTest::newRow("other lines only") << TIOCM_CTS << TIOCM_RNG << 0u;
    }
    void modemLineEvents()
    {
        QFETCH(int, previous);
        QFETCH(int, current);
        QFETCH(uint, events);
        QCOMPARE(platform::ModemLineEvents(previous, current), events);
    }

    // A second open of a port in use fails even for root, whom TIOCEXCL lets through: the
    // holder is another port (flock) or a program that only set the exclusive mode, which
    // the refused open must leave as it was. The holder's release frees the port.
    void secondOpenRefused_data()
    {
        QTest::addColumn<bool>("holderIsPort");
        QTest::newRow("held by another port") << true;
        QTest::newRow("held in exclusive mode by a program") << false;
    }
    void secondOpenRefused()
    {
        QFETCH(bool, holderIsPort);
        Terminal terminal;
        QVERIFY(terminal.open());
        platform::SerialPort holder;
        if (holderIsPort)
            QVERIFY(holder.Open(terminal.slave, {}));
        else
            QCOMPARE(::ioctl(terminal.watcher, TIOCEXCL), 0);
        platform::SerialPort second;
        QVERIFY(!second.Open(terminal.slave, {}));
        QVERIFY(!second.IsOpen());
        QCOMPARE(terminal.exclusive(), 1);
        if (holderIsPort)
            holder.Close();
        else
            QCOMPARE(::ioctl(terminal.watcher, TIOCNXCL), 0);
        QVERIFY(second.Open(terminal.slave, {}));
    }

    // The exclusive mode belongs to the terminal and outlives a descriptor: every way the
    // port's use ends must end it, or nobody but root could open the port again.
    void exclusiveModeEndsWithUse_data()
    {
        QTest::addColumn<QString>("ending");
        QTest::newRow("Close") << "close";
        QTest::newRow("destructor") << "destroy";
        QTest::newRow("settings refused") << "refused";
    }
    void exclusiveModeEndsWithUse()
    {
        QFETCH(QString, ending);
        Terminal terminal;
        QVERIFY(terminal.open());
        {
            platform::SerialPort port;
            platform::SerialLineSettings settings;
            if (ending == QLatin1String("refused"))
                settings.baudRate = 12345;
            QCOMPARE(port.Open(terminal.slave, settings), ending != QLatin1String("refused"));
            if (port.IsOpen())
                QCOMPARE(terminal.exclusive(), 1);
            if (ending == QLatin1String("close"))
                port.Close();
        }
        QCOMPARE(terminal.exclusive(), 0);
    }
};

QTEST_GUILESS_MAIN(TstSerialPort)
#include "tst_serialport.moc"

#include "link/SerialPort.h"

#include <QtTest>

#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

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
        const uint both = kSerialDsr | kSerialRlsd;
        QTest::newRow("no change") << (TIOCM_DSR | TIOCM_CD) << (TIOCM_DSR | TIOCM_CD) << 0u;
        QTest::newRow("both drop") << (TIOCM_DSR | TIOCM_CD) << 0 << both;
        QTest::newRow("both rise") << 0 << (TIOCM_DSR | TIOCM_CD | TIOCM_CTS) << both;
        QTest::newRow("DSR alone") << (TIOCM_DSR | TIOCM_CD) << TIOCM_CD << uint(kSerialDsr);
        QTest::newRow("DCD alone") << (TIOCM_DSR | TIOCM_CD) << TIOCM_DSR << uint(kSerialRlsd);
        QTest::newRow("other lines only") << TIOCM_CTS << TIOCM_RNG << 0u;
    }
    void modemLineEvents()
    {
        QFETCH(int, previous);
        QFETCH(int, current);
        QFETCH(uint, events);
        QCOMPARE(ModemLineEvents(previous, current), events);
    }

    // A second open of a port in use fails even for root, whom TIOCEXCL lets through.
    void secondOpenRefused()
    {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(master >= 0);
        QVERIFY(::grantpt(master) == 0 && ::unlockpt(master) == 0);
        const QString slave = QString::fromLocal8Bit(::ptsname(master));
        CSerialPort first;
        CSerialPort second;
        QVERIFY(first.Open(slave, {}));
        QVERIFY(!second.Open(slave, {}));
        QVERIFY(!second.IsOpen());
        first.Close();
        QVERIFY(second.Open(slave, {}));
        second.Close();
        ::close(master);
    }

    // The exclusive mode belongs to the terminal and outlives a descriptor: every end of
    // the port's use must end it, or nobody but root could open the port again. A terminal
    // a program already holds in that mode is refused, even to root, and left as it was.
    void exclusiveMode_data()
    {
        QTest::addColumn<QString>("ending");
        QTest::newRow("Close") << "close";
        QTest::newRow("destructor") << "destroy";
        QTest::newRow("settings refused") << "refused";
        QTest::newRow("held by a program") << "held";
    }
    void exclusiveMode()
    {
        QFETCH(QString, ending);
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
        const int watcher = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);   // the program
        QVERIFY(watcher >= 0);
        auto exclusive = [watcher] { int on = -1; ::ioctl(watcher, TIOCGEXCL, &on); return on; };
        if (ending == QLatin1String("held"))
            QCOMPARE(::ioctl(watcher, TIOCEXCL), 0);
        {
            CSerialPort port;
            SerialLineSettings settings;
            if (ending == QLatin1String("refused"))
                settings.baudRate = 12345;
            QCOMPARE(port.Open(QString::fromLocal8Bit(::ptsname(master)), settings), ending == "close" || ending == "destroy");
            QCOMPARE(exclusive(), int(port.IsOpen() || ending == QLatin1String("held")));
            if (ending == QLatin1String("close"))
                port.Close();
        }
        QCOMPARE(exclusive(), int(ending == QLatin1String("held")));
        ::close(watcher);
        ::close(master);
    }
};

QTEST_GUILESS_MAIN(TstSerialPort)
#include "tst_serialport.moc"

#include "platform/AtomicIniFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <cstdio>

using platform::CAtomicIniFile;
using platform::IniValues;

namespace {

constexpr char kWriterArgument[] = "--write-loop";
constexpr int kKills = 1000;
constexpr int kKeysPerSection = 10;
constexpr int kMaxKillDelayUs = 20000;
constexpr int kStartTimeoutMs = 30000;
constexpr char kWritingMark[] = "writing\n";

// One complete set of settings in which every value carries the generation number, so a
// mix of two sets or a lost value shows.
IniValues generation(int gen)
{
    IniValues values;
    for (int i = 0; i < kKeysPerSection; ++i) {
        values[QStringLiteral("Config")][QStringLiteral("Key%1").arg(i)] = QString::number(gen);
        values[QStringLiteral("Example History Combos")][QStringLiteral("HistoryItem%1").arg(i)] =
            QStringLiteral("i,%1,0,0 \"gen\" %2").arg(i).arg(gen);
    }
    return values;
}

int writeLoop(const QString &path)
{
    const CAtomicIniFile file(path);
    // Tells the test that the writes begin now: the kill delay counts from here, however
    // long the process took to start (much longer under a sanitizer or a loaded machine).
    std::fputs(kWritingMark, stdout);
    std::fflush(stdout);
    for (int gen = 1;; ++gen)
        file.write(generation(gen));
}

} // namespace

class tst_AtomicIniFile : public QObject
{
    Q_OBJECT

private slots:
    void roundTripBothWays_data();
    void roundTripBothWays();
    void killsDuringWrites();

private:
    QTemporaryDir m_dir;
    int m_fileIndex = 0;
};

void tst_AtomicIniFile::roundTripBothWays_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::newRow("integer") << "Config" << "ComPort1" << "65535";
    QTest::newRow("negative") << "Config" << "ComPort1" << "-1";
    QTest::newRow("comma list") << "Example History Combos" << "HistoryItem0" << "i,0,0,0";
    QTest::newRow("quotes and backslash") << "Example History Combos" << "HistoryItem" << "a\\r\\n=\"q\";#b";
    QTest::newRow("leading at sign") << "Example History Combos" << "HistoryItem1" << "@String(x)";
    QTest::newRow("outer spaces") << "Example History Combos" << "HistoryItem2" << "  w,1  ";
    QTest::newRow("control then hex digit") << "Example History Combos" << "HistoryItem3"
                                             << QStringLiteral("\x01" "Ab\x1f" "9\t\r\n");
    QTest::newRow("hangul") << "Example History Combos" << "HistoryItem4" << QStringLiteral("w,\uD55C\uAE00");
    QTest::newRow("empty text") << "Example History Combos" << "HistoryItem5" << "";
    QTest::newRow("odd names") << "Sec tion\u00e9" << "k%e y" << "v";
}

void tst_AtomicIniFile::roundTripBothWays()
{
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    // A fresh file name each time: the toolkit caches parsed files by name.
    const QString ours = m_dir.filePath(QStringLiteral("ours%1.ini").arg(++m_fileIndex));
    const QString theirs = m_dir.filePath(QStringLiteral("theirs%1.ini").arg(m_fileIndex));

    IniValues values;
    values[section][key] = value;
    values[QStringLiteral("Config")][QStringLiteral("EnableWedge")] = QStringLiteral("1");
    QVERIFY(CAtomicIniFile(ours).write(values));
    IniValues back;
    QVERIFY(CAtomicIniFile(ours).read(back));
    QCOMPARE(back, values);

    // The toolkit reads what we write...
    const QSettings reader(ours, QSettings::IniFormat);
    QCOMPARE(reader.value(section + QLatin1Char('/') + key).toString(), value);
    QCOMPARE(reader.value(QStringLiteral("Config/EnableWedge")).toInt(), 1);

    // ...and we read what the toolkit writes, as existing users' files were.
    {
        QSettings writer(theirs, QSettings::IniFormat);
        writer.setValue(section + QLatin1Char('/') + key, value);
        writer.setValue(QStringLiteral("Config/EnableWedge"), 1);
    }
    QVERIFY(CAtomicIniFile(theirs).read(back));
    QCOMPARE(back, values);
}

void tst_AtomicIniFile::killsDuringWrites()
{
    const QString path = m_dir.filePath(QStringLiteral("killed.ini"));
    const CAtomicIniFile file(path);
    QVERIFY(file.write(generation(0)));
    int lastGeneration = 0;
    int changes = 0;
    auto *random = QRandomGenerator::global();
    for (int kill = 0; kill < kKills; ++kill) {
        QProcess writer;
        writer.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(kWriterArgument), path});
        QVERIFY(writer.waitForStarted());
        QVERIFY(writer.waitForReadyRead(kStartTimeoutMs));
        QThread::usleep(random->bounded(kMaxKillDelayUs));
        writer.kill();
        QVERIFY(writer.waitForFinished());

        IniValues values;
        QVERIFY(file.read(values));
        // Either the set that was there or one complete newer set, never a mix or a cut.
        const int gen = values.value(QStringLiteral("Config")).value(QStringLiteral("Key0")).toInt();
        QVERIFY2(values == generation(gen), qPrintable(QStringLiteral("kill %1: mixed or cut set").arg(kill)));
        changes += gen != lastGeneration ? 1 : 0;
        lastGeneration = gen;
    }
    // The kills did land while files were being replaced, not only before the first write.
    QVERIFY2(changes > kKills / 10, qPrintable(QString::number(changes)));

    file.removeStaleTemporaries();
    const QStringList left = QDir(m_dir.path()).entryList({QStringLiteral("killed.ini.*")}, QDir::Files);
    QVERIFY2(left.isEmpty(), qPrintable(left.join(QLatin1Char(' '))));
}

int main(int argc, char **argv)
{
    if (argc == 3 && qstrcmp(argv[1], kWriterArgument) == 0) {
        QCoreApplication app(argc, argv);
        return writeLoop(QString::fromLocal8Bit(argv[2]));
    }
    QCoreApplication app(argc, argv);
    tst_AtomicIniFile test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_atomicinifile.moc"

#include "settings/IniText.h"
#include "settings/SettingsStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char WRITER_ARGUMENT[] = "--write-loop";
constexpr int KILLS = 1000;
constexpr int KEYS_PER_SECTION = 10;
constexpr int MAX_KILL_DELAY_US = 20000;
constexpr int START_TIMEOUT_MS = 30000;
constexpr char WRITING_MARK[] = "writing\n";

// One complete set of settings in which every value carries the generation number, so a
// mix of two sets or a lost value shows.
IniValues generation(int gen)
{
    IniValues values;
    for (int i = 0; i < KEYS_PER_SECTION; ++i) {
        values[QStringLiteral("Config")][QStringLiteral("Key%1").arg(i)] = QString::number(gen);
        values[QStringLiteral("Example History Combos")][QStringLiteral("HistoryItem%1").arg(i)] =
            QStringLiteral("i,%1,0,0 \"gen\" %2").arg(i).arg(gen);
    }
    return values;
}

IniChanges changesSetting(const IniValues &values)
{
    IniChanges changes;
    for (auto section = values.cbegin(); section != values.cend(); ++section) {
        for (auto entry = section->cbegin(); entry != section->cend(); ++entry)
            changes[qMakePair(section.key(), entry.key())] = entry.value();
    }
    return changes;
}

// The whole set saved through a store, as one group.
bool writeValues(CSettingsStore &store, const IniValues &values)
{
    store.BeginBatch();
    const IniChanges changes = changesSetting(values);
    for (auto it = changes.cbegin(); it != changes.cend(); ++it)
        store.WriteString(it.key().first, it.key().second, *it.value());
    store.EndBatch();
    return store.Flush();
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int writeLoop(const QString &path)
{
    CSettingsStore store(path);
    // Tells the test that the writes begin now: the kill delay counts from here, however
    // long the process took to start (much longer under a sanitizer or a loaded machine).
    std::fputs(WRITING_MARK, stdout);
    std::fflush(stdout);
    for (int gen = 1;; ++gen)
        writeValues(store, generation(gen));
}

} // namespace

class tst_IniText : public QObject
{
    Q_OBJECT

private slots:
    void roundTripBothWays_data();
    void roundTripBothWays();
    void killsDuringWrites();
    void editKeepsTheRestByteForByte_data();
    void editKeepsTheRestByteForByte();
    void modesAndLinks_data();
    void modesAndLinks();
    void pipeNeitherReadNorReplaced();

private:
    QTemporaryDir m_dir;
    int m_fileIndex = 0;
};

void tst_IniText::roundTripBothWays_data()
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

void tst_IniText::roundTripBothWays()
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
    CIniText text;
    text.apply(changesSetting(values));
    QCOMPARE(CIniText(text.bytes()).values(), values);
    QFile file(ours);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text.bytes()) == text.bytes().size());
    file.close();

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
    QCOMPARE(CIniText(fileBytes(theirs)).values(), values);
}

void tst_IniText::killsDuringWrites()
{
    const QString path = m_dir.filePath(QStringLiteral("killed.ini"));
    {
        CSettingsStore first(path);
        QVERIFY(writeValues(first, generation(0)));
    }
    int lastGeneration = 0;
    int changes = 0;
    auto *random = QRandomGenerator::global();
    for (int kill = 0; kill < KILLS; ++kill) {
        QProcess writer;
        writer.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(WRITER_ARGUMENT), path});
        QVERIFY(writer.waitForStarted());
        QVERIFY(writer.waitForReadyRead(START_TIMEOUT_MS));
        QThread::usleep(random->bounded(MAX_KILL_DELAY_US));
        writer.kill();
        QVERIFY(writer.waitForFinished());

        const IniValues values = CIniText(fileBytes(path)).values();
        // Either the set that was there or one complete newer set, never a mix or a cut.
        const int gen = values.value(QStringLiteral("Config")).value(QStringLiteral("Key0")).toInt();
        QVERIFY2(values == generation(gen), qPrintable(QStringLiteral("kill %1: mixed or cut set").arg(kill)));
        changes += gen != lastGeneration ? 1 : 0;
        lastGeneration = gen;
    }
    // The kills did land while files were being replaced, not only before the first write.
    QVERIFY2(changes > KILLS / 10, qPrintable(QString::number(changes)));
}

void tst_IniText::editKeepsTheRestByteForByte_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");   // null: removed
    QTest::addColumn<QByteArray>("expected");
    const QString config = QStringLiteral("Config");
    QTest::newRow("comments, unknown keys") << QByteArray("; mine\n[Config]\nA = x y \n#n\nEnableWedge=0\n\n[U]\nb=\"1\"\n")
        << config << "EnableWedge" << "1" << QByteArray("; mine\n[Config]\nA = x y \n#n\nEnableWedge=1\n\n[U]\nb=\"1\"\n");
    QTest::newRow("crlf and spaced key") << QByteArray("[Config]\r\n EnableWedge = 0\r\nk=1\r\n") << config
        << "EnableWedge" << "w,1" << QByteArray("[Config]\r\n EnableWedge =\"w,1\"\r\nk=1\r\n");
    QTest::newRow("new key after the last value") << QByteArray("[Config]\nA=1\n\n; c\n[B]\nx=1\n") << config
        << "EnableWedge" << "1" << QByteArray("[Config]\nA=1\nEnableWedge=1\n\n; c\n[B]\nx=1\n");
    QTest::newRow("no final line feed") << QByteArray("[Config]\nA=1") << config << "EnableWedge" << "1"
                                        << QByteArray("[Config]\nA=1\nEnableWedge=1\n");
    QTest::newRow("new section at the end") << QByteArray("[Config]\nA=1") << "Example History Combos"
        << "HistoryItem0" << "ver" << QByteArray("[Config]\nA=1\n\n[Example%20History%20Combos]\nHistoryItem0=\"ver\"\n");
    QTest::newRow("removed where twice") << QByteArray("[Config]\nAA=1\n[B]\nAA=3\n[Config]\nA%41=2\n") << config
                                         << "AA" << QString() << QByteArray("[Config]\n[B]\nAA=3\n[Config]\n");
    QTest::newRow("first of twice set") << QByteArray("[Config]\nA=1\nA=2\nB=0\n") << config << "A" << "5"
                                        << QByteArray("[Config]\nA=1\nA=5\nB=0\n");
    QTest::newRow("no settings kept as text") << QByteArray("[Config]\n =x\ngarbage\n\r=\n") << config << "A" << "1"
                                              << QByteArray("[Config]\nA=1\n =x\ngarbage\n\r=\n");
    QTest::newRow("empty key left out") << QByteArray("[Config]\nA=1\n") << config << "" << "1"
                                        << QByteArray("[Config]\nA=1\n");
    QTest::newRow("byte order mark kept") << QByteArray("\xEF\xBB\xBF[Config]\nk=2\n") << config << "k" << "3"
                                          << QByteArray("\xEF\xBB\xBF[Config]\nk=3\n");
    QTest::newRow("first line gone, a mark-like key first") << QByteArray("k=1\n\xEF\xBB\xBFx=2\n") << "" << "k"
        << QString() << QByteArray("\xEF\xBB\xBF\xEF\xBB\xBFx=2\n");
    QTest::newRow("escaped General") << QByteArray("[%General]\nk=2\n") << "General" << "k" << "\n"
                                     << QByteArray("[%General]\nk=\"\\n\"\n");
}

void tst_IniText::editKeepsTheRestByteForByte()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QByteArray, expected);
    CIniText text(file);
    QCOMPARE(text.bytes(), file);
    IniChanges changes;
    changes[qMakePair(section, key)] = value.isNull() ? std::nullopt : std::optional<QString>(value);
    text.apply(changes);
    QCOMPARE(text.bytes(), expected);
    // What is read back is what the change made of the values.
    IniValues values = CIniText(file).values();
    if (value.isNull() && values[section].remove(key) && values[section].isEmpty())
        values.remove(section);
    else if (!value.isNull() && !key.isEmpty())
        values[section][key] = value;
    QCOMPARE(CIniText(expected).values(), values);
}

void tst_IniText::modesAndLinks_data()
{
    QTest::addColumn<int>("oldMode");     // -1: no file yet
    QTest::addColumn<bool>("linked");     // the settings file is a link into another folder
    QTest::addColumn<int>("newMode");
    QTest::newRow("new file") << -1 << false << 0600;
    QTest::newRow("own mode kept") << 0640 << false << 0640;
    QTest::newRow("link to file") << 0644 << true << 0644;
    QTest::newRow("link to world-writable") << 0666 << true << 0666;
    QTest::newRow("dangling link") << -1 << true << 0600;
}

void tst_IniText::modesAndLinks()
{
    QFETCH(int, oldMode);
    QFETCH(bool, linked);
    QFETCH(int, newMode);
    ::umask(022);
    QTemporaryDir home;
    QVERIFY(QDir(home.path()).mkpath(QStringLiteral("config")) && QDir(home.path()).mkpath(QStringLiteral("dotfiles")));
    const QString path = home.filePath(QStringLiteral("config/settings.ini"));
    const QString target = linked ? home.filePath(QStringLiteral("dotfiles/settings.ini")) : path;
    if (oldMode >= 0) {
        CSettingsStore old(target);
        QVERIFY(writeValues(old, generation(1)));
        QVERIFY(::chmod(QFile::encodeName(target).constData(), mode_t(oldMode)) == 0);
    }
    if (linked)
        QVERIFY(QFile::link(QStringLiteral("../dotfiles/settings.ini"), path));

    CSettingsStore store(path);
    QVERIFY(writeValues(store, generation(2)));
    QCOMPARE(QFileInfo(path).isSymLink(), linked);
    struct stat st = {};
    QVERIFY(::stat(QFile::encodeName(target).constData(), &st) == 0);
    QCOMPARE(int(st.st_mode & 07777), newMode);
    QCOMPARE(CIniText(fileBytes(target)).values(), generation(2));
}

void tst_IniText::pipeNeitherReadNorReplaced()
{
    QTemporaryDir home;
    const QString pipe = home.filePath(QStringLiteral("pipe"));
    QVERIFY(::mkfifo(QFile::encodeName(pipe).constData(), 0600) == 0);
    QVERIFY(QFile::link(pipe, home.filePath(QStringLiteral("settings.ini"))));
    for (const QString &path : {pipe, home.filePath(QStringLiteral("settings.ini"))}) {
        // At once: no writer ever opens the pipe.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("not read \\(.*\\): defaults are used$")));
        CSettingsStore store(path);
        QVERIFY(!writeValues(store, generation(1)));
        struct stat st = {};
        QVERIFY(::lstat(QFile::encodeName(pipe).constData(), &st) == 0 && S_ISFIFO(st.st_mode));
    }
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], WRITER_ARGUMENT) == 0)
        return writeLoop(QString::fromLocal8Bit(argv[2]));
    tst_IniText test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_initext.moc"

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

// The whole file made of the values.
bool writeValues(const CAtomicIniFile &file, const IniValues &values)
{
    return file.write(CIniDocument(), ChangesSetting(values));
}

bool readValues(const CAtomicIniFile &file, IniValues &values)
{
    std::shared_ptr<const CIniDocument> document;
    if (!file.read(document))
        return false;
    values = document->values();
    return true;
}

int writeLoop(const QString &path)
{
    const CAtomicIniFile file(path);
    // Tells the test that the writes begin now: the kill delay counts from here, however
    // long the process took to start (much longer under a sanitizer or a loaded machine).
    std::fputs(WRITING_MARK, stdout);
    std::fflush(stdout);
    for (int gen = 1;; ++gen)
        writeValues(file, generation(gen));
}

} // namespace

class tst_AtomicIniFile : public QObject
{
    Q_OBJECT

private slots:
    void roundTripBothWays_data();
    void roundTripBothWays();
    void killsDuringWrites();
    void contentReadsBackOrIsDropped_data();
    void contentReadsBackOrIsDropped();
    void editKeepsTheRestByteForByte_data();
    void editKeepsTheRestByteForByte();
    void modesAndLinks_data();
    void modesAndLinks();
    void pipeNeitherReadNorReplaced();

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
    QVERIFY(writeValues(CAtomicIniFile(ours), values));
    IniValues back;
    QVERIFY(readValues(CAtomicIniFile(ours), back));
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
    QVERIFY(readValues(CAtomicIniFile(theirs), back));
    QCOMPARE(back, values);
}

void tst_AtomicIniFile::killsDuringWrites()
{
    const QString path = m_dir.filePath(QStringLiteral("killed.ini"));
    const CAtomicIniFile file(path);
    QVERIFY(writeValues(file, generation(0)));
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

        IniValues values;
        QVERIFY(readValues(file, values));
        // Either the set that was there or one complete newer set, never a mix or a cut.
        const int gen = values.value(QStringLiteral("Config")).value(QStringLiteral("Key0")).toInt();
        QVERIFY2(values == generation(gen), qPrintable(QStringLiteral("kill %1: mixed or cut set").arg(kill)));
        changes += gen != lastGeneration ? 1 : 0;
        lastGeneration = gen;
    }
    // The kills did land while files were being replaced, not only before the first write.
    QVERIFY2(changes > KILLS / 10, qPrintable(QString::number(changes)));

    // Leftovers of killed writers of older versions had no random part.
    for (const char *dead : {"killed.ini.2147483646.tmp", "killed.ini.2147483646.5eed.tmp"})
        QVERIFY(QFile(m_dir.filePath(QLatin1String(dead))).open(QIODevice::WriteOnly));
    file.removeStaleTemporaries();
    const QStringList left = QDir(m_dir.path()).entryList({QStringLiteral("killed.ini.*")}, QDir::Files);
    QVERIFY2(left.isEmpty(), qPrintable(left.join(QLatin1Char(' '))));
}

void tst_AtomicIniFile::contentReadsBackOrIsDropped_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("key");     // one value the tool sets in "Config"
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("note");    // the warning for what is dropped, if anything
    QTest::addColumn<IniValues>("expected");
    const IniValues wedge{{"Config", {{"EnableWedge", "1"}}}};
    QTest::newRow("key empty after trimming") << QByteArray("[Config]\n =x\n") << "EnableWedge" << "1"
                                              << "line 2 skipped: empty key" << wedge;
    QTest::newRow("carriage return key") << QByteArray("[Config]\n\r=\n") << "EnableWedge" << "1"
                                         << "line 2 skipped: empty key" << wedge;
    QTest::newRow("not a setting") << QByteArray("[Config]\ngarbage\n") << "EnableWedge" << "1"
                                   << "line 2 skipped: not a setting" << wedge;
    QTest::newRow("empty key set") << QByteArray() << "" << "1" << "key \"\" cannot be written" << IniValues();
    QTest::newRow("section above U+00FF")
        << QByteArray("[\xED\x95\x9C\xEA\xB8\x80]\nk=v\n") << "EnableWedge" << "1" << ""
        << IniValues{{"Config", {{"EnableWedge", "1"}}}, {QStringLiteral("\uD55C\uAE00"), {{"k", "v"}}}};
    QTest::newRow("digits and line feed") << QByteArray() << "n" << "12\n" << "" << IniValues{{"Config", {{"n", "12\n"}}}};
    QTest::newRow("byte order mark") << QByteArray("\xEF\xBB\xBF[Config]\nk=2\n") << "EnableWedge" << "1" << ""
                                     << IniValues{{"Config", {{"EnableWedge", "1"}, {"k", "2"}}}};
    QTest::newRow("escaped General") << QByteArray("[%General]\nk=2\n") << "EnableWedge" << "1" << ""
                                     << IniValues{{"Config", {{"EnableWedge", "1"}}}, {"General", {{"k", "2"}}}};
}

void tst_AtomicIniFile::contentReadsBackOrIsDropped()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, note);
    QFETCH(IniValues, expected);
    const QString path = m_dir.filePath(QStringLiteral("content%1.ini").arg(++m_fileIndex));
    QFile raw(path);
    QVERIFY(raw.open(QIODevice::WriteOnly));
    raw.write(file);
    raw.close();

    const CAtomicIniFile ini(path);
    if (!note.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(note) + QLatin1Char('$')));
    std::shared_ptr<const CIniDocument> document;
    QVERIFY(ini.read(document));
    QVERIFY(ini.write(*document, {{qMakePair(QStringLiteral("Config"), key), value}}));
    // Dropped once: the file written no longer holds it, and every later save succeeds.
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
    for (int round = 0; round < 2; ++round) {
        QVERIFY(ini.read(document));
        QCOMPARE(document->values(), expected);
        QVERIFY(ini.write(*document, {}));
    }
}

void tst_AtomicIniFile::editKeepsTheRestByteForByte_data()
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
}

void tst_AtomicIniFile::editKeepsTheRestByteForByte()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QByteArray, expected);
    const CIniDocument document(file);
    IniChanges changes;
    changes[qMakePair(section, key)] = value.isNull() ? std::nullopt : std::optional<QString>(value);
    const QString path = m_dir.filePath(QStringLiteral("edit%1.ini").arg(++m_fileIndex));
    QVERIFY(CAtomicIniFile(path).write(document, changes));
    QFile written(path);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), expected);
    // What is read back is what the change made of the values.
    IniValues values = document.values();
    if (value.isNull() && values[section].remove(key) && values[section].isEmpty())
        values.remove(section);
    else if (!value.isNull())
        values[section][key] = value;
    QCOMPARE(CIniDocument(expected).values(), values);
}

void tst_AtomicIniFile::modesAndLinks_data()
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

void tst_AtomicIniFile::modesAndLinks()
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
        QVERIFY(writeValues(CAtomicIniFile(target), generation(1)));
        QVERIFY(::chmod(QFile::encodeName(target).constData(), mode_t(oldMode)) == 0);
    }
    if (linked)
        QVERIFY(QFile::link(QStringLiteral("../dotfiles/settings.ini"), path));
    // A link planted under the name of every temporary that a writer could predict.
    const QString victim = home.filePath(QStringLiteral("victim"));
    QVERIFY(QFile(victim).open(QIODevice::WriteOnly));
    QVERIFY(QFile::link(victim, path + QStringLiteral(".%1.tmp").arg(::getpid())));

    QVERIFY(writeValues(CAtomicIniFile(path), generation(2)));
    QCOMPARE(QFileInfo(path).isSymLink(), linked);
    QCOMPARE(QFileInfo(victim).size(), 0);
    struct stat st = {};
    QVERIFY(::stat(QFile::encodeName(target).constData(), &st) == 0);
    QCOMPARE(int(st.st_mode & 07777), newMode);
    IniValues back;
    QVERIFY(readValues(CAtomicIniFile(target), back));
    QCOMPARE(back, generation(2));
}

void tst_AtomicIniFile::pipeNeitherReadNorReplaced()
{
    QTemporaryDir home;
    const QString pipe = home.filePath(QStringLiteral("pipe"));
    QVERIFY(::mkfifo(QFile::encodeName(pipe).constData(), 0600) == 0);
    QVERIFY(QFile::link(pipe, home.filePath(QStringLiteral("settings.ini"))));
    for (const QString &path : {pipe, home.filePath(QStringLiteral("settings.ini"))}) {
        std::shared_ptr<const CIniDocument> document;
        QVERIFY(!CAtomicIniFile(path).read(document));   // at once: no writer ever opens the pipe
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("not a regular file$")));
        QVERIFY(!writeValues(CAtomicIniFile(path), generation(1)));
        struct stat st = {};
        QVERIFY(::lstat(QFile::encodeName(pipe).constData(), &st) == 0 && S_ISFIFO(st.st_mode));
    }
}

int main(int argc, char **argv)
{
    if (argc == 3 && qstrcmp(argv[1], WRITER_ARGUMENT) == 0) {
        QCoreApplication app(argc, argv);
        return writeLoop(QString::fromLocal8Bit(argv[2]));
    }
    QCoreApplication app(argc, argv);
    tst_AtomicIniFile test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_atomicinifile.moc"

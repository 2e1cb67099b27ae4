#include "settings/SettingsStore.h"
#include "platform/AtomicFile.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// A tiny file system of its own, so that it can be filled or made read-only without
// touching anything else. Needs the right to mount (root in a container or on CI).
class TinyTmpfs
{
public:
    explicit TinyTmpfs(const QString &folder)
        : m_folder(folder)
    {
        m_mounted = QProcess::execute(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"),
                                                                QStringLiteral("-o"), QStringLiteral("size=64k"),
                                                                QStringLiteral("tmpfs"), folder}) == 0;
    }
    ~TinyTmpfs()
    {
        if (m_mounted)
            QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), m_folder});
    }
    bool mounted() const { return m_mounted; }
    bool makeReadOnly() const
    {
        return QProcess::execute(QStringLiteral("mount"),
                                 {QStringLiteral("-o"), QStringLiteral("remount,ro"), m_folder}) == 0;
    }

private:
    QString m_folder;
    bool m_mounted = false;
};

void fillUp(const QString &folder)
{
    QFile filler(folder + QStringLiteral("/filler"));
    if (!filler.open(QIODevice::WriteOnly))
        return;
    const QByteArray block(1024, 'x');
    while (filler.write(block) == block.size() && filler.flush()) {
    }
}

ino_t inode(const QString &path)
{
    struct stat st = {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

} // namespace

class tst_SettingsStore : public QObject
{
    Q_OBJECT

private slots:
    void defaultsOfEmptyStore_data();
    void defaultsOfEmptyStore();
    void roundTripThroughNewStore_data();
    void roundTripThroughNewStore();
    void userStoreIsTheToolsOwn();
    void readModeToRadios_data();
    void readModeToRadios();
    void failedWriteKeepsOldFile_data();
    void failedWriteKeepsOldFile();
    void writesOnlyChanges_data();
    void writesOnlyChanges();
    void reportOnOwnersThread();
    void tooLargeMovedAside_data();
    void tooLargeMovedAside();
    void killedSavesLeftoversRemoved();

private:
    QString iniPath() const { return m_dir.filePath(QStringLiteral("settings.ini")); }
    QTemporaryDir m_dir;
};

void tst_SettingsStore::defaultsOfEmptyStore_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("defaultInCode");
    QTest::addColumn<int>("expected");
    QTest::newRow("ComPort1") << QString::fromLatin1(CONFIG_COM_PORT) << CONFIG_COM_PORT_DEFAULT << -1;
    QTest::newRow("EnableASCII") << QString::fromLatin1(CONFIG_ENABLE_ASCII) << CONFIG_ENABLE_ASCII_DEFAULT << 0;
    QTest::newRow("AutoStart") << QString::fromLatin1(CONFIG_AUTO_START) << CONFIG_AUTO_START_DEFAULT << 0;
    QTest::newRow("EnableWedge") << QString::fromLatin1(CONFIG_ENABLE_WEDGE) << CONFIG_ENABLE_WEDGE_DEFAULT << 0;
    QTest::newRow("ReadMode") << QString::fromLatin1(CONFIG_READ_MODE) << CONFIG_READ_MODE_DEFAULT << 0;
}

void tst_SettingsStore::defaultsOfEmptyStore()
{
    QFETCH(QString, key);
    QFETCH(int, defaultInCode);
    QFETCH(int, expected);
    QFile::remove(iniPath());
    const CSettingsStore store(iniPath());
    QCOMPARE(ReadConfig(store, key.toLatin1().constData(), defaultInCode), expected);
    QCOMPARE(store.ReadString(QStringLiteral("Example History Combos"), QStringLiteral("HistoryItem0")), QString());
}

void tst_SettingsStore::roundTripThroughNewStore_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("value");
    QTest::newRow("port") << "Config" << "ComPort1" << QVariant(65535);
    QTest::newRow("negative") << "Config" << "ComPort1" << QVariant(-1);
    QTest::newRow("flag") << "Config" << "EnableWedge" << QVariant(1);
    QTest::newRow("string with comma") << "Example History Combos" << "HistoryItem0" << QVariant("i,0,0,0");
    QTest::newRow("string with escapes") << "Example History Combos" << "HistoryItem" << QVariant("a\\r\\n=;#b");
    QTest::newRow("hangul") << "Example History Combos" << "HistoryItem1" << QVariant(QStringLiteral("w,\uD55C"));
}

void tst_SettingsStore::roundTripThroughNewStore()
{
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QVariant, value);
    QFile::remove(iniPath());
    {
        CSettingsStore writer(iniPath());
        if (value.typeId() == QMetaType::Int)
            QVERIFY(writer.WriteInt(section, key, value.toInt()));
        else
            QVERIFY(writer.WriteString(section, key, value.toString()));
        // Flushed, not destroyed: the file must already hold the value.
        QVERIFY(writer.Flush());
        QVERIFY(QFile::exists(iniPath()));
        const CSettingsStore reader(iniPath());
        if (value.typeId() == QMetaType::Int)
            QCOMPARE(reader.ReadInt(section, key, 12345), value.toInt());
        else
            QCOMPARE(reader.ReadString(section, key), value.toString());
        // Set right before the store ends: the end waits for its write.
        QVERIFY(writer.WriteString(section, key + QLatin1Char('x'), QStringLiteral("at exit")));
    }
    CSettingsStore deleter(iniPath());
    QCOMPARE(deleter.ReadString(section, key + QLatin1Char('x')), QStringLiteral("at exit"));
    QVERIFY(deleter.DeleteValue(section, key));
    QVERIFY(deleter.Flush());
    const CSettingsStore afterDelete(iniPath());
    QCOMPARE(afterDelete.ReadInt(section, key, 777), 777);
}

void tst_SettingsStore::userStoreIsTheToolsOwn()
{
    // The user store lives under the tool's organisation and application names, inside the
    // test's private configuration folder.
    const CSettingsStore store;
    const QString file = store.FileName();
    QVERIFY2(file.contains(QStringLiteral("Local AppWizard-Generated Applications/RFID_Lorix")), qPrintable(file));
    QVERIFY2(file.startsWith(qEnvironmentVariable("XDG_CONFIG_HOME")), qPrintable(file));
}

void tst_SettingsStore::readModeToRadios_data()
{
    QTest::addColumn<int>("readMode");
    QTest::addColumn<int>("multi");
    QTest::addColumn<int>("single");
    QTest::newRow("multi mode") << 1 << 1 << 0;
    QTest::newRow("single mode") << 0 << 0 << 1;
}

void tst_SettingsStore::readModeToRadios()
{
    QFETCH(int, readMode);
    QFETCH(int, multi);
    QFETCH(int, single);
    QFile::remove(iniPath());
    CSettingsStore store(iniPath());
    WriteConfig(store, CONFIG_READ_MODE, readMode);
    const ReadModeChecks checks = ReadModeToChecks(ReadConfig(store, CONFIG_READ_MODE, CONFIG_READ_MODE_DEFAULT));
    QCOMPARE(checks.multiMode, multi);
    QCOMPARE(checks.singleMode, single);
    // A click stores the multi radio's state, which reads back as the same radio state.
    QCOMPARE(ReadModeFromMultiCheck(checks.multiMode == 1), readMode);
}

void tst_SettingsStore::failedWriteKeepsOldFile_data()
{
    QTest::addColumn<bool>("fullDisk");
    QTest::newRow("full disk") << true;
    QTest::newRow("read-only folder") << false;
}

void tst_SettingsStore::failedWriteKeepsOldFile()
{
    QFETCH(bool, fullDisk);
    QTemporaryDir mountPoint;
    TinyTmpfs fs(mountPoint.path());
    if (!fs.mounted())
        QSKIP("a tmpfs cannot be mounted here (needs the right to mount)");
    const QString ini = mountPoint.filePath(QStringLiteral("settings.ini"));
    const QString section = QStringLiteral("Example History Combos");
    CSettingsStore store(ini);
    QVERIFY(store.WriteString(section, QStringLiteral("HistoryItem0"), QStringLiteral("ver")));
    QVERIFY(store.Flush());
    QFile file(ini);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray before = file.readAll();
    file.close();

    if (fullDisk)
        fillUp(mountPoint.path());
    else
        QVERIFY(fs.makeReadOnly());
    // Big enough that it cannot fit into what a full disk might still have.
    const QString longCommand = QString(8000, QLatin1Char('w'));
    QVERIFY(store.WriteString(section, QStringLiteral("HistoryItem1"), longCommand));
    QVERIFY(!store.Flush());
    QVERIFY(store.WriteInt(QStringLiteral("Config"), QStringLiteral("EnableWedge"), 1));
    QVERIFY(!store.Flush());

    // The old file is untouched, nothing half-written is left beside it, and the tool goes on
    // with the values it was given.
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), before);
    file.close();
    QCOMPARE(QDir(mountPoint.path()).entryList({QStringLiteral("settings.ini.*")}, QDir::Files), QStringList());
    QCOMPARE(store.ReadString(section, QStringLiteral("HistoryItem1")), longCommand);
    QCOMPARE(store.ReadInt(QStringLiteral("Config"), QStringLiteral("EnableWedge"), 0), 1);
    QCOMPARE(CSettingsStore(ini).ReadString(section, QStringLiteral("HistoryItem0")), QStringLiteral("ver"));

    if (!fullDisk)
        return;
    // Once there is room again, the next write carries the values that could not be saved.
    QVERIFY(QFile::remove(mountPoint.filePath(QStringLiteral("filler"))));
    QVERIFY(store.WriteInt(QStringLiteral("Config"), QStringLiteral("AutoStart"), 1));
    QVERIFY(store.Flush());
    const CSettingsStore reread(ini);
    QCOMPARE(reread.ReadString(section, QStringLiteral("HistoryItem1")), longCommand);
    QCOMPARE(reread.ReadInt(QStringLiteral("Config"), QStringLiteral("EnableWedge"), 0), 1);
}

void tst_SettingsStore::writesOnlyChanges_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");   // null: the key is deleted
    QTest::addColumn<bool>("rewritten");
    QTest::newRow("same value") << "EnableWedge" << "1" << false;
    QTest::newRow("other value") << "EnableWedge" << "0" << true;
    QTest::newRow("absent key deleted") << "AutoStart" << QString() << false;
    QTest::newRow("present key deleted") << "EnableWedge" << QString() << true;
}

void tst_SettingsStore::writesOnlyChanges()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(bool, rewritten);
    const QString section = QString::fromLatin1(CONFIG_SECTION);
    QFile::remove(iniPath());
    CSettingsStore store(iniPath());
    QVERIFY(store.WriteInt(section, QStringLiteral("EnableWedge"), 1));
    QVERIFY(store.Flush());
    // Another store's value, written meanwhile, must survive this store's next write.
    CSettingsStore(iniPath()).WriteInt(section, QString::fromLatin1(CONFIG_COM_PORT), 7);
    // And a comment edited in by hand stays as it is.
    const QByteArray comment = "; kept as written \xED\x95\x9C\n";
    QFile edited(iniPath());
    QVERIFY(edited.open(QIODevice::Append) && edited.write(comment) == comment.size());
    edited.close();

    const ino_t before = inode(iniPath());
    QVERIFY(value.isNull() ? store.DeleteValue(section, key) : store.WriteString(section, key, value));
    QVERIFY(store.Flush());
    QCOMPARE(inode(iniPath()) != before, rewritten);
    const CSettingsStore reread(iniPath());
    QCOMPARE(reread.ReadString(section, key, QStringLiteral("absent")), value.isNull() ? QStringLiteral("absent") : value);
    QCOMPARE(reread.ReadInt(section, QString::fromLatin1(CONFIG_COM_PORT), -1), 7);
    QVERIFY(edited.open(QIODevice::ReadOnly));
    QVERIFY(edited.readAll().endsWith(comment));
}

void tst_SettingsStore::reportOnOwnersThread()
{
    // A folder that is a file: the save fails for any user; the report says why, on this
    // thread, and the next change carries the value again.
    QFile blocker(m_dir.filePath(QStringLiteral("blocker")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    CSettingsStore store(blocker.fileName() + QStringLiteral("/settings.ini"));
    QStringList reports;
    store.SetSaveReport([&reports](const QString &error, const QString &) {
        reports << QStringLiteral("%1 %2").arg(QThread::currentThread() == qApp->thread()).arg(error);
    });
    QVERIFY(store.WriteInt(QStringLiteral("Config"), QStringLiteral("EnableWedge"), 1));
    QVERIFY(!store.Flush());
    QTRY_COMPARE(reports, QStringList{QStringLiteral("1 ") + QString::fromLocal8Bit(strerror(ENOTDIR))});
    QVERIFY(blocker.remove() && QDir(m_dir.path()).mkpath(QStringLiteral("blocker")));
    QVERIFY(store.WriteInt(QStringLiteral("Config"), QStringLiteral("AutoStart"), 1));
    QTRY_COMPARE(reports.size(), 2);
    QCOMPARE(reports.last(), QStringLiteral("1 "));
    const CSettingsStore reread(store.FileName());
    QCOMPARE(reread.ReadInt(QStringLiteral("Config"), QStringLiteral("EnableWedge"), 0), 1);
}

void tst_SettingsStore::tooLargeMovedAside_data()
{
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<int>("alreadyAside");   // files of earlier moves beside it
    QTest::newRow("moved") << false << 0;
    QTest::newRow("next free name") << false << 2;
    QTest::newRow("read-only store leaves it") << true << 0;
}

void tst_SettingsStore::tooLargeMovedAside()
{
    QFETCH(bool, readOnly);
    QFETCH(int, alreadyAside);
    QTemporaryDir dir;
    const QString ini = dir.filePath(QStringLiteral("settings.ini"));
    const QByteArray large = "[Config]\nEnableWedge=1\n" + QByteArray(MAX_SETTINGS_FILE_BYTES, ';');
    for (int n = 1; n <= alreadyAside; ++n)
        QVERIFY(QFile(ini + QStringLiteral(".too-large-%1").arg(n)).open(QIODevice::WriteOnly));
    QFile file(ini);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(large) == large.size());
    file.close();
    if (readOnly)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("not read \\(larger than")));
    CSettingsStore store(ini, readOnly ? CSettingsStore::Access::ReadOnly : CSettingsStore::Access::ReadWrite);
    QCOMPARE(ReadConfig(store, CONFIG_ENABLE_WEDGE, 0), 0);
    WriteConfig(store, CONFIG_AUTO_START, 1);
    QVERIFY(store.Flush());
    const QString aside = readOnly ? QString() : ini + QStringLiteral(".too-large-%1").arg(alreadyAside + 1);
    QCOMPARE(store.MovedAsideTo(), aside);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), readOnly ? large : QByteArray("[Config]\nAutoStart=1\n"));
    file.close();
    if (!readOnly) {
        QFile moved(aside);
        QVERIFY(moved.open(QIODevice::ReadOnly));
        QCOMPARE(moved.readAll(), large);
    }
}

// Temporaries of saves killed midway go at the next start; one of a save that may still be
// under way, another file's, and names no save gives stay.
void tst_SettingsStore::killedSavesLeftoversRemoved()
{
    QTemporaryDir dir;
    const QString ini = dir.filePath(QStringLiteral("settings.ini"));
    const QDateTime old = QDateTime::currentDateTime().addSecs(-2 * STALE_TEMPORARY_SECONDS);
    const QStringList stale{".settings.ini.1f2e3d4c5b6a7980.tmp", ".settings.ini.0.tmp"};
    const QStringList kept{".settings.ini.abc.tmp", ".other.ini.1f2e3d4c5b6a7980.tmp", ".settings.ini.xyz.tmp", "settings.ini.1.tmp"};
    for (const QString &name : stale + kept) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        if (name != kept.first())   // the fresh one: a save under way
            QVERIFY(file.setFileTime(old, QFileDevice::FileModificationTime));
    }
    const CSettingsStore store(ini);
    QStringList left = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
    QStringList expected = kept;
    left.sort();
    expected.sort();
    QCOMPARE(left, expected);
}

QTEST_GUILESS_MAIN(tst_SettingsStore)
#include "tst_settingsstore.moc"

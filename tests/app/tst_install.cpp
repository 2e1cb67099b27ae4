// The installed tool: `cmake --install` of this build into a staging prefix puts exactly the
// program folder (executable and catalogue), the launcher link, the desktop entry and the
// icon in the theme sizes there, and the installed launcher, started offscreen, opens the
// catalogue from its own program folder (seen with strace, since the tool reports nothing).

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/types.h>

namespace {

constexpr char kProgramFolderName[] = "rfid-lorix";
constexpr char kLauncherName[] = "rfid-lorix";
constexpr char kExecutableName[] = "RFID_Lorix";
constexpr char kCatalogueName[] = "Ondo214.xml";
constexpr char kDesktopEntryName[] = "rfid-lorix.desktop";
constexpr char kIconName[] = "rfid-lorix";
// The freedesktop theme sizes an application icon is expected in.
constexpr int kIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};
constexpr int kInstallTimeoutMs = 120000;
constexpr int kCatalogueWaitMs = 30000;

QString programFolder()
{
    return QStringLiteral(RFID_INSTALL_LIBDIR "/") + QLatin1String(kProgramFolderName);
}

QString iconPath(int size)
{
    return QStringLiteral(RFID_INSTALL_DATADIR "/icons/hicolor/%1x%1/apps/%2.png").arg(size).arg(QLatin1String(kIconName));
}

QString desktopEntryPath()
{
    return QStringLiteral(RFID_INSTALL_DATADIR "/applications/") + QLatin1String(kDesktopEntryName);
}

QString launcherPath()
{
    return QStringLiteral(RFID_INSTALL_BINDIR "/") + QLatin1String(kLauncherName);
}

} // namespace

class TestInstall : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void stagedFile_data();
    void stagedFile();
    void nothingElseStaged();
    void desktopEntryNamesLauncherAndIcon();
    void launcherFindsCatalogue();

private:
    QTemporaryDir m_stage;
    QString m_prefix;
};

void TestInstall::initTestCase()
{
    const QString build = qEnvironmentVariable("RFID_BINARY_DIR");
    if (build.isEmpty())
        QSKIP("RFID_BINARY_DIR is not set: run this test through ctest");
    QVERIFY(m_stage.isValid());
    m_prefix = m_stage.filePath(QStringLiteral("usr"));
    QProcess install;
    install.setProcessChannelMode(QProcess::MergedChannels);
    install.start(QStringLiteral(RFID_CMAKE_COMMAND),
                  {QStringLiteral("--install"), build, QStringLiteral("--prefix"), m_prefix});
    QVERIFY(install.waitForFinished(kInstallTimeoutMs));
    QVERIFY2(install.exitStatus() == QProcess::NormalExit && install.exitCode() == 0,
             install.readAll().constData());
}

void TestInstall::stagedFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("executable");
    QTest::addColumn<QString>("linkTarget");   // the file a link leads to; empty for a plain file
    QTest::addColumn<int>("imageSide");        // a square PNG of this side; 0 for no image

    const QString executable = programFolder() + QLatin1Char('/') + QLatin1String(kExecutableName);
    QTest::newRow("executable") << executable << true << QString() << 0;
    QTest::newRow("catalogue beside it")
        << programFolder() + QLatin1Char('/') + QLatin1String(kCatalogueName) << false << QString() << 0;
    QTest::newRow("launcher") << launcherPath() << true << executable << 0;
    QTest::newRow("desktop entry") << desktopEntryPath() << false << QString() << 0;
    for (int size : kIconSizes)
        QTest::newRow(qPrintable(QStringLiteral("icon %1").arg(size))) << iconPath(size) << false << QString() << size;
}

void TestInstall::stagedFile()
{
    QFETCH(QString, path);
    QFETCH(bool, executable);
    QFETCH(QString, linkTarget);
    QFETCH(int, imageSide);
    const QFileInfo info(m_prefix + QLatin1Char('/') + path);
    QVERIFY2(info.exists(), qPrintable(path));
    QCOMPARE(info.isSymLink(), !linkTarget.isEmpty());
    if (info.isSymLink()) {
        QCOMPARE(QFile::symLinkTarget(info.filePath()), QFileInfo(m_prefix + QLatin1Char('/') + linkTarget).absoluteFilePath());
        // Relative, so that the staged tree and the package stay valid wherever they land.
        const QString moved = m_prefix + QStringLiteral(".moved");
        QVERIFY(QDir().rename(m_prefix, moved));
        const bool stillLeads = QFileInfo(QString(info.filePath()).replace(m_prefix, moved)).exists();
        QVERIFY(QDir().rename(moved, m_prefix));
        QVERIFY2(stillLeads, "the link breaks when the tree moves");
    }
    QCOMPARE(info.isExecutable(), executable);
    QVERIFY(info.size() > 0);
    if (imageSide > 0)
        QCOMPARE(QImage(info.filePath()).size(), QSize(imageSide, imageSide));
}

void TestInstall::nothingElseStaged()
{
    QSet<QString> expected{programFolder() + QLatin1Char('/') + QLatin1String(kExecutableName),
                           programFolder() + QLatin1Char('/') + QLatin1String(kCatalogueName),
                           launcherPath(), desktopEntryPath()};
    for (int size : kIconSizes)
        expected.insert(iconPath(size));

    QSet<QString> staged;
    QDirIterator it(m_prefix, QDir::Files | QDir::System | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        staged.insert(QDir(m_prefix).relativeFilePath(it.next()));
    QCOMPARE(QStringList(staged.subtract(expected).values()), QStringList());
}

void TestInstall::desktopEntryNamesLauncherAndIcon()
{
    QSettings entry(m_prefix + QLatin1Char('/') + desktopEntryPath(), QSettings::IniFormat);
    entry.beginGroup(QStringLiteral("Desktop Entry"));
    QCOMPARE(entry.value(QStringLiteral("Type")).toString(), QStringLiteral("Application"));
    QCOMPARE(entry.value(QStringLiteral("Exec")).toString(), QString::fromLatin1(kLauncherName));
    QCOMPARE(entry.value(QStringLiteral("Icon")).toString(), QString::fromLatin1(kIconName));
}

void TestInstall::launcherFindsCatalogue()
{
    const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    if (strace.isEmpty())
        QSKIP("strace is not installed (setup.sh installs it)");
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString trace = work.filePath(QStringLiteral("trace"));
    const QString catalogue = QFileInfo(m_prefix + QLatin1Char('/') + programFolder() + QLatin1Char('/')
                                        + QLatin1String(kCatalogueName)).absoluteFilePath();

    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), work.filePath(QStringLiteral("config")));
    tool.setProcessEnvironment(env);
    // Started from elsewhere, so that only the program's own path can lead it to its folder.
    tool.setWorkingDirectory(work.path());
    tool.start(strace, {QStringLiteral("-f"), QStringLiteral("-e"), QStringLiteral("trace=openat"),
                        QStringLiteral("-o"), trace, m_prefix + QLatin1Char('/') + launcherPath()});
    QVERIFY(tool.waitForStarted());

    // "pid openat(AT_FDCWD, "<catalogue>", ...) = <fd>": a failed open ends in "= -1 ENOENT".
    const QRegularExpression opened(QStringLiteral("^(\\d+)\\s+openat\\([^,]*, \"%1\", .*\\) = (-?\\d+)")
                                        .arg(QRegularExpression::escape(catalogue)),
                                    QRegularExpression::MultilineOption);
    QRegularExpressionMatch match;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            QFile file(trace);
            if (!file.open(QIODevice::ReadOnly))
                return false;
            match = opened.match(QString::fromLocal8Bit(file.readAll()));
            return match.hasMatch() || tool.state() == QProcess::NotRunning;
        }(),
        kCatalogueWaitMs);

    // The tool runs until its window closes: end it by its process id, the trace's first.
    QFile file(trace);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const qint64 toolPid = file.readLine().split(' ').value(0).toLongLong();
    if (toolPid > 0)
        ::kill(pid_t(toolPid), SIGTERM);
    QVERIFY(tool.waitForFinished(kCatalogueWaitMs));
    QVERIFY2(match.hasMatch(), "the installed tool never tried to open its catalogue");
    QVERIFY2(match.captured(2).toInt() >= 0, qPrintable(match.captured(0)));
}

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"

// The installed tool: `cmake --install` of this build into a staging prefix puts exactly the
// program folder (executable, stripped, and catalogue), the launcher link, the desktop entry
// and AppStream metadata (both valid), the icon in the theme sizes and as SVG, the manual page
// and the package's documents there, and the installed launcher, started offscreen, opens the
// catalogue from its own program folder (seen with strace, since the tool reports nothing).
// The package slots run as the ctest entry tst_package: cpack's two packages, the command
// line's and the window's that needs it, are lintian-clean and hold the same files between
// them, the command line's without a GUI library.

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QHash>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/types.h>

namespace {

constexpr char PROGRAM_FOLDER_NAME[] = "rfid-lorix";
constexpr char LAUNCHER_NAME[] = "rfid-lorix";
constexpr char EXECUTABLE_NAME[] = "RFID_Lorix";
constexpr char CLI_NAME[] = "rfid-lorix-cli";
constexpr char CATALOGUE_NAME[] = "Ondo214.xml";
constexpr char DESKTOP_ENTRY_NAME[] = "rfid-lorix.desktop";
constexpr char ICON_NAME[] = "rfid-lorix";
// The freedesktop theme sizes an application icon is expected in.
constexpr int ICON_SIZES[] = {16, 22, 24, 32, 48, 64, 128, 256};
constexpr int INSTALL_TIMEOUT_MS = 120000;
constexpr int CATALOGUE_WAIT_MS = 30000;
constexpr int TOOL_TIMEOUT_MS = 240000;
// The SVG icon, drawn by another renderer, matches the PNG of one size: mean difference per
// channel out of 255 (about 0.15 here; a wrongly coloured tag, a tenth of the picture, is 4).
constexpr int SVG_COMPARE_SIDE = 256;
constexpr double SVG_MEAN_DIFFERENCE = 1.0;
// The one lintian tag accepted, explained in the README.
constexpr char FORTIFY_TAG[] = "hardening-no-fortify-functions";
const QString SCALABLE_ICON = QStringLiteral(RFID_INSTALL_DATADIR "/icons/hicolor/scalable/apps/rfid-lorix.svg");
const QString METAINFO = QStringLiteral(RFID_INSTALL_DATADIR "/metainfo/org.rfid_lorix.RFID_Lorix.metainfo.xml");
const QString CHANGELOG = QStringLiteral(RFID_INSTALL_DATADIR "/doc/rfid-lorix/changelog.gz");
const QString CLI_MANUAL = QStringLiteral(RFID_INSTALL_MANDIR "/man1/rfid-lorix-cli.1.gz");
const QString WEDGE_UNIT = QStringLiteral("lib/systemd/user/rfid-lorix-wedge@.service");
const QString CLI_DOC = QStringLiteral(RFID_INSTALL_DATADIR "/doc/rfid-lorix-cli/");
const QStringList CLI_COMPLETIONS = {QStringLiteral(RFID_INSTALL_DATADIR "/bash-completion/completions/rfid-lorix-cli"),
                                     QStringLiteral(RFID_INSTALL_DATADIR "/zsh/vendor-completions/_rfid-lorix-cli"),
                                     QStringLiteral(RFID_INSTALL_DATADIR "/fish/vendor_completions.d/rfid-lorix-cli.fish")};
constexpr char CLI_PACKAGE[] = "rfid-lorix-cli";
constexpr char WINDOW_PACKAGE[] = "rfid-lorix";
const QString PUBLISH_UNIT = QStringLiteral("lib/systemd/user/rfid-lorix-publish@.service");

QString programFolder()
{
    return QStringLiteral(RFID_INSTALL_LIBDIR "/") + QLatin1String(PROGRAM_FOLDER_NAME);
}

QString iconPath(int size)
{
    return QStringLiteral(RFID_INSTALL_DATADIR "/icons/hicolor/%1x%1/apps/%2.png").arg(size).arg(QLatin1String(ICON_NAME));
}

QString desktopEntryPath()
{
    return QStringLiteral(RFID_INSTALL_DATADIR "/applications/") + QLatin1String(DESKTOP_ENTRY_NAME);
}

QString launcherPath()
{
    return QStringLiteral(RFID_INSTALL_BINDIR "/") + QLatin1String(LAUNCHER_NAME);
}

// The command line's package: what a machine without a desktop installs.
QStringList cliFiles()
{
    QStringList files = QStringList{programFolder() + QLatin1Char('/') + QLatin1String(CLI_NAME),
                                    QStringLiteral(RFID_INSTALL_BINDIR "/") + QLatin1String(CLI_NAME), CLI_MANUAL, WEDGE_UNIT, PUBLISH_UNIT,
                                    CLI_DOC + QStringLiteral("copyright"), CLI_DOC + QStringLiteral("changelog.gz")}
                        + CLI_COMPLETIONS;
    files.sort();
    return files;
}

QStringList installedFiles()
{
    QStringList files{programFolder() + QLatin1Char('/') + QLatin1String(EXECUTABLE_NAME),
                      programFolder() + QLatin1Char('/') + QLatin1String(CATALOGUE_NAME),
                      launcherPath(), desktopEntryPath(), SCALABLE_ICON, METAINFO, CHANGELOG,
                      QStringLiteral(RFID_INSTALL_DATADIR "/doc/rfid-lorix/copyright"),
                      QStringLiteral(RFID_INSTALL_MANDIR "/man1/rfid-lorix.1.gz")};
    files += cliFiles();
    for (int size : ICON_SIZES)
        files << iconPath(size);
    files.sort();
    return files;
}

// Every file and link below root, relative to it, sorted.
QStringList filesBelow(const QString &root)
{
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::System | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(root).relativeFilePath(it.next());
    files.sort();
    return files;
}

// Runs a program to its end; the exit code, or -1 when it could not run or was killed.
int runTool(const QString &program, const QStringList &arguments, QByteArray *output = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(TOOL_TIMEOUT_MS) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    if (output)
        *output = process.readAll();
    return process.exitCode();
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
    void stagedFileChecked_data();
    void stagedFileChecked();
    void scalableIconMatchesDrawing();
    void packageLintianClean();
    void packageFilesAsInstalled();

private:
    bool buildPackage(QString *skipReason);

    QTemporaryDir m_stage;
    QString m_prefix;
    QTemporaryDir m_packageDir;
    QHash<QString, QString> m_packages;   // package name -> .deb
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
    QVERIFY(install.waitForFinished(INSTALL_TIMEOUT_MS));
    QVERIFY2(install.exitStatus() == QProcess::NormalExit && install.exitCode() == 0,
             install.readAll().constData());
}

void TestInstall::stagedFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("executable");
    QTest::addColumn<QString>("linkTarget");   // the file a link leads to; empty for a plain file
    QTest::addColumn<int>("imageSide");        // a square PNG of this side; 0 for no image

    const QString executable = programFolder() + QLatin1Char('/') + QLatin1String(EXECUTABLE_NAME);
    QTest::newRow("executable") << executable << true << QString() << 0;
    QTest::newRow("catalogue beside it")
        << programFolder() + QLatin1Char('/') + QLatin1String(CATALOGUE_NAME) << false << QString() << 0;
    QTest::newRow("launcher") << launcherPath() << true << executable << 0;
    QTest::newRow("desktop entry") << desktopEntryPath() << false << QString() << 0;
    const QString cli = programFolder() + QLatin1Char('/') + QLatin1String(CLI_NAME);
    QTest::newRow("command line") << cli << true << QString() << 0;
    QTest::newRow("command line's launcher") << QStringLiteral(RFID_INSTALL_BINDIR "/") + QLatin1String(CLI_NAME) << true << cli << 0;
    QTest::newRow("wedge's user unit") << WEDGE_UNIT << false << QString() << 0;
    QTest::newRow("publisher's user unit") << PUBLISH_UNIT << false << QString() << 0;
    for (int size : ICON_SIZES)
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
    QCOMPARE(filesBelow(m_prefix), installedFiles());
}

void TestInstall::desktopEntryNamesLauncherAndIcon()
{
    QSettings entry(m_prefix + QLatin1Char('/') + desktopEntryPath(), QSettings::IniFormat);
    entry.beginGroup(QStringLiteral("Desktop Entry"));
    QCOMPARE(entry.value(QStringLiteral("Type")).toString(), QStringLiteral("Application"));
    QCOMPARE(entry.value(QStringLiteral("Exec")).toString(), QString::fromLatin1(LAUNCHER_NAME));
    QCOMPARE(entry.value(QStringLiteral("Icon")).toString(), QString::fromLatin1(ICON_NAME));
    // Docks tie the window to its launcher by the window's class, the application's name.
    QCOMPARE(entry.value(QStringLiteral("StartupWMClass")).toString(), QString::fromLatin1(EXECUTABLE_NAME));
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
                                        + QLatin1String(CATALOGUE_NAME)).absoluteFilePath();

    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), work.filePath(QStringLiteral("config")));
    // No user copy of the catalogue, which would be read in place of the installed one.
    env.insert(QStringLiteral("XDG_DATA_HOME"), work.filePath(QStringLiteral("data")));
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
        CATALOGUE_WAIT_MS);

    // The tool runs until its window closes: end it by its process id, the trace's first.
    QFile file(trace);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const qint64 toolPid = file.readLine().split(' ').value(0).toLongLong();
    if (toolPid > 0)
        ::kill(pid_t(toolPid), SIGTERM);
    QVERIFY(tool.waitForFinished(CATALOGUE_WAIT_MS));
    QVERIFY2(match.hasMatch(), "the installed tool never tried to open its catalogue");
    QVERIFY2(match.captured(2).toInt() >= 0, qPrintable(match.captured(0)));
}

void TestInstall::stagedFileChecked_data()
{
    QTest::addColumn<QString>("tool");
    QTest::addColumn<QStringList>("arguments");   // the staged file is added last
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("required");        // patterns the output must and must not match;
    QTest::addColumn<QString>("forbidden");       // empty: nothing forbidden

    const QString executable = programFolder() + QLatin1Char('/') + QLatin1String(EXECUTABLE_NAME);
    const auto row = [](const char *name, const char *tool, const QStringList &arguments, const QString &path,
                        const char *required, const char *forbidden) {
        QTest::newRow(name) << QString::fromLatin1(tool) << arguments << path << QString::fromLatin1(required)
                            << QString::fromLatin1(forbidden);
    };
    row("stripped", "readelf", {"-S", "-W"}, executable, " \\.text ", " \\.(symtab|debug_info|comment|note) ");
    const QString cli = programFolder() + QLatin1Char('/') + QLatin1String(CLI_NAME);
    row("command line stripped", "readelf", {"-S", "-W"}, cli, " \\.text ", " \\.(symtab|debug_info|comment|note) ");
    row("command line without a display's libraries", "readelf", {"-d", "-W"}, cli, "libQt6Core", "libQt6(Gui|Widgets)");
    // desktop-file-validate passes hints and warnings with exit code 0.
    row("desktop entry", "desktop-file-validate", {}, desktopEntryPath(), "", "error|warning|hint");
    row("metainfo", "appstreamcli", {"validate", "--no-net"}, METAINFO, "", "");
    row("bash completion", "bash", {"-n"}, CLI_COMPLETIONS.first(), "", "");
}

void TestInstall::stagedFileChecked()
{
    QFETCH(QString, tool);
    QFETCH(QStringList, arguments);
    QFETCH(QString, path);
    QFETCH(QString, required);
    QFETCH(QString, forbidden);
    const QString program = QStandardPaths::findExecutable(tool);
    if (program.isEmpty())
        QSKIP(qPrintable(tool + QStringLiteral(" is not installed (setup.sh installs it)")));
    QByteArray output;
    QVERIFY2(runTool(program, arguments << m_prefix + QLatin1Char('/') + path, &output) == 0, output.constData());
    const QString text = QString::fromUtf8(output);
    QVERIFY2(text.contains(QRegularExpression(required)), qPrintable(required));
    QVERIFY2(forbidden.isEmpty() || !text.contains(QRegularExpression(forbidden)), output.constData());
}

void TestInstall::scalableIconMatchesDrawing()
{
    const QString rsvg = QStandardPaths::findExecutable(QStringLiteral("rsvg-convert"));
    if (rsvg.isEmpty())
        QSKIP("rsvg-convert is not installed (librsvg2-bin; setup.sh installs it)");
    QTemporaryDir work;
    const QString rendered = work.filePath(QStringLiteral("icon.png")), side = QString::number(SVG_COMPARE_SIDE);
    QCOMPARE(runTool(rsvg, {"-w", side, "-h", side, "-o", rendered, m_prefix + QLatin1Char('/') + SCALABLE_ICON}), 0);
    const QImage svg = QImage(rendered).convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage png = QImage(m_prefix + QLatin1Char('/') + iconPath(SVG_COMPARE_SIDE)).convertToFormat(svg.format());
    QCOMPARE(svg.size(), png.size());
    double difference = 0;
    for (int y = 0; y < svg.height(); ++y) {
        for (int x = 0; x < svg.width(); ++x) {
            const QRgb a = svg.pixel(x, y), b = png.pixel(x, y);
            difference += qAbs(qRed(a) - qRed(b)) + qAbs(qGreen(a) - qGreen(b)) + qAbs(qBlue(a) - qBlue(b)) + qAbs(qAlpha(a) - qAlpha(b));
        }
    }
    const double mean = difference / (4.0 * svg.width() * svg.height());
    QVERIFY2(mean < SVG_MEAN_DIFFERENCE, qPrintable(QString::number(mean)));
}

// Builds the package once with cpack into a scratch folder; false when the tools are missing
// or the slot belongs to the other ctest entry (a skip with that reason is then due).
bool TestInstall::buildPackage(QString *skipReason)
{
    if (!qEnvironmentVariableIsSet("RFID_PACKAGE_CHECKS"))
        *skipReason = QStringLiteral("the package is built and checked by the ctest entry tst_package");
    for (const char *tool : {"lintian", "dpkg-deb"})
        if (skipReason->isEmpty() && QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
            *skipReason = QLatin1String(tool) + QStringLiteral(" is not installed (setup.sh installs it)");
    if (!skipReason->isEmpty() || !m_packages.isEmpty())
        return skipReason->isEmpty();
    QByteArray output;
    const QString config = qEnvironmentVariable("RFID_BINARY_DIR") + QStringLiteral("/CPackConfig.cmake");
    if (runTool(QStringLiteral(RFID_CPACK_COMMAND), {"--config", config, "-B", m_packageDir.path()}, &output) != 0)
        qWarning("%s", output.constData());
    for (const QString &deb : QDir(m_packageDir.path()).entryList({QStringLiteral("*.deb")}, QDir::Files))
        m_packages.insert(deb.section(QLatin1Char('_'), 0, 0), m_packageDir.filePath(deb));
    return true;
}

void TestInstall::packageLintianClean()
{
    QString skip;
    if (!buildPackage(&skip))
        QSKIP(qPrintable(skip));
    QCOMPARE(m_packages.size(), 2);
    QByteArray output;
    const int exitCode = runTool(QStandardPaths::findExecutable(QStringLiteral("lintian")),
                                 QStringList{"--pedantic", "--display-info", "--tag-display-limit", "0"} + m_packages.values(), &output);
    // "E: rfid-lorix: tag-name [context]": any tag but the accepted one fails.
    QStringList unexpected;
    const QRegularExpression line(QStringLiteral("^([A-Z]): [^:]+: (\\S+)"), QRegularExpression::MultilineOption);
    for (auto it = line.globalMatch(QString::fromUtf8(output)); it.hasNext();) {
        const QRegularExpressionMatch tag = it.next();
        if (tag.captured(1) != QLatin1String("I") || tag.captured(2) != QLatin1String(FORTIFY_TAG))
            unexpected << tag.captured(0);
    }
    QVERIFY2(unexpected.isEmpty(), qPrintable(unexpected.join(u'\n')));
    QVERIFY2(exitCode == 0, output.constData());
}

void TestInstall::packageFilesAsInstalled()
{
    QString skip;
    if (!buildPackage(&skip))
        QSKIP(qPrintable(skip));
    QCOMPARE(m_packages.size(), 2);
    const QString dpkgDeb = QStandardPaths::findExecutable(QStringLiteral("dpkg-deb"));
    // The staged install under /usr, split in two: the command line's files in its own
    // package, the rest in the window's; nothing more, nothing less.
    QStringList all;
    for (const char *name : {CLI_PACKAGE, WINDOW_PACKAGE}) {
        QTemporaryDir root;
        QCOMPARE(runTool(dpkgDeb, {"-x", m_packages.value(QLatin1String(name)), root.path()}), 0);
        QStringList files = filesBelow(root.path());
        for (QString &path : files)
            path.remove(0, 4);   // "usr/"
        QVERIFY2(QLatin1String(name) != QLatin1String(CLI_PACKAGE) || files == cliFiles(), qPrintable(files.join(u' ')));
        all += files;
        // The changelog's newest entry is this version: a version raised without an entry fails.
        QByteArray version, changelog;
        QCOMPARE(runTool(dpkgDeb, {"-f", m_packages.value(QLatin1String(name)), "Version"}, &version), 0);
        const QString doc = QLatin1String(name) == QLatin1String(CLI_PACKAGE) ? CLI_DOC + QStringLiteral("changelog.gz") : CHANGELOG;
        QCOMPARE(runTool(QStandardPaths::findExecutable(QStringLiteral("gzip")), {"-dc", root.filePath(QStringLiteral("usr/") + doc)}, &changelog), 0);
        QVERIFY2(changelog.startsWith("rfid-lorix (" + version.trimmed() + ") "), changelog.left(80).constData());
    }
    all.sort();
    QCOMPARE(all, installedFiles());
    // The window needs the command line of its own version; the command line needs no GUI.
    QByteArray windowDepends, cliDepends, version;
    QCOMPARE(runTool(dpkgDeb, {"-f", m_packages.value(WINDOW_PACKAGE), "Depends", "Version"}, &windowDepends), 0);
    QCOMPARE(runTool(dpkgDeb, {"-f", m_packages.value(CLI_PACKAGE), "Depends", "Version"}, &cliDepends), 0);
    version = cliDepends.mid(cliDepends.indexOf("Version: ") + 9).trimmed();
    QVERIFY2(windowDepends.contains("rfid-lorix-cli (= " + version + ")"), windowDepends.constData());
    QVERIFY2(cliDepends.contains("libqt6core6") && !QString::fromUtf8(cliDepends).contains(QRegularExpression("libqt6(gui|widgets)|qpa")),
             cliDepends.constData());
}

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"

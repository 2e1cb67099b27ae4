#include "app/LogEntries.h"

#include "app/LogView.h"
#include "settings/SettingsStore.h"

#include <QAction>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFileDialog>
#include <QStandardPaths>
#include <QWidget>

#include <utility>

namespace {

constexpr char TIME_STAMPS_ENTRY_TEXT[] = "Log &Time Stamps";
constexpr char SAVE_LOG_ENTRY_TEXT[] = "&Save Log As...";
constexpr char SAVE_LOG_TITLE[] = "Save Log As";
// The file types of the save dialog, each with the form the log is written in and its
// suffixes. "All Files" goes by the suffix.
struct LogFileType
{
    const char *filter;
    LogSaveFormat format;
    const char *suffixes;
};
constexpr LogFileType LOG_FILE_TYPES[] = {
    {"Log as shown (*.txt)", LogSaveFormat::Plain, "txt"},
    {"Log with direction (*.log)", LogSaveFormat::Direction, "log"},
    {"HTML with the log's colours (*.html *.htm)", LogSaveFormat::Html, "html htm"},
    {"All Files (*)", LogSaveFormat::Plain, ""},
};
// The proposed file's name, as a date-time format: RFID_Lorix-log-<date>-<time>.txt.
constexpr char LOG_FILE_NAME_FORMAT[] = "'RFID_Lorix-log-'yyyyMMdd-HHmmss'.txt'";

// A name of this moment in the user's documents (or home) folder.
QString proposedLogPath()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty() || !QDir(folder).exists())
        folder = QDir::homePath();
    return QDir(folder).filePath(QDateTime::currentDateTime().toString(QString::fromLatin1(LOG_FILE_NAME_FORMAT)));
}

QString logFileFilters()
{
    QStringList filters;
    for (const LogFileType &type : LOG_FILE_TYPES)
        filters << QString::fromLatin1(type.filter);
    return filters.join(QLatin1String(";;"));
}

// The form to write a file in: by the file type chosen, or under "All Files" by the name's
// suffix. The name is taken as typed: a suffix added here would replace a file that the
// dialog did not ask about.
LogSaveFormat logFileFormat(const QString &path, const QString &chosenFilter)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    for (const LogFileType &type : LOG_FILE_TYPES) {
        if (*type.suffixes != 0 && chosenFilter == QLatin1String(type.filter))
            return type.format;
    }
    for (const LogFileType &type : LOG_FILE_TYPES) {
        if (QString::fromLatin1(type.suffixes).split(QLatin1Char(' ')).contains(suffix))
            return type.format;
    }
    return LogSaveFormat::Plain;
}

} // namespace

CLogEntries::CLogEntries(QWidget &window, CLogView &logView, CSettingsStore &settings, SaveFileFunction saveFile,
                         ReportFunction report)
    : m_window(window)
    , m_logView(logView)
    , m_saveFile(std::move(saveFile))
    , m_report(std::move(report))
{
    auto *timeStamps = new QAction(QString::fromLatin1(TIME_STAMPS_ENTRY_TEXT), &window);
    timeStamps->setObjectName(QStringLiteral("logTimeStamps"));
    timeStamps->setCheckable(true);
    timeStamps->setChecked(ReadConfig(settings, CONFIG_LOG_TIME_STAMPS, CONFIG_LOG_TIME_STAMPS_DEFAULT) != 0);
    m_logView.SetTimeStamps(timeStamps->isChecked());
    CSettingsStore *store = &settings;
    connect(timeStamps, &QAction::toggled, this, [this, store](bool on) {
        m_logView.SetTimeStamps(on);
        WriteConfig(*store, CONFIG_LOG_TIME_STAMPS, on ? 1 : 0);
    });
    auto *saveLog = new QAction(QString::fromLatin1(SAVE_LOG_ENTRY_TEXT), &window);
    saveLog->setObjectName(QStringLiteral("saveLog"));
    connect(saveLog, &QAction::triggered, this, &CLogEntries::OnSaveLog);
    connect(&m_logSaver, &CLogSaver::Saved, this, &CLogEntries::OnLogSaved);

    auto *separator = new QAction(&window);
    separator->setSeparator(true);
    window.addActions({separator, timeStamps, saveLog});
    m_logView.addActions({timeStamps, saveLog});
}

CLogEntries::~CLogEntries()
{
    m_logView.FinishCopies();
}

// The text is taken as it is shown when the file is picked, copied in slices by the log;
// the file is written on the saver's thread and the outcome logged when it is done.
void CLogEntries::OnSaveLog()
{
    const QString proposed = proposedLogPath();
    const QString filters = logFileFilters();
    QString chosenFilter = QString::fromLatin1(LOG_FILE_TYPES[0].filter);
    const QString path = m_saveFile
                       ? m_saveFile(proposed, filters, chosenFilter)
                       : QFileDialog::getSaveFileName(&m_window, QString::fromLatin1(SAVE_LOG_TITLE), proposed, filters, &chosenFilter);
    if (path.isEmpty())
        return;
    const LogSaveFormat format = logFileFormat(path, chosenFilter);
    m_logView.CopyText([this, path](const QString &text) { m_logSaver.Save(path, text); }, format);
}

void CLogEntries::OnLogSaved(const QString &path, const QString &error)
{
    const QString shown = QDir::toNativeSeparators(path);
    if (error.isEmpty())
        m_report(QStringLiteral("Log saved to %1\r\n").arg(shown), LogKind::Note);
    else
        m_report(QStringLiteral("Log not saved to %1: %2. Nothing there was changed.\r\n").arg(shown, error), LogKind::Error);
}

#pragma once

#include "app/LogSaver.h"
#include "protocol/ReaderView.h"

#include <QObject>
#include <QString>

#include <functional>

class CLogView;
class CSettingsStore;
class QWidget;

// The log's entries in the context menus (the window's and the log's own): the time stamps,
// kept in the settings, and Save Log As. Owns the entries' actions (children of the window)
// and the saver that writes saved logs on its own thread; the outcome of a save is said
// through `report`, into the log. Everything else here runs on the user-interface thread.
class CLogEntries : public QObject
{
public:
    // The question for the file to save to, as the window's environment gives it; empty: the
    // save-file dialog over the window.
    using SaveFileFunction =
        std::function<QString(const QString &proposedPath, const QString &filters, QString &chosenFilter)>;
    using ReportFunction = std::function<void(const QString &text, LogKind kind)>;

    CLogEntries(QWidget &window, CLogView &logView, CSettingsStore &settings, SaveFileFunction saveFile,
                ReportFunction report);
    // A log being copied for Save Log As goes to the saver now, which writes it before it goes.
    ~CLogEntries() override;

    void OnSaveLog();

private:
    void OnLogSaved(const QString &path, const QString &error);

    QWidget &m_window;
    CLogView &m_logView;
    SaveFileFunction m_saveFile;
    ReportFunction m_report;
    CLogSaver m_logSaver;                 // writes saved logs on its own thread
};

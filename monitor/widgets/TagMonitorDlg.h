#pragma once

#include "monitor/TagCsv.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QTimer>

#include <functional>

class CReadRatePlot;
class CTagMonitor;
class CTagTableModel;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;

// The tag monitor's window: the totals, the plot of reads per second over the last minute,
// the table of tags (sorted by a header click, filtered by a substring), "Clear" and
// "Export CSV...". Non-modal. It only shows the monitor it is given: the protocol counts into
// that monitor whether the window is shown or not.
//
// While shown, a timer brings the totals, the plot and the table up to the monitor at most
// REFRESH_PER_SECOND times a second, the table repainted only then: a refresh waits until
// a whole period has passed since the table was last painted, so that paints held up by a
// busy machine do not bunch up. An export runs on a
// thread of its own; its end, success or failure, is told in the window's status line, as is,
// once, the monitor's bound when tags come past it.
//
// Threads: the user-interface thread; the monitor outlives the window.
class CTagMonitorDlg : public QDialog
{
    Q_OBJECT

public:
    static constexpr int REFRESH_PER_SECOND = 10;

    // Asks for the file to export to; "" when the operator cancels.
    using SaveFileFunction = std::function<QString(QWidget *parent, const QString &proposal)>;

    explicit CTagMonitorDlg(CTagMonitor &monitor, QWidget *parent = nullptr);
    ~CTagMonitorDlg() override;

    // Replaces the platform's save dialog (tests).
    void SetSaveFileFunction(SaveFileFunction function) { m_saveFile = std::move(function); }

    // Brings everything shown up to the monitor now (the timer's work).
    void Refresh();
    void OnClear();
    void OnExport();

    QTableView *table() const { return m_table; }
    // The last line: how the last export ended.
    QLabel *status() const { return m_status; }
    QLabel *totals() const { return m_totals; }
    CReadRatePlot *plot() const { return m_plot; }

signals:
    // The window was hidden: its geometry is worth keeping.
    void hidden();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void OnExportFinished(const QString &path, int rows, const QString &error);
    void refreshAndPlanNext();

    CTagMonitor &m_monitor;
    CTagTableModel *m_model = nullptr;
    QLabel *m_totals = nullptr;
    CReadRatePlot *m_plot = nullptr;
    QLineEdit *m_filter = nullptr;
    QPushButton *m_clear = nullptr;
    QPushButton *m_exportButton = nullptr;
    QTableView *m_table = nullptr;
    QLabel *m_status = nullptr;
    SaveFileFunction m_saveFile;
    CTagCsvExport m_export;
    QTimer m_refreshTimer;        // single shot, precise: never early
    QElapsedTimer m_sinceTablePaint;
    bool m_boundShown = false;    // the status line told of the bound since the last clear
};

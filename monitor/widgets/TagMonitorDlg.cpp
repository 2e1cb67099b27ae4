#include "monitor/widgets/TagMonitorDlg.h"

#include "monitor/TagMonitor.h"
#include "monitor/TagTableModel.h"
#include "monitor/widgets/ReadRatePlot.h"

#include <QDateTime>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTableView>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

constexpr char WINDOW_TITLE[] = "Tag Monitor";
constexpr char FILTER_PLACEHOLDER[] = "Filter tags";
constexpr char CLEAR_TEXT[] = "Clear";
// The names assistive technology reads for the controls without a label of their own.
constexpr char FILTER_NAME[] = "Filter tags";
constexpr char CLEAR_FILTER_NAME[] = "Clear the filter";
constexpr char TABLE_NAME[] = "Tags read";
constexpr char EXPORT_TEXT[] = "Export CSV...";
constexpr char EXPORT_CAPTION[] = "Export CSV";
constexpr char CSV_FILTER[] = "CSV files (*.csv);;All files (*)";
constexpr char EXPORT_NAME_FORMAT[] = "'tags-'yyyyMMdd-HHmmss'.csv'";
constexpr int MS_PER_SECOND = 1000;
// The first size, in digits and text lines: every column of a 24-digit EPC's row in view,
// its decoded SGTIN's URI included.
constexpr int WINDOW_WIDTH_DIGITS = 150;
constexpr int WINDOW_HEIGHT_LINES = 40;

QString elapsedText(qint64 ms)
{
    const qint64 seconds = ms / MS_PER_SECOND;
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600)
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

CTagMonitorDlg::CTagMonitorDlg(CTagMonitor &monitor, QWidget *parent)
    : QDialog(parent, Qt::Window), m_monitor(monitor)
{
    setWindowTitle(QString::fromLatin1(WINDOW_TITLE));
    setModal(false);
    m_model = new CTagTableModel(m_monitor, this);

    m_totals = new QLabel(this);
    m_totals->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_plot = new CReadRatePlot(this);
    m_filter = new QLineEdit(this);
    m_filter->setPlaceholderText(QString::fromLatin1(FILTER_PLACEHOLDER));
    m_filter->setClearButtonEnabled(true);
    // A screen reader names the controls by what they are for, not by what they hold.
    m_filter->setAccessibleName(QString::fromLatin1(FILTER_NAME));
    for (QToolButton *button : m_filter->findChildren<QToolButton *>())
        button->setAccessibleName(QString::fromLatin1(CLEAR_FILTER_NAME));
    m_clear = new QPushButton(QString::fromLatin1(CLEAR_TEXT), this);
    m_exportButton = new QPushButton(QString::fromLatin1(EXPORT_TEXT), this);
    // Enter in the filter must not press a button.
    m_clear->setAutoDefault(false);
    m_exportButton->setAutoDefault(false);

    m_table = new QTableView(this);
    m_table->setAccessibleName(QString::fromLatin1(TABLE_NAME));
    m_table->setModel(m_model);
    m_table->setSortingEnabled(true);
    m_table->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);   // order of first read
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setWordWrap(false);
    m_table->viewport()->installEventFilter(this);
    m_table->verticalHeader()->hide();
    // Fixed rows: the view never measures 100,000 rows.
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_table->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    m_table->horizontalHeader()->setStretchLastSection(true);
    const int digit = fontMetrics().horizontalAdvance(QLatin1Char('0'));
    m_table->setColumnWidth(CTagTableModel::TagColumn, 26 * digit);
    m_table->setColumnWidth(CTagTableModel::KindColumn, 12 * digit);
    m_table->setColumnWidth(CTagTableModel::ReadsColumn, 9 * digit);
    m_table->setColumnWidth(CTagTableModel::FirstSeenColumn, 24 * digit);
    m_table->setColumnWidth(CTagTableModel::LastSeenColumn, 24 * digit);
    m_table->setColumnWidth(CTagTableModel::RateColumn, 15 * digit);

    m_status = new QLabel(this);
    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto *tools = new QHBoxLayout;
    tools->addWidget(m_filter, 1);
    tools->addWidget(m_clear);
    tools->addWidget(m_exportButton);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_totals);
    layout->addWidget(m_plot);
    layout->addLayout(tools);
    layout->addWidget(m_table, 1);
    layout->addWidget(m_status);
    resize(sizeHint().expandedTo(QSize(WINDOW_WIDTH_DIGITS * digit, WINDOW_HEIGHT_LINES * fontMetrics().height())));

    connect(m_filter, &QLineEdit::textChanged, m_model, &CTagTableModel::SetFilter);
    connect(m_clear, &QPushButton::clicked, this, &CTagMonitorDlg::OnClear);
    connect(m_exportButton, &QPushButton::clicked, this, &CTagMonitorDlg::OnExport);
    connect(&m_export, &CTagCsvExport::finished, this, &CTagMonitorDlg::OnExportFinished);
    m_refreshTimer.setSingleShot(true);
    m_refreshTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_refreshTimer, &QTimer::timeout, this, &CTagMonitorDlg::refreshAndPlanNext);
    m_saveFile = [](QWidget *owner, const QString &proposal) {
        return QFileDialog::getSaveFileName(owner, QString::fromLatin1(EXPORT_CAPTION), proposal,
                                            QString::fromLatin1(CSV_FILTER));
    };
    Refresh();
}

CTagMonitorDlg::~CTagMonitorDlg() = default;

void CTagMonitorDlg::Refresh()
{
    const qint64 now = m_monitor.Now();
    const int rows = m_model->rowCount();
    m_model->Refresh(now);
    // New rows: the view's layout now rather than on its deferred timer, which would paint
    // the table a second time.
    if (m_model->rowCount() != rows)
        m_table->doItemsLayout();
    const QLocale locale;
    // The rate as the table, the export and the plot's newest bars have it (10 s window).
    QString totals = QStringLiteral("Distinct tags: %1    Reads: %2    Elapsed: %3    Reads/s (10 s): %4")
                         .arg(locale.toString(m_monitor.DistinctTags()), locale.toString(m_monitor.Reads()),
                              elapsedText(m_monitor.ElapsedMs(now)), locale.toString(m_monitor.Rate(now), 'f', 1));
    if (m_monitor.OtherReads() > 0) {
        totals += QStringLiteral("    Others: %1").arg(locale.toString(m_monitor.OtherReads()));
        // Said once (again after a clear), so that an export's outcome is not hidden by it.
        if (!m_boundShown)
            m_status->setText(CTagMonitor::BoundNote(m_monitor.MaxTags()));
        m_boundShown = true;
    }
    m_totals->setText(totals);
    const auto history = m_monitor.ReadsPerSecond(now);
    m_plot->SetValues(QVector<quint64>(history.begin(), history.end()));
}

void CTagMonitorDlg::OnClear()
{
    m_monitor.Clear();
    m_status->clear();
    m_boundShown = false;
    Refresh();
}

void CTagMonitorDlg::OnExport()
{
    if (m_export.IsRunning()) {
        m_status->setText(QStringLiteral("An export is still being written."));
        return;
    }
    const qint64 now = m_monitor.Now();
    const QString proposal = QDir::home().filePath(
        QDateTime::fromMSecsSinceEpoch(now).toString(QLatin1String(EXPORT_NAME_FORMAT)));
    const QString path = m_saveFile ? m_saveFile(this, proposal) : QString();
    if (path.isEmpty())
        return;
    // The rows as the table shows them now, filter and order included.
    m_model->Refresh(now);
    m_export.Start(m_monitor, m_model->Rows(), now, path);
    m_exportButton->setEnabled(false);
    m_status->setText(QStringLiteral("Exporting %1 tags to %2 ...").arg(m_model->Rows().size()).arg(QDir::toNativeSeparators(path)));
}

void CTagMonitorDlg::OnExportFinished(const QString &path, int rows, const QString &error)
{
    m_exportButton->setEnabled(true);
    const QString shown = QDir::toNativeSeparators(path);
    if (error.isEmpty())
        m_status->setText(QStringLiteral("Exported %1 tags to %2").arg(rows).arg(shown));
    else
        m_status->setText(QStringLiteral("Export to %1 failed: %2. No file was written.").arg(shown, error));
}

void CTagMonitorDlg::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (!m_refreshTimer.isActive())
        refreshAndPlanNext();
}

void CTagMonitorDlg::hideEvent(QHideEvent *event)
{
    QDialog::hideEvent(event);
    m_refreshTimer.stop();
    emit hidden();
}

bool CTagMonitorDlg::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_table->viewport() && event->type() == QEvent::Paint)
        m_sinceTablePaint.start();
    return QDialog::eventFilter(watched, event);
}

void CTagMonitorDlg::refreshAndPlanNext()
{
    constexpr qint64 periodMs = MS_PER_SECOND / REFRESH_PER_SECOND;
    const qint64 sincePaint = m_sinceTablePaint.isValid() ? m_sinceTablePaint.elapsed() : periodMs;
    if (sincePaint < periodMs) {
        m_refreshTimer.start(int(periodMs - sincePaint));
        return;
    }
    Refresh();
    m_refreshTimer.start(int(periodMs));
}

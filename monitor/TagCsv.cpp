#include "monitor/TagCsv.h"

#include "monitor/TagTableModel.h"
#include "platform/FileSync.h"

#include <QDateTime>
#include <QSaveFile>

namespace {

constexpr char CSV_LINE_END[] = "\r\n";
constexpr char CSV_TIME_FORMAT[] = "yyyy-MM-ddTHH:mm:ss.zzz";
constexpr int SECONDS_PER_MINUTE = 60;
constexpr int SECONDS_PER_HOUR = 3600;
// Rows are gathered into pieces of about this size before each write.
constexpr qsizetype WRITE_PIECE_BYTES = 256 * 1024;

bool mustQuote(QByteArrayView field)
{
    if (field.isEmpty())
        return false;
    if (field.front() == ' ' || field.back() == ' ')
        return true;
    for (char c : field) {
        if (c == ',' || c == '"' || c == '\r' || c == '\n')
            return true;
    }
    return false;
}

// A short write is retried with the rest, so a full disk ends in an error, not a cut file.
bool writeAll(QSaveFile &file, const QByteArray &bytes)
{
    for (qsizetype done = 0; done < bytes.size();) {
        const qint64 n = file.write(bytes.constData() + done, bytes.size() - done);
        if (n <= 0)
            return false;
        done += qsizetype(n);
    }
    return true;
}

} // namespace

QByteArray CsvField(QByteArrayView utf8)
{
    if (!mustQuote(utf8))
        return utf8.toByteArray();
    QByteArray quoted;
    quoted.reserve(utf8.size() + 2);
    quoted += '"';
    for (char c : utf8) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

QByteArray CsvTime(qint64 msSinceEpoch)
{
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(msSinceEpoch);
    const int offset = local.offsetFromUtc();
    const int magnitude = offset < 0 ? -offset : offset;
    return local.toString(QLatin1String(CSV_TIME_FORMAT)).toLatin1()
           + (offset < 0 ? '-' : '+')
           + QByteArray::number(magnitude / SECONDS_PER_HOUR).rightJustified(2, '0') + ':'
           + QByteArray::number(magnitude % SECONDS_PER_HOUR / SECONDS_PER_MINUTE).rightJustified(2, '0');
}

// The table's column titles.
QByteArray TagCsvHeader()
{
    QByteArray header;
    for (int column = 0; column < CTagTableModel::COLUMN_COUNT; ++column)
        header += (column > 0 ? "," : "") + CsvField(CTagTableModel::ColumnTitle(column).toUtf8());
    return header + CSV_LINE_END;
}

void AppendTagCsvRow(QByteArray &out, const CTagMonitor &monitor, int tag, qint64 nowMs)
{
    out += CsvField(monitor.TextUtf8(tag));
    out += ',';
    out += CTagTableModel::KindText(int(monitor.Kind(tag))).toLatin1();
    out += ',';
    out += QByteArray::number(monitor.ReadsOf(tag));
    out += ',';
    out += CsvTime(monitor.FirstSeenMs(tag));
    out += ',';
    out += CsvTime(monitor.LastSeenMs(tag));
    out += ',';
    out += QByteArray::number(monitor.Rate(tag, nowMs), 'f', 1);
    out += CSV_LINE_END;
}

QString WriteTagCsv(const CTagMonitor &monitor, const std::vector<int> &tags, qint64 nowMs, const QString &path)
{
    // Unbuffered: each write's failure is seen here. A buffered QSaveFile writes its last
    // block inside commit() and renames a cut file over the target when that write fails.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return file.errorString();
    QByteArray piece = TagCsvHeader();
    bool written = true;
    for (int tag : tags) {
        if (tag < 0 || tag >= monitor.DistinctTags())
            continue;
        AppendTagCsvRow(piece, monitor, tag, nowMs);
        if (piece.size() >= WRITE_PIECE_BYTES) {
            written = writeAll(file, piece);
            piece.clear();
            if (!written)
                break;
        }
    }
    if (written)
        written = writeAll(file, piece);
    const QString reason = written ? SyncToDisk(file.handle()) : file.errorString();
    if (!written || !reason.isEmpty()) {
        file.cancelWriting();   // the temporary file goes; the target was never touched
        return reason.isEmpty() ? QStringLiteral("write failed") : reason;
    }
    if (!file.commit())
        return file.errorString();
    return QString();
}

CTagCsvExport::CTagCsvExport(QObject *parent)
    : QObject(parent)
{
}

CTagCsvExport::~CTagCsvExport()
{
    if (m_worker.joinable())
        m_worker.join();
}

bool CTagCsvExport::Start(const CTagMonitor &monitor, std::vector<int> tags, qint64 nowMs, const QString &path)
{
    if (m_worker.joinable())
        return false;
    // The copy is a few block copies (records, texts, index), done here so the worker shares
    // nothing with the counting that goes on.
    auto copy = std::make_shared<const CTagMonitor>(monitor);
    m_worker = std::thread([this, copy, tags = std::move(tags), nowMs, path] {
        const QString error = WriteTagCsv(*copy, tags, nowMs, path);
        const int rows = int(tags.size());
        // Queued to this object's thread; dropped if the object is gone by then.
        QMetaObject::invokeMethod(
            this,
            [this, path, rows, error] {
                if (m_worker.joinable())
                    m_worker.join();
                emit finished(path, rows, error);
            },
            Qt::QueuedConnection);
    });
    return true;
}

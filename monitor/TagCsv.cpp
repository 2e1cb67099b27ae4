#include "monitor/TagCsv.h"

#include "epc/EpcDecoder.h"
#include "monitor/TagTableModel.h"
#include "platform/AtomicFile.h"

#include <QDateTime>

namespace {

constexpr char CSV_LINE_END[] = "\r\n";
constexpr char CSV_TIME_FORMAT[] = "yyyy-MM-ddTHH:mm:ss.zzz";
constexpr int SECONDS_PER_MINUTE = 60;
constexpr int SECONDS_PER_HOUR = 3600;
// After the table's columns.
constexpr const char *EPC_COLUMN_TITLES[] = {"Scheme", "Tag URI"};

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
    for (const char *title : EPC_COLUMN_TITLES)
        header += QByteArray(",") + title;
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
    out += ',';
    out += CsvField(monitor.Decoded(tag).toUtf8());
    const DecodedEpc epc = monitor.IsDecoding() ? DecodeEpcLine(monitor.Text(tag)) : DecodedEpc();
    out += ',';
    out += epc.scheme.toLatin1();
    out += ',';
    out += CsvField(epc.tagUri.toUtf8());
    out += CSV_LINE_END;
}

QString WriteTagCsv(const CTagMonitor &monitor, const std::vector<int> &tags, qint64 nowMs, const QString &path)
{
    // The whole file is built first: about 90 bytes a row, so 100,000 tags make 9 MB.
    QByteArray bytes = TagCsvHeader();
    for (int tag : tags) {
        if (tag >= 0 && tag < monitor.DistinctTags())
            AppendTagCsvRow(bytes, monitor, tag, nowMs);
    }
    return WriteFileAtomically(path, bytes);
}

CTagCsvExport::CTagCsvExport(QObject *parent)
    : QObject(parent)
{
}

// The queue is joined before QObject goes: a result posted meanwhile is dropped with the object.
CTagCsvExport::~CTagCsvExport() = default;

bool CTagCsvExport::Start(const CTagMonitor &monitor, std::vector<int> tags, qint64 nowMs, const QString &path)
{
    if (IsRunning())
        return false;
    // The copy shares the monitor's blocks (records, texts, index) until the counting that
    // goes on writes to one, which it then copies for itself: the writer sees the counts of now.
    auto copy = std::make_shared<const CTagMonitor>(monitor);
    m_writer.Run([this, copy, tags = std::move(tags), nowMs, path]() -> CWorkQueue::Apply {
        const QString error = WriteTagCsv(*copy, tags, nowMs, path);
        const int rows = int(tags.size());
        return [this, path, rows, error] { emit finished(path, rows, error); };
    });
    return true;
}

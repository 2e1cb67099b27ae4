#pragma once

#include "monitor/TagMonitor.h"
#include "platform/WorkQueue.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QString>

#include <memory>
#include <vector>

// The tag monitor's table as CSV: RFC 4180 (records ended by CR LF; a field that holds a
// comma, a double quote, CR or LF, or starts or ends with a space, is quoted, its quotes
// doubled), UTF-8 without a byte order mark, one header row, times in ISO 8601 local time
// with milliseconds and the offset from UTC ("2026-03-01T14:05:09.120+01:00"). The table's
// columns come first, then the decoded EPC's scheme and tag URI, which the export decodes
// again on its own thread rather than keep for every tag.

// One field, quoted when it must be.
QByteArray CsvField(QByteArrayView utf8);
// A time as the CSV writes it.
QByteArray CsvTime(qint64 msSinceEpoch);
// The header row and the row of one tag (rates as of `nowMs`), each with its CR LF.
QByteArray TagCsvHeader();
void AppendTagCsvRow(QByteArray &out, const CTagMonitor &monitor, int tag, qint64 nowMs);

// Writes the rows of `tags` (in that order) to `path`: into a temporary file beside it,
// flushed to the disk and then renamed over it, so a failure (full disk, no permission)
// leaves whatever was there before and no partial file. Returns "" on success, otherwise
// why it failed. Blocks on the disk: not for the window's thread.
QString WriteTagCsv(const CTagMonitor &monitor, const std::vector<int> &tags, qint64 nowMs, const QString &path);

// Runs WriteTagCsv on a thread of its own (a CWorkQueue's) with a copy of the monitor, and
// reports the end on the thread that owns this object. One export at a time. The destructor
// waits for a running export; its end is then no longer reported.
class CTagCsvExport : public QObject
{
    Q_OBJECT

public:
    explicit CTagCsvExport(QObject *parent = nullptr);
    ~CTagCsvExport() override;

    // False (and nothing done) while an export runs.
    bool Start(const CTagMonitor &monitor, std::vector<int> tags, qint64 nowMs, const QString &path);
    bool IsRunning() const { return m_writer.Pending() > 0; }

signals:
    // `error` is empty when the file was written.
    void finished(const QString &path, int rows, const QString &error);

private:
    CWorkQueue m_writer;
};

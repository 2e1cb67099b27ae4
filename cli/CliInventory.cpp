// inventory: inventories for a while, then the tag table.

#include "cli/CliCommands.h"
#include "cli/CliSession.h"
#include "epc/TagJson.h"
#include "monitor/TagCsv.h"
#include "protocol/ProtocolConstants.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <vector>

namespace {

constexpr const char *KIND_TEXTS[] = {"RFID tag", "Barcode scan"};

std::vector<int> AllTags(const CTagMonitor &monitor)
{
    std::vector<int> tags(size_t(monitor.DistinctTags()));
    for (int i = 0; i < monitor.DistinctTags(); ++i)
        tags[size_t(i)] = i;
    return tags;
}

// The CSV of every reader: to standard output, one file, or one file per port.
bool WriteCsv(CCliSession &session, const std::vector<std::unique_ptr<CCliReader>> &readers)
{
    const QString &csv = session.options().csvPath;
    if (csv == QLatin1String("-")) {
        QByteArray text = TagCsvHeader();
        for (auto &reader : readers) {
            const CTagMonitor &monitor = reader->engine().tagMonitor();
            for (int tag = 0; tag < monitor.DistinctTags(); ++tag)
                AppendTagCsvRow(text, monitor, tag, monitor.Now());
        }
        session.out(text);
        return true;
    }
    for (auto &reader : readers) {
        const CTagMonitor &monitor = reader->engine().tagMonitor();
        QString path = csv;
        if (readers.size() > 1) {
            const QFileInfo info(path);
            const QString suffix = info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
            path = info.path() + QLatin1Char('/') + info.completeBaseName() + QLatin1Char('-') + reader->portName() + suffix;
        }
        const QString error = WriteTagCsv(monitor, AllTags(monitor), monitor.Now(), path);
        if (!error.isEmpty()) {
            session.outputFailure(path, error);
            return false;
        }
    }
    return true;
}

void PrintTable(CCliSession &session, const std::vector<std::unique_ptr<CCliReader>> &readers)
{
    const bool several = readers.size() > 1;
    const bool json = session.options().json;
    if (!json)
        session.out(QStringLiteral("%1Tag\tKind\tReads\tFirst seen\tLast seen\tReads/s\n").arg(several ? QStringLiteral("Port\t") : QString()));
    for (auto &reader : readers) {
        const CTagMonitor &monitor = reader->engine().tagMonitor();
        const qint64 now = monitor.Now();
        for (int tag = 0; tag < monitor.DistinctTags(); ++tag) {
            const QString kind = QLatin1String(KIND_TEXTS[int(monitor.Kind(tag))]);
            const double rate = monitor.Rate(tag, now);
            if (json) {
                QJsonObject object = TagJson(monitor.Text(tag));
                object.insert(QStringLiteral("port"), reader->portName());
                object.insert(QStringLiteral("kind"), kind);
                object.insert(QStringLiteral("reads"), qint64(monitor.ReadsOf(tag)));
                object.insert(QStringLiteral("first"), QString::fromLatin1(CsvTime(monitor.FirstSeenMs(tag))));
                object.insert(QStringLiteral("last"), QString::fromLatin1(CsvTime(monitor.LastSeenMs(tag))));
                object.insert(QStringLiteral("rate"), rate);
                session.out(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
                continue;
            }
            QByteArray row;
            if (several)
                row += reader->portName().toUtf8() + '\t';
            AppendVisible(row, monitor.Text(tag));
            row += '\t' + kind.toUtf8() + '\t' + QByteArray::number(qint64(monitor.ReadsOf(tag))) + '\t'
                   + CsvTime(monitor.FirstSeenMs(tag)) + '\t' + CsvTime(monitor.LastSeenMs(tag)) + '\t'
                   + QByteArray::number(rate, 'f', 1) + '\n';
            session.out(row);
        }
    }
}

} // namespace

int RunInventory(CCliSession &session)
{
    const CliOptions &options = session.options();
    std::vector<std::unique_ptr<CCliReader>> readers;
    const QString command = QString::fromLatin1(options.mode == 0 ? COMMAND_INVENTORY_SINGLE : COMMAND_INVENTORY_MULTI);
    for (const CliPort &port : options.ports) {
        readers.push_back(session.makeReader(port));
        if (const int code = session.open(*readers.back()); code != EXIT_OK || session.interrupted())
            return code;
    }
    // Each reader runs its rounds on its own: the next command when its prompt comes, until
    // the time is up (or after one round). A reader that stops answering or is lost is done.
    const QDeadlineTimer until(qint64(options.seconds * 1000));
    QSet<CCliReader *> running;
    bool lost = false;
    std::vector<QMetaObject::Connection> connections;
    for (auto &r : readers) {
        CCliReader *reader = r.get();
        connections.push_back(QObject::connect(
            reader, &CCliReader::traffic, &session, [&, reader](CCliReader *, CCliReader::Direction direction, int, const QString &line) {
                if (direction != CCliReader::Direction::Received || !line.startsWith(QLatin1String(READER_PROMPT)))
                    return;
                if (options.seconds > 0 && !until.hasExpired() && !session.interrupted()
                    && reader->engine().SendCommand(command) > 0)
                    return;
                running.remove(reader);
            }));
        connections.push_back(QObject::connect(reader, &CCliReader::link, &session, [&](CCliReader *changed, CCliReader::LinkEvent event) {
            if (event == CCliReader::LinkEvent::Lost && running.remove(changed))
                lost = true;
        }));
        if (reader->engine().SendCommand(command) > 0)
            running.insert(reader);
    }
    session.waitFor([&] { return running.isEmpty(); }, int((options.seconds + options.timeoutS) * 1000));
    for (const QMetaObject::Connection &c : connections)
        QObject::disconnect(c);
    const bool silent = !running.isEmpty() && !session.interrupted() && !session.outputFailed();
    for (CCliReader *reader : std::as_const(running))
        if (silent)
            session.err(QStringLiteral("%1: no answer to %2 within %3 s; its table holds what came before")
                            .arg(reader->portName(), CCliSession::Quoted(command)).arg(options.timeoutS));

    if (!options.csvPath.isEmpty()) {
        if (!WriteCsv(session, readers))
            return EXIT_OUTPUT;
    } else {
        PrintTable(session, readers);
    }
    if (lost)
        return EXIT_PORT;
    return silent ? EXIT_FAILED : EXIT_OK;
}

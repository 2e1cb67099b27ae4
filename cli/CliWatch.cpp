// watch: every line sent and received, and the link's changes, as they come.

#include "cli/CliCommands.h"
#include "cli/CliPublish.h"
#include "cli/CliSession.h"
#include "epc/TagJson.h"
#include "platform/CodePage.h"
#include "protocol/TrafficLine.h"

#include <QDateTime>

#include <vector>

namespace {

// Lines are printed as they come, a flood at a million a second: each is written by hand into
// a line that keeps its room, its start (time and port) made once per millisecond. With --mqtt each
// event is also made as --json makes it (printed or not) and handed to its port's publisher.
class CWatch
{
public:
    CWatch(CCliSession &session, CCliPublishing *publishing)
        : m_session(session), m_options(session.options()), m_publishing(publishing)
    {
    }

    void line(CCliReader *reader, CCliReader::Direction direction, int lineClass, const QString &text)
    {
        const CMqttPublisher::Stream stream =
            lineClass == CResponseDispatcher::TagData ? CMqttPublisher::Stream::Tags : CMqttPublisher::Stream::Events;
        for (const bool json : {true, false})
            if (wanted(json))
                line(reader, direction, lineClass, text, json, stream);
    }

    // Shown cut, with the window's mark, and said: never dropped.
    void longLine(CCliReader *reader, const QString &head, qint64 chars)
    {
        line(reader, CCliReader::Direction::Received, CCliReader::CUT_LINE, m_session.longLineShown(*reader, head, chars));
    }

    void link(CCliReader *reader, CCliReader::LinkEvent event, const QString &detail)
    {
        for (const bool json : {true, false})
            if (wanted(json))
                link(reader, event, detail, json);
    }

private:
    // Made as JSON for --json and for the broker, as text for the plain output.
    bool wanted(bool json) const { return json ? m_options.json || m_publishing : !m_options.json; }

    void line(CCliReader *reader, CCliReader::Direction direction, int lineClass, const QString &text, bool json,
              CMqttPublisher::Stream stream)
    {
        const bool sent = direction == CCliReader::Direction::Sent;
        start(reader, sent ? LogKind::Sent : LogKind::Received, json);
        if (json) {
            m_line += ",\"dir\":\"";
            m_line += sent ? "tx" : "rx";
            m_line += "\",\"class\":\"";
            m_line += CCliReader::ClassName(lineClass);
            m_line += "\",\"line\":";
            AppendJsonString(m_line, text);
            if (lineClass == CResponseDispatcher::TagData)
                AppendTagJsonFields(m_line, text);
        } else if (m_options.hex && !sent) {
            AppendHex(m_line, m_encoder, text);
        } else {
            AppendVisible(m_line, text);
        }
        end(reader, json, stream);
    }

    void link(CCliReader *reader, CCliReader::LinkEvent event, const QString &detail, bool json)
    {
        start(reader, event == CCliReader::LinkEvent::Lost ? LogKind::Error : LogKind::Note, json);
        const QLatin1String name = CCliReader::LinkEventName(event);
        if (json) {
            m_line += ",\"kind\":\"link\",\"event\":\"";
            m_line += name;
            m_line += '"';
            if (!detail.isEmpty()) {
                m_line += event == CCliReader::LinkEvent::Lost ? ",\"reason\":" : ",\"path\":";
                AppendJsonString(m_line, detail);
            }
        } else {
            m_line += name;
            if (!detail.isEmpty()) {
                m_line += event == CCliReader::LinkEvent::Lost ? ": " : " ";
                AppendVisible(m_line, detail);
            }
        }
        end(reader, json, CMqttPublisher::Stream::Events);
    }

    // The line's start: its time, its port and, as text, its mark. Made once per millisecond
    // for each of the two forms (each line with --timestamp-format delta) and copied into
    // each line of it.
    void start(CCliReader *reader, LogKind kind, bool json)
    {
        const qint64 ms = QDateTime::currentMSecsSinceEpoch();
        LineStart &cached = m_start[json ? 1 : 0];
        if (ms != cached.ms || reader != cached.reader || kind != cached.kind
            || m_options.timestampFormat == TimestampFormat::Delta) {
            cached.ms = ms;
            cached.reader = reader;
            cached.kind = kind;
            const QByteArray &time = m_session.timeText(ms);
            QByteArray &text = cached.text;
            text.truncate(0);
            if (json) {
                text += "{\"time\":\"";
                text += time;
                text += "\",\"port\":";
                AppendJsonString(text, reader->portName());
            } else {
                text += time;
                text += ' ';
                text += reader->portName().toUtf8();
                text += ' ';
                text += TrafficMark(kind);
            }
        }
        // Truncated, not cleared: the line keeps its room from one to the next.
        m_line.truncate(0);
        m_line += cached.text;
    }

    void end(CCliReader *reader, bool json, CMqttPublisher::Stream stream)
    {
        if (json) {
            m_line += '}';
            if (m_publishing)
                m_publishing->Publish(reader->portName(), stream, m_line);
            if (!m_options.json)
                return;
        }
        m_line += '\n';
        m_session.out(m_line);
    }

    CCliSession &m_session;
    const CliOptions &m_options;
    CCliPublishing *m_publishing;
    QByteArray m_line;
    struct LineStart
    {
        QByteArray text;
        qint64 ms = -1;
        const CCliReader *reader = nullptr;
        LogKind kind = LogKind::Note;
    };
    LineStart m_start[2];            // as text, as JSON
    CCodePageEncoder m_encoder;
};

} // namespace

int RunWatch(CCliSession &session)
{
    const CliOptions &options = session.options();
    if (const int code = session.openLog(); code != EXIT_OK || session.interrupted())
        return code;
    // --mqtt: the files are read and the queues opened before any port, so that nothing the
    // ports say goes unpublished. A refusal by the broker ends the run.
    std::unique_ptr<CCliPublishing> publishing;
    int code = EXIT_OK;
    if (options.has(OPT_MQTT)) {
        publishing = std::make_unique<CCliPublishing>();
        if (const QString why = publishing->Prepare(options.mqtt, options.mqttCredentials, options.mqttCa); !why.isEmpty())
            return session.usage(why);
        QObject::connect(publishing.get(), &CCliPublishing::noted, &session,
                         [&session](const QString &port, const QString &text, bool error) {
                             session.err(QStringLiteral("%1 %2: %3").arg(port, QLatin1String(error ? "error" : "note"), text));
                         });
        QObject::connect(publishing.get(), &CCliPublishing::refused, &session,
                         [&session, &code](const QString &port, const QString &text) {
                             session.err(QStringLiteral("%1: %2").arg(port, text));
                             code = EXIT_PORT;
                             session.interrupt();
                         });
        for (const CliPort &port : options.ports) {
            QString error;
            if (!publishing->AddPort(port.name, error))
                return session.usage(QStringLiteral("the broker's queue: %1").arg(error));
        }
    }
    CWatch watch(session, publishing.get());
    std::vector<std::unique_ptr<CCliReader>> readers;
    for (const CliPort &port : options.ports) {
        readers.push_back(session.makeReader(port));
        CCliReader &reader = *readers.back();
        reader.engine().SetMultiMode(options.mode == 1);
        QObject::connect(&reader, &CCliReader::traffic, &session,
                         [&watch](CCliReader *r, CCliReader::Direction d, int c, const QString &l) { watch.line(r, d, c, l); });
        QObject::connect(&reader, &CCliReader::longLine, &session,
                         [&watch](CCliReader *r, const QString &head, qint64 chars) { watch.longLine(r, head, chars); });
        QObject::connect(&reader, &CCliReader::link, &session,
                         [&watch](CCliReader *r, CCliReader::LinkEvent e, const QString &detail) { watch.link(r, e, detail); });
        if (const int opened = session.open(reader); opened != EXIT_OK)
            code = opened;
        if (code != EXIT_OK || session.interrupted())
            break;
        // From here the automatic connection reopens a lost link and wakes the reader.
        reader.engine().SetAutoConnect(true);
    }
    if (code == EXIT_OK)
        session.waitFor([] { return false; }, -1);
    // Closed here, while the stream still takes their last event.
    for (auto &reader : readers) {
        reader->engine().SetAutoConnect(false);
        reader->engine().ClosePort();
    }
    return code;
}

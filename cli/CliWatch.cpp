// watch: every line sent and received, and the link's changes, as they come.

#include "cli/CliCommands.h"
#include "cli/CliSession.h"
#include "epc/TagJson.h"
#include "platform/CodePage.h"
#include "protocol/TrafficLine.h"

#include <QDateTime>

#include <vector>

namespace {

// Lines are printed as they come, a flood at tens of thousands a second: each is written by
// hand into the session's batch, the time's text made once per millisecond.
class CWatch
{
public:
    explicit CWatch(CCliSession &session) : m_session(session), m_options(session.options()) {}

    void line(CCliReader *reader, CCliReader::Direction direction, int lineClass, const QString &text)
    {
        const bool sent = direction == CCliReader::Direction::Sent;
        start(reader, sent ? LogKind::Sent : LogKind::Received);
        if (m_options.json) {
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
        end();
    }

    // Shown cut, with the window's mark, and said: never dropped.
    void longLine(CCliReader *reader, const QString &head, qint64 chars)
    {
        line(reader, CCliReader::Direction::Received, CCliReader::CUT_LINE, m_session.longLineShown(*reader, head, chars));
    }

    void link(CCliReader *reader, CCliReader::LinkEvent event, const QString &detail)
    {
        start(reader, event == CCliReader::LinkEvent::Lost ? LogKind::Error : LogKind::Note);
        const QLatin1String name = CCliReader::LinkEventName(event);
        if (m_options.json) {
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
        end();
    }

private:
    void start(CCliReader *reader, LogKind kind)
    {
        const QByteArray &time = m_session.timeText(QDateTime::currentMSecsSinceEpoch());
        m_line.clear();
        if (m_options.json) {
            m_line += "{\"time\":\"" + time + "\",\"port\":";
            AppendJsonString(m_line, reader->portName());
        } else {
            m_line += time + ' ' + reader->portName().toUtf8() + ' ';
            const QLatin1String mark = TrafficMark(kind);
            m_line.append(mark.data(), mark.size());
        }
    }

    void end()
    {
        m_line += m_options.json ? "}\n" : "\n";
        m_session.out(m_line);
    }

    CCliSession &m_session;
    const CliOptions &m_options;
    QByteArray m_line;
    CCodePageEncoder m_encoder;
};

} // namespace

int RunWatch(CCliSession &session)
{
    const CliOptions &options = session.options();
    if (const int code = session.openLog(); code != EXIT_OK || session.interrupted())
        return code;
    CWatch watch(session);
    std::vector<std::unique_ptr<CCliReader>> readers;
    int code = EXIT_OK;
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
        code = session.open(reader);
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

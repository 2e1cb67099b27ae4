#include "app/LogLines.h"

#include <algorithm>

namespace {

// Characters of one chunk (128 KB). A line never spans two chunks; a line longer than a
// chunk (only a log without bounds would hold one) gets a chunk of its own size.
constexpr qsizetype CHUNK_CHARS = 64 * 1024;

} // namespace

QStringView CLogLines::Text(int line) const
{
    if (line < 0 || line >= Count())
        return {};
    if (line == int(m_lines.size()))
        return m_open;
    const Line &l = m_lines[size_t(line)];
    return QStringView(m_chunks[l.chunk - m_firstChunk]).mid(l.offset, l.length);
}

qint64 CLogLines::Start(int line) const
{
    if (line >= int(m_lines.size()))
        return m_openStart;
    return m_lines[size_t(std::max(line, 0))].start;
}

int CLogLines::LineAt(qint64 at) const
{
    if (at >= m_openStart)
        return int(m_lines.size());
    const auto it = std::upper_bound(m_lines.begin(), m_lines.end(), at,
                                     [](qint64 pos, const Line &l) { return pos < l.start; });
    return std::max(0, int(it - m_lines.begin()) - 1);
}

std::deque<CLogLines::Run>::const_iterator CLogLines::runAt(qint64 at) const
{
    auto it = std::upper_bound(m_runs.begin(), m_runs.end(), at, [](qint64 pos, const Run &r) { return pos < r.at; });
    return it == m_runs.begin() ? it : it - 1;
}

LogKind CLogLines::KindAt(qint64 at) const
{
    const auto it = runAt(at);
    return it == m_runs.end() ? LogKind::Received : it->kind;
}

CLogLines::Runs CLogLines::RunsOf(int line) const
{
    Runs runs;
    const QStringView text = Text(line);
    const qint64 start = Start(line);
    auto it = runAt(start);
    for (qsizetype from = 0; from < text.size() && it != m_runs.end();) {
        const auto next = it + 1;
        const qsizetype to = next == m_runs.end() ? text.size() : qBound<qsizetype>(from, next->at - start, text.size());
        if (to > from) {
            if (!runs.isEmpty() && runs.back().first == it->kind)
                runs.back().second += text.mid(from, to - from);
            else
                runs.append({it->kind, text.mid(from, to - from).toString()});
        }
        from = to;
        it = next;
    }
    return runs;
}

bool CLogLines::HoldsKind(int line, LogKind a, LogKind b) const
{
    const qint64 start = Start(line);
    const qint64 end = start + Length(line);
    for (auto it = runAt(start); it != m_runs.end() && it->at < end; ++it) {
        if (it->kind == a || it->kind == b)
            return true;
    }
    return false;
}

void CLogLines::Append(QStringView text, LogKind kind)
{
    if (text.isEmpty())
        return;
    if (m_runs.empty() || m_runs.back().kind != kind)
        m_runs.push_back({EndPosition(), kind});
    m_open.append(text);
}

void CLogLines::RemoveOpenTail(int count)
{
    m_open.chop(count);
    const qint64 end = EndPosition();
    while (m_runs.size() > 1 && m_runs.back().at >= end)
        m_runs.pop_back();
}

void CLogLines::Break()
{
    const qsizetype length = m_open.size();
    if (m_chunks.empty() || m_chunks.back().size() + length > m_chunks.back().capacity()) {
        m_chunks.emplace_back();
        m_chunks.back().reserve(std::max(CHUNK_CHARS, length));
    }
    QString &chunk = m_chunks.back();
    m_lines.push_back({m_openStart, quint32(m_firstChunk + m_chunks.size() - 1), quint32(chunk.size()), quint32(length)});
    chunk.append(m_open);
    m_openStart += length + 1;
    // The open line keeps its capacity: most lines are alike in length.
    m_open.truncate(0);
}

void CLogLines::DropFront(int lines)
{
    lines = std::min(lines, int(m_lines.size()));
    if (lines <= 0)
        return;
    m_lines.erase(m_lines.begin(), m_lines.begin() + lines);
    const quint32 firstKept = m_lines.empty() ? m_firstChunk + quint32(m_chunks.size()) - 1 : m_lines.front().chunk;
    while (m_firstChunk < firstKept) {
        m_chunks.pop_front();
        ++m_firstChunk;
    }
    // The run in force at the first character held stays.
    const qint64 first = FirstPosition();
    while (m_runs.size() > 1 && m_runs[1].at <= first)
        m_runs.pop_front();
}

void CLogLines::Clear()
{
    // Positions go on from where they were: a selection of cleared text holds nothing.
    m_openStart = EndPosition() + 1;
    m_lines = {};
    m_chunks = {};
    m_firstChunk = 0;
    m_open = QString();
    m_runs = {};
}

std::size_t CLogLines::MemoryBytes() const
{
    std::size_t bytes = m_lines.size() * sizeof(Line) + m_runs.size() * sizeof(Run)
                      + std::size_t(m_open.capacity()) * sizeof(QChar);
    for (const QString &chunk : m_chunks)
        bytes += std::size_t(chunk.capacity()) * sizeof(QChar);
    return bytes;
}

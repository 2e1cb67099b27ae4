#include "publish/DiskQueue.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int HEADER_BYTES = 8;
constexpr int HEAD_TEXT_BYTES = 21;            // 20 digits and a line end, rewritten in place
constexpr int WRITE_BUFFER_LIMIT = 1 << 20;    // written at once past this, Flush or not
constexpr int READ_CHUNK = 256 * 1024;
constexpr char SEGMENT_SUFFIX[] = ".seg";
constexpr int SEGMENT_NAME_DIGITS = 16;

QString SystemError(const QString &what)
{
    return what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
}

quint32 ReadLe32(const char *p)
{
    const auto *u = reinterpret_cast<const unsigned char *>(p);
    return quint32(u[0]) | quint32(u[1]) << 8 | quint32(u[2]) << 16 | quint32(u[3]) << 24;
}

void AppendLe32(QByteArray &into, quint32 value)
{
    const char bytes[4] = {char(value), char(value >> 8), char(value >> 16), char(value >> 24)};
    into.append(bytes, 4);
}

// The message's length when `p` holds a sound record header, otherwise -1.
qint64 RecordLength(const char *p)
{
    const quint32 length = ReadLe32(p);
    if (ReadLe32(p + 4) != ~length || length > quint32(CDiskQueue::MAX_MESSAGE_BYTES))
        return -1;
    return qint64(length);
}

bool WriteAll(int fd, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

} // namespace

CDiskQueue::~CDiskQueue()
{
    Close();
}

QString CDiskQueue::segmentPath(quint64 first) const
{
    return m_folder + QLatin1Char('/') + QString::number(first, 16).rightJustified(SEGMENT_NAME_DIGITS, QLatin1Char('0'))
           + QLatin1String(SEGMENT_SUFFIX);
}

bool CDiskQueue::Open(const QString &folder, QString &error)
{
    Close();
    m_folder = folder;
    if (!QDir().mkpath(folder)) {
        error = QStringLiteral("%1: cannot create the folder").arg(folder);
        return false;
    }
    const QByteArray lockPath = QFile::encodeName(folder + QStringLiteral("/lock"));
    m_lockFd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_lockFd < 0) {
        error = SystemError(folder + QStringLiteral("/lock"));
        return false;
    }
    if (::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        error = QStringLiteral("%1: in use by another rfid-lorix-cli").arg(folder);
        ::close(m_lockFd);
        m_lockFd = -1;
        return false;
    }
    const QByteArray headPath = QFile::encodeName(folder + QStringLiteral("/head"));
    m_headFd = ::open(headPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_headFd < 0) {
        error = SystemError(folder + QStringLiteral("/head"));
        Close();
        return false;
    }
    char headText[HEAD_TEXT_BYTES + 1] = {};
    const ssize_t headBytes = ::pread(m_headFd, headText, HEAD_TEXT_BYTES, 0);
    bool headKnown = false;
    const quint64 savedHead = headBytes == HEAD_TEXT_BYTES
                                  ? QByteArray(headText, HEAD_TEXT_BYTES - 1).toULongLong(&headKnown) : 0;

    // The segments, by their first index. Those but the last hold every index up to the
    // next one's first; the last is read to its end, and a torn record there cut off.
    const QStringList names = QDir(folder).entryList({QStringLiteral("*") + QLatin1String(SEGMENT_SUFFIX)}, QDir::Files, QDir::Name);
    for (const QString &name : names) {
        bool ok = false;
        const quint64 first = name.left(SEGMENT_NAME_DIGITS).toULongLong(&ok, 16);
        if (ok && name.size() == SEGMENT_NAME_DIGITS + int(sizeof SEGMENT_SUFFIX) - 1)
            m_segments.push_back({first, 0, 0});
    }
    for (size_t i = 0; i + 1 < m_segments.size(); ++i)
        m_segments[i].count = m_segments[i + 1].first - m_segments[i].first;
    if (!m_segments.empty()) {
        Segment &last = m_segments.back();
        qint64 end = 0;
        quint64 found = 0;
        scanSegment(last, ~quint64(0), end, found);
        last.count = found;
        last.bytes = end;
        const QByteArray path = QFile::encodeName(segmentPath(last.first));
        if (::truncate(path.constData(), end) != 0) {
            error = SystemError(segmentPath(last.first));
            Close();
            return false;
        }
        m_writeFd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (m_writeFd < 0) {
            error = SystemError(segmentPath(last.first));
            Close();
            return false;
        }
        m_tail = last.end();
    } else {
        m_tail = headKnown ? savedHead : 0;
    }
    const quint64 oldest = m_segments.empty() ? m_tail : m_segments.front().first;
    m_head = headKnown ? std::clamp(savedHead, oldest, m_tail) : oldest;
    m_savedHead = headKnown ? savedHead : ~quint64(0);
    m_readIndex = m_head;
    m_readSegment = NO_SEGMENT;
    deleteConsumed();
    return true;
}

// Counts up to `records` sound records from the segment's start; `offset` is where the
// last one ends.
bool CDiskQueue::scanSegment(const Segment &segment, quint64 records, qint64 &offset, quint64 &found) const
{
    offset = 0;
    found = 0;
    const QByteArray path = QFile::encodeName(segmentPath(segment.first));
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    QByteArray buffer;
    qint64 bufferStart = 0;
    while (found < records) {
        const qint64 at = offset - bufferStart;
        if (buffer.size() - at < HEADER_BYTES || buffer.size() - at < HEADER_BYTES + RecordLength(buffer.constData() + at)) {
            buffer = buffer.mid(int(at));
            bufferStart = offset;
            const int had = buffer.size();
            buffer.resize(had + READ_CHUNK);
            const ssize_t n = ::pread(fd, buffer.data() + had, READ_CHUNK, bufferStart + had);
            buffer.resize(had + int(qMax<ssize_t>(n, 0)));
            if (n <= 0)
                break;
            continue;
        }
        const qint64 length = RecordLength(buffer.constData() + at);
        if (length < 0)
            break;
        offset += HEADER_BYTES + length;
        ++found;
    }
    ::close(fd);
    return found == records;
}

void CDiskQueue::Close()
{
    if (m_headFd >= 0) {
        QString ignored;
        Flush(ignored);
        SaveHead(ignored);
    }
    closeReader();
    for (int *fd : {&m_writeFd, &m_headFd, &m_lockFd}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    m_segments.clear();
    m_sent.clear();
    m_writeBuffer.clear();
    m_savedHead = ~quint64(0);
}

bool CDiskQueue::startSegment(QString &error)
{
    if (m_writeFd >= 0)
        ::close(m_writeFd);
    m_writeFd = -1;
    const QByteArray path = QFile::encodeName(segmentPath(m_tail));
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = SystemError(segmentPath(m_tail));
        return false;
    }
    m_writeFd = fd;
    if (!m_segments.empty() && m_segments.back().count == 0 && m_segments.back().first != m_tail)
        ::unlink(QFile::encodeName(segmentPath(m_segments.back().first)).constData());
    if (!m_segments.empty() && m_segments.back().count == 0)
        m_segments.pop_back();
    m_segments.push_back({m_tail, 0, 0});
    return true;
}

quint64 CDiskQueue::Append(const QByteArray &message)
{
    quint64 dropped = 0;
    if (m_writeFd < 0 || m_segments.empty() || m_segments.back().count >= SEGMENT_MESSAGES) {
        QString error;
        Flush(error);
        if (!startSegment(error)) {
            // Nothing to write it to: its index stays a gap, counted when the reader meets it.
            ++m_tail;
            return 0;
        }
        dropped = dropOldest();
    }
    const QByteArray body = message.left(MAX_MESSAGE_BYTES);
    AppendLe32(m_writeBuffer, quint32(body.size()));
    AppendLe32(m_writeBuffer, ~quint32(body.size()));
    m_writeBuffer += body;
    ++m_segments.back().count;
    ++m_tail;
    if (m_writeBuffer.size() > WRITE_BUFFER_LIMIT) {
        QString error;
        Flush(error);
    }
    return dropped;
}

bool CDiskQueue::Flush(QString &error)
{
    if (m_writeBuffer.isEmpty())
        return true;
    Segment &last = m_segments.back();
    if (m_writeFd >= 0 && WriteAll(m_writeFd, m_writeBuffer.constData(), m_writeBuffer.size())) {
        last.bytes += m_writeBuffer.size();
        m_writeBuffer.clear();
        return true;
    }
    // The file keeps what it had; the records of the buffer become a gap: the segment ends
    // before them, and the next message starts a new segment.
    error = SystemError(m_writeFd >= 0 ? segmentPath(last.first) : m_folder);
    quint64 unwritten = 0;
    for (qint64 at = 0; at + HEADER_BYTES <= m_writeBuffer.size(); at += HEADER_BYTES + RecordLength(m_writeBuffer.constData() + at))
        ++unwritten;
    if (m_writeFd >= 0 && ::ftruncate(m_writeFd, last.bytes) != 0) {
        // The file's end is unknown now: it is read until its records stop making sense.
    }
    last.count -= unwritten;
    error += QStringLiteral("; %1 messages not written").arg(unwritten);
    m_writeBuffer.clear();
    if (m_writeFd >= 0)
        ::close(m_writeFd);
    m_writeFd = -1;
    return false;
}

// Past the bound the oldest segment goes, sent or not.
quint64 CDiskQueue::dropOldest()
{
    quint64 dropped = 0;
    while (m_segments.size() > size_t(MAX_SEGMENTS)) {
        const Segment oldest = m_segments.front();
        m_segments.pop_front();
        const quint64 end = m_segments.front().first;
        if (m_head < end) {
            dropped += end - std::max(m_head, oldest.first);
            const quint64 gone = std::min<quint64>(end - m_head, m_sent.size());
            m_sent.erase(m_sent.begin(), m_sent.begin() + qint64(gone));
            m_head = end;
        }
        if (m_readIndex < end) {
            m_readIndex = end;
            m_readSegment = NO_SEGMENT;
        }
        if (m_readSegment == oldest.first)
            m_readSegment = NO_SEGMENT;
        if (m_readSegment == NO_SEGMENT)
            closeReader();
        ::unlink(QFile::encodeName(segmentPath(oldest.first)).constData());
    }
    return dropped;
}

// Segments wholly behind the head go; the last stays, it is written to.
void CDiskQueue::deleteConsumed()
{
    while (m_segments.size() > 1 && m_segments.front().end() <= m_head) {
        if (m_readSegment == m_segments.front().first) {
            closeReader();
            m_readSegment = NO_SEGMENT;
        }
        ::unlink(QFile::encodeName(segmentPath(m_segments.front().first)).constData());
        m_segments.pop_front();
    }
}

void CDiskQueue::closeReader()
{
    if (m_readFd >= 0)
        ::close(m_readFd);
    m_readFd = -1;
    m_readBuffer.clear();
    m_bufferStart = 0;
}

// Finds where message m_readIndex starts; indexes in no segment (a failed write, a damaged
// file) are skipped as lost.
bool CDiskQueue::locate()
{
    closeReader();
    auto segment = std::find_if(m_segments.cbegin(), m_segments.cend(),
                                [&](const Segment &s) { return s.end() > m_readIndex; });
    const quint64 reachable = segment == m_segments.cend() ? m_tail : std::max(segment->first, m_readIndex);
    while (m_readIndex < reachable) {
        m_sent.push_back({NO_SEGMENT, 0, true});
        ++m_readIndex;
        ++m_lost;
    }
    if (segment == m_segments.cend())
        return false;
    qint64 offset = 0;
    quint64 found = 0;
    if (!scanSegment(*segment, m_readIndex - segment->first, offset, found)) {
        // The segment is shorter than its place says: what it lacks is lost.
        const quint64 end = segment->end();
        while (m_readIndex < end) {
            m_sent.push_back({NO_SEGMENT, 0, true});
            ++m_readIndex;
            ++m_lost;
        }
        return locate();
    }
    m_readSegment = segment->first;
    m_readOffset = offset;
    m_readFd = ::open(QFile::encodeName(segmentPath(segment->first)).constData(), O_RDONLY | O_CLOEXEC);
    return m_readFd >= 0;
}

bool CDiskQueue::readRecord(QByteArray &message)
{
    for (;;) {
        const qint64 at = m_readOffset - m_bufferStart;
        if (at >= 0 && m_readBuffer.size() - at >= HEADER_BYTES) {
            const qint64 length = RecordLength(m_readBuffer.constData() + at);
            if (length < 0)
                return false;
            if (m_readBuffer.size() - at >= HEADER_BYTES + length) {
                message = m_readBuffer.mid(int(at + HEADER_BYTES), int(length));
                m_readOffset += HEADER_BYTES + length;
                return true;
            }
        }
        // Refill from the record's start; a message longer than a chunk gets room of its own.
        m_readBuffer.resize(READ_CHUNK + MAX_MESSAGE_BYTES + HEADER_BYTES);
        m_bufferStart = m_readOffset;
        const ssize_t n = ::pread(m_readFd, m_readBuffer.data(), size_t(m_readBuffer.size()), m_bufferStart);
        m_readBuffer.resize(int(qMax<ssize_t>(n, 0)));
        if (n < HEADER_BYTES)
            return false;
        const qint64 length = RecordLength(m_readBuffer.constData());
        if (length < 0 || n < HEADER_BYTES + length)
            return false;
    }
}

bool CDiskQueue::Next(QByteArray &message, quint64 &index)
{
    while (m_readIndex < m_tail) {
        if (m_readSegment == NO_SEGMENT && !locate())
            continue;
        const Segment *segment = nullptr;
        for (const Segment &s : m_segments)
            if (s.first == m_readSegment)
                segment = &s;
        if (!segment || m_readIndex >= segment->end()) {
            m_readSegment = NO_SEGMENT;
            continue;
        }
        // The message may still wait in the write buffer.
        if (segment == &m_segments.back() && m_readOffset + HEADER_BYTES > segment->bytes && !m_writeBuffer.isEmpty()) {
            QString error;
            Flush(error);
            continue;
        }
        const qint64 start = m_readOffset;
        if (!readRecord(message)) {
            // A damaged record: the rest of its segment is lost.
            while (m_readIndex < segment->end()) {
                m_sent.push_back({NO_SEGMENT, 0, true});
                ++m_readIndex;
                ++m_lost;
            }
            m_readSegment = NO_SEGMENT;
            continue;
        }
        m_sent.push_back({m_readSegment, start, false});
        index = m_readIndex++;
        return true;
    }
    // Placeholders of lost messages at the front are as good as taken.
    advanceHead();
    return false;
}

void CDiskQueue::Acknowledge(quint64 index)
{
    if (index >= m_head && index < m_readIndex)
        m_sent[size_t(index - m_head)].acknowledged = true;
    advanceHead();
}

void CDiskQueue::advanceHead()
{
    bool moved = false;
    while (!m_sent.empty() && m_sent.front().acknowledged) {
        m_sent.pop_front();
        ++m_head;
        moved = true;
    }
    if (moved)
        deleteConsumed();
}

void CDiskQueue::Rewind()
{
    // The head's position: the first message still out, or (nothing out) the read position.
    while (!m_sent.empty() && m_sent.front().segment == NO_SEGMENT) {
        m_sent.pop_front();
        ++m_head;
    }
    if (!m_sent.empty()) {
        const Sent first = m_sent.front();
        if (first.segment != m_readSegment)
            closeReader();
        m_readSegment = first.segment;
        m_readOffset = first.offset;
        if (m_readFd < 0)
            m_readFd = ::open(QFile::encodeName(segmentPath(first.segment)).constData(), O_RDONLY | O_CLOEXEC);
        if (m_readFd < 0)
            m_readSegment = NO_SEGMENT;
    }
    m_readIndex = m_head;
    m_sent.clear();
    deleteConsumed();
}

bool CDiskQueue::SaveHead(QString &error)
{
    if (m_headFd < 0 || m_head == m_savedHead)
        return true;
    const QByteArray text = QByteArray::number(m_head).rightJustified(HEAD_TEXT_BYTES - 1, '0') + '\n';
    if (::pwrite(m_headFd, text.constData(), size_t(text.size()), 0) != text.size()) {
        error = SystemError(m_folder + QStringLiteral("/head"));
        return false;
    }
    m_savedHead = m_head;
    return true;
}

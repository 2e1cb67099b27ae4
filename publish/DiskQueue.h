#pragma once

#include <QByteArray>
#include <QString>

#include <deque>

// The messages of one stream (one port's tags, or its events) kept on disk in their order
// until the broker has taken them, so that neither a broker that is away nor the end of the
// command line itself loses one. Each message has an index, counted up from the queue's
// creation and never reused: the publisher makes it the message's sequence number.
//
// On disk: a folder of segment files named by the index of their first message (16
// hexadecimal digits, ".seg"), each a run of records (a 4-byte little-endian length, its
// complement as a check, the message), and a file "head" with the index of the oldest
// message not yet taken. A record is written once, appended; nothing is rewritten but the
// head. The write goes to the system at every Flush (one write for many messages), which the
// command's end, a kill and a crash of the command survive; a power cut may lose what the
// system had not written back yet, and the torn record at the end is cut off when the queue
// is opened again.
//
// Bound: MAX_SEGMENTS segments of SEGMENT_MESSAGES messages, 1,048,576 messages (about
// 300 MB of tag reads). Past it the oldest segment goes whole, 65,536 messages at once, and
// Append says how many went; a consumer sees the gap in the sequence numbers.
//
// Memory: the segment list, a read buffer, a write buffer and, for each message handed out
// and not yet acknowledged, a few bytes; nothing grows with the messages waiting.
//
// Thread: one owner (the publisher's thread); nothing here is shared or locked, but the
// folder, which a lock file keeps to one process.
class CDiskQueue
{
public:
    static constexpr quint64 SEGMENT_MESSAGES = 65536;
    static constexpr int MAX_SEGMENTS = 16;
    static constexpr quint64 MAX_MESSAGES = SEGMENT_MESSAGES * MAX_SEGMENTS;
    static constexpr int MAX_MESSAGE_BYTES = 1 << 20;

    CDiskQueue() = default;
    ~CDiskQueue();
    CDiskQueue(const CDiskQueue &) = delete;
    CDiskQueue &operator=(const CDiskQueue &) = delete;

    // Creates the folder when needed, takes its lock and finds what an earlier run left.
    bool Open(const QString &folder, QString &error);
    // Writes what is buffered and the head; the queue can be opened again.
    void Close();
    const QString &folder() const { return m_folder; }

public: // writing
    // The index the next appended message gets.
    quint64 NextIndex() const { return m_tail; }
    // Appends the message (at most MAX_MESSAGE_BYTES); returns how many of the oldest
    // messages went to stay within the bound.
    quint64 Append(const QByteArray &message);
    // Hands the appended messages to the system. False when they could not be written (a
    // full disk): they are lost (a gap, counted in Lost() when the reader passes it), and
    // `error` says why and how many.
    bool Flush(QString &error);

public: // sending
    // The next message not handed out since the last Rewind, oldest first.
    bool Next(QByteArray &message, quint64 &index);
    bool HasNext() const { return m_readIndex < m_tail; }
    // The broker took the message: once every older one is taken too, the head moves past
    // it and segments behind the head are deleted.
    void Acknowledge(quint64 index);
    // Every message handed out and not acknowledged is handed out again (a lost connection).
    void Rewind();
    quint64 Head() const { return m_head; }
    quint64 Waiting() const { return m_tail - m_head; }
    // Messages that a failed write or a damaged segment lost (not the bound's).
    quint64 Lost() const { return m_lost; }
    // Records the head in its file when it moved since the last call.
    bool SaveHead(QString &error);

private:
    struct Segment
    {
        quint64 first = 0;
        quint64 count = 0;
        qint64 bytes = 0;       // written to the file
        quint64 end() const { return first + count; }
    };
    // A message handed out: where it starts, to come back to it; `segment` = NO_SEGMENT for
    // one that was lost (a gap), which a rewind only skips again.
    struct Sent
    {
        quint64 segment;
        qint64 offset;
        bool acknowledged;
    };
    static constexpr quint64 NO_SEGMENT = ~quint64(0);

    QString segmentPath(quint64 first) const;
    bool scanSegment(const Segment &segment, quint64 records, qint64 &offset, quint64 &found) const;
    bool startSegment(QString &error);
    quint64 dropOldest();
    void advanceHead();
    void deleteConsumed();
    bool locate();
    bool readRecord(QByteArray &message);
    void closeReader();

    QString m_folder;
    int m_lockFd = -1;
    int m_headFd = -1;
    std::deque<Segment> m_segments;   // oldest first; the last is written to
    int m_writeFd = -1;               // the last segment's, appending; -1 after a failed write
    QByteArray m_writeBuffer;
    quint64 m_tail = 0;               // index of the next message appended
    quint64 m_head = 0;               // oldest message not acknowledged
    quint64 m_savedHead = ~quint64(0);
    quint64 m_lost = 0;

    // Reading: the position of message m_readIndex, found again by locate() when the
    // segment is NO_SEGMENT.
    quint64 m_readIndex = 0;
    quint64 m_readSegment = NO_SEGMENT;
    qint64 m_readOffset = 0;
    int m_readFd = -1;
    QByteArray m_readBuffer;          // the file's bytes from m_bufferStart
    qint64 m_bufferStart = 0;
    std::deque<Sent> m_sent;          // indexes m_head.. m_readIndex - 1
};

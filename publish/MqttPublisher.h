#pragma once

#include "publish/MqttTarget.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

// Publishes one port's events to an MQTT broker through libmosquitto: each event as one
// message on <prefix>/tags (tag lines) or <prefix>/events (everything else), with the
// port's sequence number of its stream and this machine's name put in front of the event's
// own fields (its time stamp among them); a retained <prefix>/status says "online" at each
// connection and "offline" at a clean end, and the broker says "offline" for us through our
// last will when the connection dies. QoS 1 by default: the broker acknowledges each message.
//
// Every event goes through a queue on disk (CDiskQueue, one per stream) before it is
// published, and leaves it only when the broker has acknowledged it: while the broker is
// away the events wait there, and go out in order when it is back, also after the command
// line was restarted. After a lost connection, what was out and not acknowledged goes again:
// a consumer may see a message twice (QoS 1 allows it) and finds it by its sequence number.
//
// Threads: made, started, fed and destroyed on its owner's thread (the engine's). Publish
// only gathers the events of the owner's event loop's turn; at the turn's end they go to an
// inbox under a lock, and the publisher's own thread is woken when the inbox was empty; the queues, the libmosquitto client and its socket belong to that thread, so
// neither the disk nor the network ever makes the engine wait. What the thread has to say
// comes back as queued signals. The destructor lets the thread write what it was handed,
// gives a connected broker a moment (DRAIN_MS) to take what waits, and joins it.
class CMqttPublisher : public QObject
{
    Q_OBJECT

public:
    enum class Stream { Tags, Events };
    // In flight at once: messages sent and not yet acknowledged by the broker.
    static constexpr int WINDOW = 128;
    // Events handed over and not yet on disk, at most: more than that is a disk that does
    // not keep up, and the newest go, counted.
    static constexpr int INBOX_LIMIT = 65536;
    static constexpr int DRAIN_MS = 2000;

    CMqttPublisher(const MqttTarget &target, const QString &portName, QObject *parent = nullptr);
    ~CMqttPublisher() override;

    // Opens the port's queues (creating their folders) and starts the thread, which connects.
    bool Start(QString &error);
    // One event as watch --json prints it: a JSON object, without a line end.
    void Publish(Stream stream, const QByteArray &json);
    // The queues' folder of one port and stream.
    static QString QueueFolder(const MqttTarget &target, const QString &portName, Stream stream);

signals:
    // Connected, lost, waiting, dropped: for the log. `error` for what loses messages.
    void noted(const QString &text, bool error);
    // The broker refused us for good: a wrong user name or password, a certificate that the
    // CA does not sign. Events go on waiting on disk; the owner ends the run.
    void refused(const QString &text);

private:
    void handOver();

    struct Worker;
    std::unique_ptr<Worker> m_worker;
};

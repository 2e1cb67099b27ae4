#include "publish/MqttPublisher.h"

#include "publish/DiskQueue.h"

#include <mosquitto.h>

#include <QFile>
#include <QFileInfo>
#include <QMetaObject>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

constexpr int KEEPALIVE_S = 30;
constexpr int FIRST_RETRY_MS = 500;
constexpr int LAST_RETRY_MS = 5000;        // a broker back after a restart is found within this
constexpr int HEAD_SAVE_MS = 200;          // at most this much is published again after a kill
constexpr int MISC_MS = 1000;              // the client's keep-alive and retry bookkeeping
// While connected, the loop turns at most once in this time: the broker's acknowledgements
// and the engine's batches gather meanwhile and are handled together, instead of a wake-up
// (and a read of the socket) for each. A message waits at most this much longer.
constexpr auto GATHER = std::chrono::microseconds(1000);
constexpr int READ_PACKETS = 1024;
constexpr int CONNECT_TIMEOUT_MS = 10000;  // a broker's host that swallows the connection
constexpr char STREAM_NAMES[][8] = {"tags", "events"};
constexpr char ONLINE[] = "online";
constexpr char OFFLINE[] = "offline";

// libmosquitto is initialised once per process, before the first client; it has no state
// that a second initialisation would disturb, but its own call is not thread-safe.
void InitLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

QByteArray JsonText(const QString &text)
{
    QByteArray out = "\"";
    for (const char c : text.toUtf8()) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (uchar(c) >= 0x20)
            out += c;
    }
    return out + '"';
}

} // namespace

struct CMqttPublisher::Worker
{
    struct Item
    {
        Stream stream;
        QByteArray json;
    };
    enum class State { Down, Connecting, Up, Refused };

    CMqttPublisher *owner;
    MqttTarget target;
    QString portName;
    QByteArray clientId;
    QByteArray topics[2];
    QByteArray statusTopic;
    QByteArray prefix;                 // `{"seq":` goes before it, the event's fields after
    CDiskQueue queues[2];

    std::vector<Item> batch;           // the owner's, not yet handed over

    // Shared with the owner's thread, under `lock`.
    std::mutex lock;
    std::vector<Item> inbox;
    bool stopping = false;
    quint64 inboxDropped = 0;
    int wakeFd = -1;

    // The publisher's thread's alone.
    std::thread thread;
    mosquitto *client = nullptr;
    State state = State::Down;
    std::unordered_map<int, std::pair<int, quint64>> inflight;   // message id: stream, index
    int nextStream = 0;
    Clock::time_point nextAttempt = Clock::now();
    int retryMs = FIRST_RETRY_MS;
    Clock::time_point lastMisc = Clock::now();
    Clock::time_point lastTurn = Clock::now();
    Clock::time_point lastHeadSave = Clock::now();
    quint64 dropped = 0;               // by the queues' bound, in this run
    quint64 droppedSaid = 0;
    quint64 inboxDroppedSaid = 0;
    quint64 lostSaid = 0;
    QString lastLibraryError;          // the library's last error line (the TLS library's reason)
    QString lastDownReason;
    int refusal = 0;                   // a refusing acknowledgement, handled after the library's call
    Clock::time_point connectStarted;

    void note(const QString &text, bool error = false)
    {
        QMetaObject::invokeMethod(owner, [o = owner, text, error] { emit o->noted(text, error); }, Qt::QueuedConnection);
    }

    void run();
    void takeInbox(bool &stop);
    void connect();
    void lose(const QString &reason);
    void refuse(const QString &reason);
    void dropClient();
    void publishMore();
    void publishStatus(bool online);
    void check(int rc);
    void saveHeads(bool force);
    quint64 waiting() const { return queues[0].Waiting() + queues[1].Waiting(); }

    static void onConnect(mosquitto *, void *self, int rc) { static_cast<Worker *>(self)->connected(rc); }
    static void onPublish(mosquitto *, void *self, int mid) { static_cast<Worker *>(self)->acknowledged(mid); }
    static void onLog(mosquitto *, void *self, int level, const char *text)
    {
        if (level & MOSQ_LOG_ERR)
            static_cast<Worker *>(self)->lastLibraryError = QString::fromUtf8(text);
    }
    void connected(int rc);
    void answerRefusal(int rc);
    void acknowledged(int mid);
};

CMqttPublisher::CMqttPublisher(const MqttTarget &target, const QString &portName, QObject *parent)
    : QObject(parent), m_worker(std::make_unique<Worker>())
{
    Worker &w = *m_worker;
    w.owner = this;
    w.target = target;
    w.portName = portName;
    const QString topic = MqttTopicPrefix(target, portName);
    for (int s = 0; s < 2; ++s)
        w.topics[s] = (topic + QLatin1Char('/') + QLatin1String(STREAM_NAMES[s])).toUtf8();
    w.statusTopic = (topic + QStringLiteral("/status")).toUtf8();
    w.clientId = QStringLiteral("rfid-lorix-%1-%2").arg(target.stationHost, portName).toUtf8();
    w.prefix = ",\"host\":" + JsonText(target.stationHost) + ',';
}

QString CMqttPublisher::QueueFolder(const MqttTarget &target, const QString &portName, Stream stream)
{
    return target.stateFolder + QLatin1Char('/') + portName + QLatin1Char('-') + QLatin1String(STREAM_NAMES[int(stream)]);
}

bool CMqttPublisher::Start(QString &error)
{
    Worker &w = *m_worker;
    for (int s = 0; s < 2; ++s)
        if (!w.queues[s].Open(QueueFolder(w.target, w.portName, Stream(s)), error))
            return false;
    w.wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (w.wakeFd < 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    InitLibrary();
    w.thread = std::thread([&w] { w.run(); });
    return true;
}

CMqttPublisher::~CMqttPublisher()
{
    Worker &w = *m_worker;
    handOver();
    if (w.thread.joinable()) {
        {
            std::lock_guard<std::mutex> hold(w.lock);
            w.stopping = true;
        }
        const quint64 one = 1;
        (void)!::write(w.wakeFd, &one, sizeof one);
        w.thread.join();
    }
    if (w.wakeFd >= 0)
        ::close(w.wakeFd);
}

void CMqttPublisher::Publish(Stream stream, const QByteArray &json)
{
    Worker &w = *m_worker;
    w.batch.push_back({stream, json});
    if (w.batch.size() == 1)
        QMetaObject::invokeMethod(this, &CMqttPublisher::handOver, Qt::QueuedConnection);
}

// The events of one turn of the owner's event loop (a read's lines come in one turn) go to
// the thread at once: one lock, one wake, one write to disk for all of them, instead of a
// thread switch for each.
void CMqttPublisher::handOver()
{
    Worker &w = *m_worker;
    if (w.batch.empty())
        return;
    bool wake = false;
    {
        std::lock_guard<std::mutex> hold(w.lock);
        const size_t room = size_t(INBOX_LIMIT) - qMin(w.inbox.size(), size_t(INBOX_LIMIT));
        if (w.batch.size() > room)
            w.inboxDropped += w.batch.size() - room;
        wake = w.inbox.empty();
        std::move(w.batch.begin(), w.batch.begin() + qint64(qMin(room, w.batch.size())), std::back_inserter(w.inbox));
    }
    w.batch.clear();
    // The thread reads the wake before it takes the inbox: an inbox that is not empty has
    // a wake pending.
    if (wake) {
        const quint64 one = 1;
        (void)!::write(w.wakeFd, &one, sizeof one);
    }
}

// ---- the publisher's thread --------------------------------------------------------------

void CMqttPublisher::Worker::takeInbox(bool &stop)
{
    std::vector<Item> items;
    quint64 inboxLost = 0;
    {
        std::lock_guard<std::mutex> hold(lock);
        items.swap(inbox);
        stop = stopping;
        inboxLost = inboxDropped;
    }
    quint64 droppedNow = 0;
    for (const Item &item : items) {
        CDiskQueue &queue = queues[int(item.stream)];
        QByteArray message = "{\"seq\":" + QByteArray::number(queue.NextIndex()) + prefix;
        message.append(item.json.constData() + 1, item.json.size() - 1);
        droppedNow += queue.Append(message);
    }
    for (CDiskQueue &queue : queues) {
        QString error;
        if (!queue.Flush(error))
            note(QStringLiteral("broker queue %1 not written: %2").arg(queue.folder(), error), true);
    }
    if (droppedNow > 0) {
        dropped += droppedNow;
        note(QStringLiteral("broker queue full (%1 messages): the oldest %2 dropped, %3 in this run")
                 .arg(CDiskQueue::MAX_MESSAGES).arg(droppedNow).arg(dropped), true);
        if (state == State::Up)
            publishStatus(true);
    }
    if (inboxLost > inboxDroppedSaid) {
        note(QStringLiteral("the disk does not keep up: %1 events not queued for the broker").arg(inboxLost - inboxDroppedSaid), true);
        inboxDroppedSaid = inboxLost;
    }
    const quint64 lost = queues[0].Lost() + queues[1].Lost();
    if (lost > lostSaid) {
        note(QStringLiteral("%1 queued messages could not be read back and are lost").arg(lost - lostSaid), true);
        lostSaid = lost;
    }
}

void CMqttPublisher::Worker::run()
{
    bool stop = false;
    Clock::time_point drainUntil = Clock::time_point::max();
    for (;;) {
        takeInbox(stop);
        if (stop && drainUntil == Clock::time_point::max()) {
            drainUntil = Clock::now() + Ms(DRAIN_MS);
            if (state == State::Up)
                publishStatus(false);
        }
        const Clock::time_point now = Clock::now();
        if (stop && (state != State::Up || now >= drainUntil || (waiting() == 0 && inflight.empty())))
            break;
        if (state == State::Down && !stop && now >= nextAttempt)
            connect();
        if (state == State::Up)
            publishMore();

        pollfd fds[2] = {{wakeFd, POLLIN, 0}, {-1, 0, 0}};
        const int socket = client ? mosquitto_socket(client) : -1;
        if (socket >= 0)
            fds[1] = {socket, short(POLLIN | (mosquitto_want_write(client) ? POLLOUT : 0)), 0};
        int timeoutMs = MISC_MS;
        if (state == State::Down && !stop)
            timeoutMs = int(std::chrono::duration_cast<Ms>(nextAttempt - now).count()) + 1;
        timeoutMs = qMin(timeoutMs, HEAD_SAVE_MS);
        if (stop)
            timeoutMs = qMin<qint64>(timeoutMs, qMax<qint64>(1, std::chrono::duration_cast<Ms>(drainUntil - now).count()));
        if (state == State::Up && !stop) {
            const auto since = Clock::now() - lastTurn;
            if (since < GATHER)
                std::this_thread::sleep_for(GATHER - since);
        }
        ::poll(fds, socket >= 0 ? 2 : 1, qMax(0, timeoutMs));
        lastTurn = Clock::now();
        if (fds[0].revents & POLLIN) {
            quint64 count = 0;
            (void)!::read(wakeFd, &count, sizeof count);
        }
        if (client && socket >= 0 && (fds[1].revents & (POLLIN | POLLERR | POLLHUP)))
            check(mosquitto_loop_read(client, READ_PACKETS));
        if (client && mosquitto_want_write(client) && mosquitto_socket(client) >= 0) {
            // Many small messages leave in full segments: the socket holds them until the
            // batch is written (TCP_CORK), instead of one segment each.
            const int fd = mosquitto_socket(client);
            int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
            const int rc = mosquitto_loop_write(client, WINDOW);
            on = 0;
            ::setsockopt(fd, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
            check(rc);
        }
        if (client && Clock::now() - lastMisc >= Ms(MISC_MS)) {
            lastMisc = Clock::now();
            check(mosquitto_loop_misc(client));
        }
        if (state == State::Connecting && Clock::now() - connectStarted >= Ms(CONNECT_TIMEOUT_MS))
            lose(QStringLiteral("no answer within %1 s").arg(CONNECT_TIMEOUT_MS / 1000));
        saveHeads(false);
    }
    if (client) {
        mosquitto_disconnect(client);
        mosquitto_loop_write(client, 1);
        dropClient();
    }
    saveHeads(true);
    for (CDiskQueue &queue : queues)
        queue.Close();
}

void CMqttPublisher::Worker::saveHeads(bool force)
{
    if (!force && Clock::now() - lastHeadSave < Ms(HEAD_SAVE_MS))
        return;
    lastHeadSave = Clock::now();
    for (CDiskQueue &queue : queues) {
        QString error;
        if (!queue.SaveHead(error))
            note(QStringLiteral("broker queue %1: %2").arg(queue.folder(), error), true);
    }
}

void CMqttPublisher::Worker::connect()
{
    client = mosquitto_new(clientId.constData(), true, this);
    if (!client) {
        lose(QStringLiteral("no memory for the client"));
        return;
    }
    // Our own loop drives the socket: a publish only queues its packet, and the loop writes
    // the batch.
    mosquitto_threaded_set(client, true);
    mosquitto_max_inflight_messages_set(client, WINDOW);
    mosquitto_connect_callback_set(client, onConnect);
    mosquitto_publish_callback_set(client, onPublish);
    mosquitto_log_callback_set(client, onLog);
    mosquitto_will_set(client, statusTopic.constData(), int(sizeof OFFLINE - 1), OFFLINE, 1, true);
    if (target.hasCredentials)
        mosquitto_username_pw_set(client, target.user.toUtf8().constData(), target.password.toUtf8().constData());
    if (target.tls) {
        int rc = MOSQ_ERR_SUCCESS;
        if (target.caPath.isEmpty())
            rc = mosquitto_int_option(client, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        else
            rc = mosquitto_tls_set(client, QFile::encodeName(target.caPath).constData(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            refuse(QStringLiteral("TLS cannot be set up with the CA %1: %2").arg(target.caPath, QString::fromUtf8(mosquitto_strerror(rc))));
            return;
        }
    }
    lastLibraryError.clear();
    refusal = 0;
    state = State::Connecting;
    connectStarted = Clock::now();
    check(mosquitto_connect_async(client, target.host.toUtf8().constData(), target.port, KEEPALIVE_S));
    lastMisc = Clock::now();
}

// A failure of the connection: a TLS failure is for good (the certificate will not verify on
// the next try either); everything else is the broker away, tried again.
void CMqttPublisher::Worker::check(int rc)
{
    if (refusal != 0 && client) {
        answerRefusal(refusal);
        return;
    }
    if (rc == MOSQ_ERR_SUCCESS || !client)
        return;
    if (rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_TLS_HANDSHAKE) {
        QString why = lastLibraryError;
        refuse(target.caPath.isEmpty()
                   ? QStringLiteral("the TLS connection to %1 failed: the broker's certificate does not verify with the "
                                    "system's certificates (%2)").arg(target.url, why)
                   : QStringLiteral("the TLS connection to %1 failed: the broker's certificate is not signed by the CA "
                                    "of --mqtt-ca %2 (%3)").arg(target.url, target.caPath, why));
        return;
    }
    QString reason = rc == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(std::strerror(errno)) : QString::fromUtf8(mosquitto_strerror(rc));
    if (rc == MOSQ_ERR_EAI || rc == MOSQ_ERR_LOOKUP)
        reason = QStringLiteral("the name %1 is not known").arg(target.host);
    lose(reason);
}

void CMqttPublisher::Worker::connected(int rc)
{
    if (rc == 0) {
        state = State::Up;
        retryMs = FIRST_RETRY_MS;
        // The library formats a line for every packet while a log callback is set: it is
        // wanted only for the reason of a failed connection.
        mosquitto_log_callback_set(client, nullptr);
        for (CDiskQueue &queue : queues)
            queue.Rewind();
        inflight.clear();
        note(QStringLiteral("broker %1 connected%2").arg(target.url, waiting() ? QStringLiteral(": %1 queued messages go out").arg(waiting()) : QString()));
        lastDownReason.clear();
        publishStatus(true);
        return;
    }
    // Called from inside the library: the client goes once its call has returned.
    refusal = rc;
}

void CMqttPublisher::Worker::answerRefusal(int rc)
{
    // The answers of MQTT 3.1.1's connection acknowledgement.
    switch (rc) {
    case 4:
    case 5:
        refuse(target.hasCredentials
                   ? QStringLiteral("the broker %1 refused the user name or password of --mqtt-credentials %2")
                         .arg(target.url, target.credentialsPath)
                   : QStringLiteral("the broker %1 wants a user name and password (--mqtt-credentials FILE)").arg(target.url));
        return;
    case 3:
        lose(QStringLiteral("the broker is not available"));
        return;
    default:
        refuse(QStringLiteral("the broker %1 refused the connection: %2").arg(target.url, QString::fromUtf8(mosquitto_connack_string(rc))));
    }
}

void CMqttPublisher::Worker::acknowledged(int mid)
{
    const auto it = inflight.find(mid);
    if (it == inflight.end())
        return;   // the status
    queues[it->second.first].Acknowledge(it->second.second);
    inflight.erase(it);
}

void CMqttPublisher::Worker::publishMore()
{
    while (state == State::Up && inflight.size() < size_t(WINDOW)) {
        bool sent = false;
        for (int turn = 0; turn < 2 && inflight.size() < size_t(WINDOW); ++turn) {
            const int s = nextStream;
            nextStream ^= 1;
            QByteArray message;
            quint64 index = 0;
            if (!queues[s].Next(message, index))
                continue;
            int mid = 0;
            const int rc = mosquitto_publish(client, &mid, topics[s].constData(), message.size(), message.constData(), target.qos, false);
            if (rc != MOSQ_ERR_SUCCESS) {
                check(rc);
                return;
            }
            inflight.emplace(mid, std::make_pair(s, index));
            sent = true;
        }
        if (!sent)
            return;
    }
}

void CMqttPublisher::Worker::publishStatus(bool online)
{
    QByteArray text = online ? ONLINE : OFFLINE;
    if (online && dropped > 0)
        text += " dropped=" + QByteArray::number(dropped);
    mosquitto_publish(client, nullptr, statusTopic.constData(), text.size(), text.constData(), 1, true);
}

void CMqttPublisher::Worker::dropClient()
{
    if (client)
        mosquitto_destroy(client);
    client = nullptr;
    inflight.clear();
    for (CDiskQueue &queue : queues)
        queue.Rewind();
}

void CMqttPublisher::Worker::lose(const QString &reason)
{
    const bool wasUp = state == State::Up;
    dropClient();
    state = State::Down;
    nextAttempt = Clock::now() + Ms(retryMs);
    retryMs = qMin(retryMs * 2, LAST_RETRY_MS);
    if (wasUp || reason != lastDownReason)
        note(QStringLiteral("broker %1 %2 (%3): messages wait in %4 and go out when it is back")
                 .arg(target.url, QLatin1String(wasUp ? "lost" : "unreachable"), reason,
                      QFileInfo(queues[0].folder()).path()));
    lastDownReason = reason;
}

void CMqttPublisher::Worker::refuse(const QString &reason)
{
    dropClient();
    state = State::Refused;
    QMetaObject::invokeMethod(owner, [o = owner, reason] { emit o->refused(reason); }, Qt::QueuedConnection);
}

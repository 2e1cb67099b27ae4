// The queue on disk, and watch --mqtt against a real broker (a private mosquitto) and a real
// subscriber (mosquitto_sub): order, sequence numbers, a killed broker, a killed command
// line, and the refusals.

#include "publish/DiskQueue.h"
#include "tests/support/MqttBroker.h"
#include "tools/reader-sim/ReaderSim.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <set>

namespace {

constexpr int TRY_MS = 60000;   // generous: the machine is shared; never a speed assertion
constexpr int RESTART_AFTER_MS = 5000;

QByteArray Message(quint64 i)
{
    return "message " + QByteArray::number(i);
}

} // namespace

class TestPublish : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void queue_data();
    void queue();
    void refused_data();
    void refused();
    void everyReadArrives_data();
    void everyReadArrives();
    void queuedAcrossRestart();

private:
    bool startReader(int tags, int rate = 0);
    QProcess *startCli(const QStringList &extra);
    // Tag lines the command printed, and the tags the subscriber got (seq: the payload).
    QStringList printedTags(QProcess &cli);
    QString errorsOf(QProcess &cli) { return QString::fromUtf8(m_err[&cli] += cli.readAllStandardError()); }
    QMap<qint64, QJsonObject> received(const QString &stream, QList<qint64> *order = nullptr);

    CMqttBroker m_broker;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<CReaderSim> m_reader;
    std::unique_ptr<CMqttSubscriber> m_subscriber;
    std::vector<std::unique_ptr<QProcess>> m_clis;
    QMap<QProcess *, QByteArray> m_out, m_err;
    QString m_topic;
    qsizetype m_parsed = 0;
    QHash<QString, QList<QPair<qint64, QJsonObject>>> m_messages;   // by stream, as they came
};

void TestPublish::initTestCase()
{
    QString reason;
    if (!m_broker.start(&reason))
        QSKIP(qPrintable("no broker: " + reason));
}

void TestPublish::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QString reason;
    QVERIFY2(m_broker.start(&reason), qPrintable(reason));
    // A topic of each test's own: no retained status of an earlier one reaches it.
    m_topic = QStringLiteral("test/%1").arg(QTest::currentTestFunction());
}

void TestPublish::cleanup()
{
    m_clis.clear();
    m_out.clear();
    m_err.clear();
    m_subscriber.reset();
    m_parsed = 0;
    m_messages.clear();
    m_reader.reset();
    m_dir.reset();
}

// ---- the queue ---------------------------------------------------------------------------

void TestPublish::queue_data()
{
    QTest::addColumn<quint64>("count");      // messages appended
    QTest::addColumn<quint64>("taken");      // acknowledged in order before the end
    QTest::addColumn<bool>("reopen");        // closed and opened again before reading
    QTest::addColumn<bool>("torn");          // half a record left at the end, as a kill mid-write does
    QTest::addColumn<quint64>("dropped");    // by the bound

    QTest::newRow("read back across segments") << quint64(70000) << quint64(0) << false << false << quint64(0);
    QTest::newRow("reopened: the head and the rest") << quint64(70000) << quint64(66000) << true << false << quint64(0);
    QTest::newRow("reopened after a torn write") << quint64(1000) << quint64(10) << true << true << quint64(0);
    QTest::newRow("past the bound the oldest go")
        << CDiskQueue::MAX_MESSAGES + 10 << quint64(0) << false << false << CDiskQueue::SEGMENT_MESSAGES;
}

// What comes out is what went in, in order, each with its index, from the first message not
// acknowledged; a rewind gives again what was out and not acknowledged.
void TestPublish::queue()
{
    QFETCH(quint64, count);
    QFETCH(quint64, taken);
    QFETCH(bool, reopen);
    QFETCH(bool, torn);
    QFETCH(quint64, dropped);
    const QString folder = m_dir->filePath("q");
    auto queue = std::make_unique<CDiskQueue>();
    QString error;
    QVERIFY2(queue->Open(folder, error), qPrintable(error));
    quint64 droppedSeen = 0;
    for (quint64 i = 0; i < count; ++i) {
        QCOMPARE(queue->NextIndex(), i);
        droppedSeen += queue->Append(Message(i));
    }
    QVERIFY(queue->Flush(error));
    QCOMPARE(droppedSeen, dropped);
    QByteArray message;
    quint64 index = 0;
    for (quint64 i = dropped; i < dropped + taken; ++i) {
        QVERIFY(queue->Next(message, index));
        QCOMPARE(index, i);
    }
    // Out of order: the head waits for the oldest.
    for (quint64 i = dropped + taken; i-- > dropped;)
        queue->Acknowledge(i);
    QCOMPARE(queue->Head(), dropped + taken);
    // One more out and not acknowledged: a rewind gives it again.
    if (queue->Next(message, index))
        queue->Rewind();
    if (reopen) {
        queue->Close();
        if (torn) {
            QFile last(folder + "/0000000000000000.seg");
            QVERIFY(last.open(QIODevice::Append));
            last.write("\x20\x00\x00\x00\xdf", 5);
        }
        queue = std::make_unique<CDiskQueue>();
        QVERIFY2(queue->Open(folder, error), qPrintable(error));
        QCOMPARE(queue->NextIndex(), count);
        QCOMPARE(queue->Append("after"), quint64(0));
    }
    QCOMPARE(queue->Head(), dropped + taken);
    quint64 expected = dropped + taken;
    while (queue->Next(message, index)) {
        QCOMPARE(index, expected);
        QCOMPARE(message, index == count ? QByteArray("after") : Message(index));
        queue->Acknowledge(index);
        ++expected;
    }
    QCOMPARE(expected, count + (reopen ? 1 : 0));
    QCOMPARE(queue->Waiting(), quint64(0));
    QCOMPARE(queue->Lost(), quint64(0));
    // The segments behind the head are gone: at most the one written to is left.
    QVERIFY(QDir(folder).entryList({"*.seg"}).size() <= 1);
}

// ---- against the broker ------------------------------------------------------------------

bool TestPublish::startReader(int tags, int rate)
{
    SimOptions options;
    options.portsFolder = m_dir->filePath("config/Local AppWizard-Generated Applications/ports");
    options.tagCount = tags;
    options.tagRate = rate;
    options.returnAfterMs = 100;
    m_reader = std::make_unique<CReaderSim>(options);
    QString reason;
    return m_reader->Start(reason);
}

QProcess *TestPublish::startCli(const QStringList &extra)
{
    auto cli = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", m_dir->filePath("config"));
    env.insert("XDG_STATE_HOME", m_dir->filePath("state"));
    env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + m_dir->filePath("no-bus"));
    cli->setProcessEnvironment(env);
    QStringList args{"watch", "--json", "--multi", "--mqtt-topic", m_topic + "/{port}"};
    if (m_reader)
        args << "--port" << QString::number(m_reader->comNumber());
    cli->start(qEnvironmentVariable("RFID_BINARY_DIR") + "/cli/rfid-lorix-cli", args + extra);
    m_clis.push_back(std::move(cli));
    return m_clis.back().get();
}

QStringList TestPublish::printedTags(QProcess &cli)
{
    m_out[&cli] += cli.readAllStandardOutput();
    QStringList tags;
    for (const QByteArray &line : m_out[&cli].split('\n'))
        if (line.contains("\"class\":\"tag\""))
            tags.append(QString::fromUtf8(line));
    return tags;
}

// Parsed once each: the subscriber's lines only grow.
QMap<qint64, QJsonObject> TestPublish::received(const QString &stream, QList<qint64> *order)
{
    const QStringList &lines = m_subscriber->lines();
    for (; m_parsed < lines.size(); ++m_parsed) {
        const QString topic = lines[m_parsed].section(' ', 0, 0);
        const QJsonObject object = QJsonDocument::fromJson(lines[m_parsed].section(' ', 1).toUtf8()).object();
        m_messages[topic.section('/', -1)].append({object.value("seq").toInteger(-1), object});
    }
    QMap<qint64, QJsonObject> messages;
    for (const auto &[seq, object] : m_messages.value(stream)) {
        messages.insert(seq, object);
        if (order)
            order->append(seq);
    }
    return messages;
}

void TestPublish::refused_data()
{
    QTest::addColumn<QString>("url");        // plain, tls
    QTest::addColumn<QStringList>("extra");  // %cred, %wrong, %ca, %other
    QTest::addColumn<int>("mode");           // of the credentials file
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("err");

    QTest::newRow("credentials others can read") << "plain" << QStringList{"--mqtt-credentials", "%cred"} << 0644 << 2
                                                 << "others can read it (mode 644)";
    QTest::newRow("a wrong password") << "plain" << QStringList{"--mqtt-credentials", "%wrong"} << 0600 << 3
                                      << "refused the user name or password of --mqtt-credentials";
    QTest::newRow("no credentials") << "plain" << QStringList{} << 0600 << 3 << "wants a user name and password";
    QTest::newRow("a CA that signed another certificate")
        << "tls" << QStringList{"--mqtt-credentials", "%cred", "--mqtt-ca", "%other"} << 0600 << 3
        << "the broker's certificate is not signed by the CA of --mqtt-ca";
    QTest::newRow("a CA for a plain broker") << "plain" << QStringList{"--mqtt-ca", "%ca"} << 0600 << 2 << "--mqtt-ca needs an mqtts://";
    QTest::newRow("QoS 2") << "plain" << QStringList{"--mqtt-qos", "2"} << 0600 << 2 << "--mqtt-qos is 0 or 1";
    QTest::newRow("times relative to each other") << "plain" << QStringList{"--timestamp-format", "delta"} << 0600 << 2
                                                  << "--timestamp-format delta cannot be published";
    QTest::newRow("a password in the address") << "mqtt://u:p@127.0.0.1" << QStringList{} << 0600 << 2 << "no user or password in the address";
}

void TestPublish::refused()
{
    QFETCH(QString, url);
    QFETCH(QStringList, extra);
    QFETCH(int, mode);
    QFETCH(int, exitCode);
    QFETCH(QString, err);
    QVERIFY(startReader(5));
    const QString credentials = m_broker.credentialsFile();
    QFile::setPermissions(credentials, QFileDevice::Permissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                                | (mode & 044 ? QFileDevice::ReadGroup | QFileDevice::ReadOther : QFileDevice::Permissions())));
    for (QString &a : extra)
        a.replace("%cred", credentials).replace("%wrong", m_broker.credentialsFile("not it"))
            .replace("%ca", m_broker.caPath()).replace("%other", m_broker.otherCaPath());
    QProcess &cli = *startCli(QStringList{"--mqtt", url == "plain" ? m_broker.plainUrl() : url == "tls" ? m_broker.tlsUrl() : url} + extra);
    QVERIFY(QTest::qWaitFor([&] { return cli.state() == QProcess::NotRunning; }, TRY_MS));
    const QString text = QString::fromUtf8(cli.readAllStandardError());
    QVERIFY2(cli.exitCode() == exitCode && text.contains(err), qPrintable(QString::number(cli.exitCode()) + ": " + text));
}

void TestPublish::everyReadArrives_data()
{
    QTest::addColumn<bool>("tls");
    QTest::addColumn<bool>("killBroker");    // SIGKILL mid-stream, started again 5 s later
    QTest::addColumn<int>("tags");
    QTest::addColumn<int>("rate");           // tags a second

    QTest::newRow("plain, in order") << false << false << 3000 << 0;
    QTest::newRow("TLS, in order") << true << false << 3000 << 0;
    QTest::newRow("broker killed mid-stream") << false << true << 3000 << 400;
}

// Every tag the command printed reaches the subscriber, with its port's consecutive sequence
// numbers; without a failure in order and once each, after a killed broker at least once.
void TestPublish::everyReadArrives()
{
    QFETCH(bool, tls);
    QFETCH(bool, killBroker);
    QFETCH(int, tags);
    QFETCH(int, rate);
    QVERIFY(startReader(tags, rate));
    QString reason;
    m_subscriber = std::make_unique<CMqttSubscriber>();
    QVERIFY2(m_subscriber->start(m_broker, m_topic + "/#", &reason), qPrintable(reason));
    QStringList extra{"--mqtt", tls ? m_broker.tlsUrl() : m_broker.plainUrl(), "--mqtt-credentials", m_broker.credentialsFile()};
    if (tls)
        extra << "--mqtt-ca" << m_broker.caPath();
    QProcess &cli = *startCli(extra);
    // The retained status says the command is connected and the subscription stands; the
    // link's own events come as events.
    QVERIFY2(m_subscriber->waitFor("/status online", TRY_MS), qPrintable(cli.readAllStandardError()));
    QVERIFY(m_subscriber->waitFor("\"kind\":\"link\"", TRY_MS));
    if (killBroker) {
        // The subscriber's session must be in the broker's file to outlive the kill.
        QVERIFY(QTest::qWaitFor([&] { return m_broker.saved(); }, TRY_MS));
        QTest::qWait(1500);
    }
    m_reader->PullTrigger();
    if (killBroker) {
        QVERIFY(QTest::qWaitFor([&] { return received("tags").size() > tags / 4; }, TRY_MS));
        m_broker.kill();
        QTest::qWait(RESTART_AFTER_MS);
        QVERIFY2(m_broker.start(&reason), qPrintable(reason));
    }
    auto missing = [&] {
        QStringList numbers;
        for (int i = 0; i < tags; ++i)
            if (!received("tags").contains(i))
                numbers.append(QString::number(i));
        return numbers.join(' ') + " missing\n" + errorsOf(cli) + m_broker.log();
    };
    QVERIFY2(QTest::qWaitFor([&] { return received("tags").size() >= tags; }, TRY_MS), qPrintable(missing()));
    const QStringList printed = printedTags(cli);
    QCOMPARE(printed.size(), tags);
    QList<qint64> order;
    const QMap<qint64, QJsonObject> got = received("tags", &order);
    QCOMPARE(got.size(), tags);
    for (int i = 0; i < tags; ++i) {
        // The printed event with the sequence number and the station in front.
        QJsonObject message = got.value(i);
        QVERIFY2(message.take("seq").toInteger() == i && message.take("host").toString() == QSysInfo::machineHostName(),
                 qPrintable(QString::number(i)));
        QCOMPARE(message, QJsonDocument::fromJson(printed[i].toUtf8()).object());
    }
    if (!killBroker) {
        QCOMPARE(order.size(), tags);
        QVERIFY(std::is_sorted(order.cbegin(), order.cend()));
    }
}

// The broker is away while the command line runs, is killed and runs again: what it read in
// both runs waits on disk and arrives once the broker is back, none missing.
void TestPublish::queuedAcrossRestart()
{
    constexpr int TAGS = 200;
    QVERIFY(startReader(TAGS));
    QString reason;
    m_subscriber = std::make_unique<CMqttSubscriber>();
    QVERIFY2(m_subscriber->start(m_broker, m_topic + "/#", &reason), qPrintable(reason));
    const QStringList extra{"--mqtt", m_broker.plainUrl(), "--mqtt-credentials", m_broker.credentialsFile()};
    QProcess *cli = startCli(extra);
    QVERIFY(m_subscriber->waitFor("/status online", TRY_MS));
    m_broker.stop();   // its sessions saved
    const QString queue = m_dir->filePath("state/rfid-lorix/mqtt/COM%1-tags").arg(m_reader->comNumber());
    auto queued = [&] {
        qint64 bytes = 0;
        for (const QFileInfo &segment : QDir(queue).entryInfoList({"*.seg"}))
            bytes += segment.size();
        return bytes;
    };
    for (int run = 1; run <= 2; ++run) {
        QVERIFY2(QTest::qWaitFor([&] { return errorsOf(*cli).contains("opened"); }, TRY_MS), qPrintable(errorsOf(*cli)));
        const qint64 before = queued();
        m_reader->PullTrigger();
        QVERIFY(QTest::qWaitFor([&] { return printedTags(*cli).size() == TAGS; }, TRY_MS));
        // On disk before the kill: the queue grew by the tags and stays.
        qint64 last = -1;
        QVERIFY(QTest::qWaitFor([&] {
            const qint64 now = queued();
            const bool steady = now == last && now > before;
            last = now;
            QTest::qWait(200);
            return steady;
        }, TRY_MS));
        cli->kill();
        QVERIFY(cli->waitForFinished(TRY_MS));
        // A killed program leaves the pseudo-terminal in exclusive mode: the reader is
        // switched off and on, as a reader's own port would be free again.
        m_reader->HangUp();
        QVERIFY(QTest::qWaitFor([&] { return m_reader->IsServing(); }, TRY_MS));
        if (run == 1)
            cli = startCli(extra);
    }
    QVERIFY(received("tags").isEmpty());
    cli = startCli(extra);
    QVERIFY2(m_broker.start(&reason), qPrintable(reason));
    QVERIFY2(QTest::qWaitFor([&] { return received("tags").size() >= 2 * TAGS; }, TRY_MS),
             qPrintable(QString::number(received("tags").size()) + " arrived\n" + cli->readAllStandardError()));
    const QMap<qint64, QJsonObject> got = received("tags");
    QCOMPARE(got.size(), 2 * TAGS);
    QCOMPARE(got.firstKey(), 0);
    QCOMPARE(got.lastKey(), 2 * TAGS - 1);
}

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"

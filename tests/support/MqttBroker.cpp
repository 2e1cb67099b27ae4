#include "tests/support/MqttBroker.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTest>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <pwd.h>
#include <signal.h>
#include <unistd.h>

namespace {

constexpr int START_MS = 10000;

sockaddr_in Loopback(int port)
{
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A port the system handed out a moment ago: free unless another program takes it first.
int FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t size = sizeof address;
    const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
                    && ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok ? ntohs(address.sin_port) : 0;
}

bool Listening(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback(port);
    const bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

bool Run(const QString &program, const QStringList &args, QString *reason)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        if (reason)
            *reason = program + QLatin1Char(' ') + args.join(QLatin1Char(' ')) + QStringLiteral(": ") + QString::fromUtf8(p.readAll());
        return false;
    }
    return true;
}

bool WriteFile(const QString &path, const QByteArray &bytes, QFile::Permissions permissions)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size()
           && file.setPermissions(permissions);
}

} // namespace

CMqttBroker::~CMqttBroker()
{
    stop();
}

QString CMqttBroker::log() const
{
    return QString::fromUtf8(m_log + (m_process ? m_process->readAll() : QByteArray()));
}

bool CMqttBroker::running() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

bool CMqttBroker::prepare(QString *reason)
{
    const QString broker = QFileInfo::exists(QStringLiteral("/usr/sbin/mosquitto")) ? QStringLiteral("/usr/sbin/mosquitto")
                                                                                    : QStandardPaths::findExecutable(QStringLiteral("mosquitto"));
    if (broker.isEmpty() || QStandardPaths::findExecutable(QStringLiteral("mosquitto_passwd")).isEmpty()
        || QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty()) {
        *reason = QStringLiteral("mosquitto, mosquitto_passwd or openssl is not installed (setup.sh installs them)");
        return false;
    }
    m_dir = std::make_unique<QTemporaryDir>();
    m_port = FreePort();
    m_tlsPort = FreePort();
    if (!m_dir->isValid() || m_port == 0 || m_tlsPort == 0) {
        *reason = QStringLiteral("no temporary folder or no free port");
        return false;
    }
    // An elliptic-curve CA and certificate: made in milliseconds. The broker's certificate
    // names the loopback address the clients connect to.
    const QStringList key{QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                          QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    const QString ext = path("san.ext");
    if (!WriteFile(ext, "subjectAltName=IP:127.0.0.1,DNS:localhost\n", QFile::ReadOwner | QFile::WriteOwner)
        || !Run(QStringLiteral("openssl"), QStringList{"req", "-x509"} + key + QStringList{"-keyout", path("ca.key"), "-out", caPath(), "-days", "2", "-subj", "/CN=rfid-test-ca"}, reason)
        || !Run(QStringLiteral("openssl"), QStringList{"req", "-x509"} + key + QStringList{"-keyout", path("other-ca.key"), "-out", otherCaPath(), "-days", "2", "-subj", "/CN=rfid-other-ca"}, reason)
        || !Run(QStringLiteral("openssl"), QStringList{"req"} + key + QStringList{"-keyout", path("server.key"), "-out", path("server.csr"), "-subj", "/CN=127.0.0.1"}, reason)
        || !Run(QStringLiteral("openssl"), {"x509", "-req", "-in", path("server.csr"), "-CA", caPath(), "-CAkey", path("ca.key"),
                                            "-CAcreateserial", "-out", path("server.crt"), "-days", "2", "-extfile", ext}, reason))
        return false;
    if (!WriteFile(path("passwd"), "", QFile::ReadOwner | QFile::WriteOwner)
        || !Run(QStringLiteral("mosquitto_passwd"), {"-b", path("passwd"), USER, PASSWORD}, reason))
        return false;
    // The broker keeps the user it runs as (as root it would switch to "mosquitto", which
    // cannot enter this folder). Unlimited queues and messages in flight: nothing is dropped
    // by the broker, and the persistence file is written every second.
    const passwd *me = ::getpwuid(::geteuid());
    QByteArray config;
    config += "per_listener_settings false\nallow_anonymous false\n";
    config += "password_file " + path("passwd").toUtf8() + "\n";
    if (m_persistent)
        config += "persistence true\npersistence_location " + m_dir->path().toUtf8() + "/\nautosave_interval 1\n";
    config += "max_queued_messages 0\nmax_inflight_messages 0\nset_tcp_nodelay true\n";
    config += "log_dest stderr\nlog_type error\nlog_type warning\nlog_type notice\n";
    if (me)
        config += QByteArray("user ") + me->pw_name + "\n";
    config += "listener " + QByteArray::number(m_port) + " 127.0.0.1\n";
    config += "listener " + QByteArray::number(m_tlsPort) + " 127.0.0.1\n";
    config += "cafile " + caPath().toUtf8() + "\ncertfile " + path("server.crt").toUtf8() + "\nkeyfile " + path("server.key").toUtf8() + "\n";
    if (!WriteFile(path("mosquitto.conf"), config, QFile::ReadOwner | QFile::WriteOwner)) {
        *reason = QStringLiteral("cannot write the broker's configuration");
        return false;
    }
    m_process = std::make_unique<QProcess>();
    m_process->setProgram(broker);
    m_process->setArguments({QStringLiteral("-c"), path("mosquitto.conf")});
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    return true;
}

bool CMqttBroker::launch(QString *reason)
{
    m_process->start();
    if (!m_process->waitForStarted(START_MS)) {
        *reason = QStringLiteral("mosquitto does not start: ") + m_process->errorString();
        return false;
    }
    // Up when both listeners take a connection.
    const QDeadlineTimer deadline(START_MS);
    for (const int port : {m_port, m_tlsPort}) {
        while (!Listening(port)) {
            if (deadline.hasExpired() || m_process->state() == QProcess::NotRunning) {
                *reason = QStringLiteral("mosquitto does not listen on %1: %2").arg(port).arg(log());
                return false;
            }
            QThread::msleep(20);
        }
    }
    return true;
}

bool CMqttBroker::start(QString *reason)
{
    QString ignored;
    if (!reason)
        reason = &ignored;
    if (!m_process && !prepare(reason))
        return false;
    if (running())
        return true;
    return launch(reason);
}

void CMqttBroker::kill()
{
    if (!running())
        return;
    m_process->kill();
    m_process->waitForFinished(START_MS);
    m_log += m_process->readAll();
}

void CMqttBroker::stop()
{
    if (!running())
        return;
    m_process->terminate();
    if (!m_process->waitForFinished(START_MS))
        kill();
    m_log += m_process->readAll();
}

QString CMqttBroker::credentialsFile(const QString &password) const
{
    const QString file = path(password.isEmpty() ? "credentials" : "wrong-credentials");
    WriteFile(file, QByteArray(USER) + '\n' + (password.isEmpty() ? QByteArray(PASSWORD) : password.toUtf8()) + '\n',
              QFile::ReadOwner | QFile::WriteOwner);
    return file;
}

bool CMqttBroker::saved() const
{
    return QFileInfo(path("mosquitto.db")).size() > 0;
}

// ---- the subscriber ------------------------------------------------------------------------

CMqttSubscriber::~CMqttSubscriber()
{
    stop();
}

bool CMqttSubscriber::start(const CMqttBroker &broker, const QString &topic, QString *reason)
{
    static int serial = 0;
    // -c with a fixed id: a persistent session; it reconnects by itself after the broker's
    // restart and gets what the broker queued for it.
    m_process.start(QStringLiteral("mosquitto_sub"),
                    {"-h", "127.0.0.1", "-p", QString::number(broker.port()), "-u", CMqttBroker::USER, "-P", CMqttBroker::PASSWORD,
                     "-q", "1", "-c", "-i", QStringLiteral("rfid-test-sub-%1-%2").arg(::getpid()).arg(++serial), "-v", "-t", topic});
    if (!m_process.waitForStarted(START_MS)) {
        if (reason)
            *reason = QStringLiteral("mosquitto_sub does not start: ") + m_process.errorString();
        return false;
    }
    // Subscribed once a message of its own comes back: what is published after start()
    // reaches it.
    const QString probe = QString(topic).replace(QLatin1Char('#'), QStringLiteral("subscribed")).replace(QLatin1Char('+'), QStringLiteral("x"));
    for (int attempt = 0; attempt < 50; ++attempt) {
        QProcess::execute(QStringLiteral("mosquitto_pub"), {"-h", "127.0.0.1", "-p", QString::number(broker.port()), "-u", CMqttBroker::USER,
                                                            "-P", CMqttBroker::PASSWORD, "-q", "1", "-t", probe, "-m", "subscribed"});
        if (waitFor(probe, 200))
            return true;
    }
    if (reason)
        *reason = QStringLiteral("mosquitto_sub does not receive");
    return false;
}

const QStringList &CMqttSubscriber::lines()
{
    m_partial += m_process.readAllStandardOutput();
    const int end = m_partial.lastIndexOf('\n');
    if (end >= 0) {
        for (const QByteArray &line : m_partial.left(end).split('\n'))
            m_lines.append(QString::fromUtf8(line));
        m_partial = m_partial.mid(end + 1);
    }
    return m_lines;
}

// On the event loop: the simulated readers of the test run there.
bool CMqttSubscriber::waitFor(const QString &text, int timeoutMs)
{
    int seen = 0;
    bool found = false;
    (void)QTest::qWaitFor([&] {
        const QStringList &all = lines();
        for (; seen < all.size() && !found; ++seen)
            found = all[seen].contains(text);
        return found || m_process.state() == QProcess::NotRunning;
    }, timeoutMs);
    return found;
}

void CMqttSubscriber::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000))
        m_process.kill();
    m_process.waitForFinished(5000);
}

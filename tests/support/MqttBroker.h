#pragma once

// A private mosquitto broker for the publishing tests and benchmark: a plain listener and a
// TLS listener on free loopback ports, a password file, a CA and the broker's certificate
// made with openssl when it starts (and a second CA that signed nothing), and a persistence
// file so that a subscriber's session survives the broker being killed and started again.

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

class CMqttBroker
{
public:
    static constexpr char USER[] = "station";
    static constexpr char PASSWORD[] = "s3cret pass";

    // Without persistence the broker keeps nothing across a restart (as a default mosquitto
    // does): for measuring, where the file written every second would be measured too.
    explicit CMqttBroker(bool persistent = true) : m_persistent(persistent) {}
    ~CMqttBroker();
    CMqttBroker(const CMqttBroker &) = delete;
    CMqttBroker &operator=(const CMqttBroker &) = delete;

    // False, with the reason, when mosquitto, mosquitto_passwd or openssl is missing or the
    // broker does not come up.
    bool start(QString *reason);
    // SIGKILL: no will, no last save; the ports and the persistence stay for a restart.
    void kill();
    // SIGTERM: the broker saves its sessions and ends.
    void stop();
    bool running() const;

    int port() const { return m_port; }
    int tlsPort() const { return m_tlsPort; }
    QString plainUrl() const { return QStringLiteral("mqtt://127.0.0.1:%1").arg(m_port); }
    QString tlsUrl() const { return QStringLiteral("mqtts://127.0.0.1:%1").arg(m_tlsPort); }
    QString caPath() const { return path("ca.crt"); }
    QString otherCaPath() const { return path("other-ca.crt"); }
    // A credentials file for --mqtt-credentials, mode 0600; `password` empty: the right one.
    QString credentialsFile(const QString &password = QString()) const;
    // Whether the broker has written its persistence file (the sessions survive a kill).
    bool saved() const;
    QString path(const char *name) const { return m_dir ? m_dir->filePath(QLatin1String(name)) : QString(); }
    QString log() const;

private:
    bool prepare(QString *reason);
    bool launch(QString *reason);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_process;
    bool m_persistent;
    int m_port = 0;
    int m_tlsPort = 0;
    QByteArray m_log;
};

// mosquitto_sub on the broker's plain listener: a persistent session at QoS 1 (the broker
// keeps its messages while it is away, and across a kill once saved), every message as
// "topic payload" on one line.
class CMqttSubscriber
{
public:
    ~CMqttSubscriber();
    bool start(const CMqttBroker &broker, const QString &topic, QString *reason);
    // Waits until a line containing `text` has come (or the process ended).
    bool waitFor(const QString &text, int timeoutMs);
    // The lines so far, read from the process.
    const QStringList &lines();
    void stop();

private:
    QProcess m_process;
    QStringList m_lines;
    QByteArray m_partial;
};

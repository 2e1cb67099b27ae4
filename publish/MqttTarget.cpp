#include "publish/MqttTarget.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <sys/stat.h>

QString ParseMqttUrl(const QString &url, MqttTarget &target)
{
    const QUrl parsed(url, QUrl::StrictMode);
    const QString scheme = parsed.scheme().toLower();
    if (!parsed.isValid() || (scheme != QLatin1String("mqtt") && scheme != QLatin1String("mqtts")))
        return QStringLiteral("--mqtt needs mqtt://HOST[:PORT] or mqtts://HOST[:PORT], not \"%1\"").arg(url);
    if (parsed.host().isEmpty())
        return QStringLiteral("--mqtt: no broker host in \"%1\"").arg(url);
    if (!parsed.userName().isEmpty() || !parsed.password().isEmpty())
        return QStringLiteral("--mqtt: no user or password in the address (every user of this machine can read a "
                              "command line); put them in a file for --mqtt-credentials");
    if (!parsed.path().isEmpty() && parsed.path() != QLatin1String("/"))
        return QStringLiteral("--mqtt: \"%1\" has a path; the topics come from --mqtt-topic").arg(url);
    target.url = url;
    target.tls = scheme == QLatin1String("mqtts");
    target.host = parsed.host();
    target.port = parsed.port(target.tls ? MQTTS_DEFAULT_PORT : MQTT_DEFAULT_PORT);
    return QString();
}

QString ParseMqttQos(const QString &text, MqttTarget &target)
{
    if (text != QLatin1String("0") && text != QLatin1String("1"))
        return QStringLiteral("--mqtt-qos is 0 or 1, not \"%1\"").arg(text);
    target.qos = text.toInt();
    return QString();
}

QString ParseMqttTopic(const QString &text, MqttTarget &target)
{
    // The wildcards and the null character are not allowed in a topic one publishes to.
    if (text.isEmpty() || text.contains(QLatin1Char('+')) || text.contains(QLatin1Char('#'))
        || text.contains(QChar(0)) || text.endsWith(QLatin1Char('/')))
        return QStringLiteral("--mqtt-topic needs a topic without + or #, not ending in /, not \"%1\"").arg(text);
    target.topicTemplate = text;
    return QString();
}

QString ReadMqttCredentials(const QString &path, MqttTarget &target)
{
    struct stat info = {};
    const QByteArray local = QFile::encodeName(path);
    if (::stat(local.constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return QStringLiteral("--mqtt-credentials %1: no such file").arg(path);
    if (info.st_mode & (S_IRWXG | S_IRWXO))
        return QStringLiteral("--mqtt-credentials %1: others can read it (mode %2); make it yours alone: chmod 600 %1")
            .arg(path)
            .arg(info.st_mode & 0777, 3, 8, QLatin1Char('0'));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("--mqtt-credentials %1: %2").arg(path, file.errorString());
    const QList<QByteArray> lines = file.read(64 * 1024).split('\n');
    auto line = [&](int i) {
        QByteArray text = lines.value(i);
        if (text.endsWith('\r'))
            text.chop(1);
        return QString::fromUtf8(text);
    };
    if (line(0).isEmpty())
        return QStringLiteral("--mqtt-credentials %1: the first line (the user name) is empty").arg(path);
    target.hasCredentials = true;
    target.credentialsPath = path;
    target.user = line(0);
    target.password = line(1);
    return QString();
}

QString CheckMqttCa(const QString &path, MqttTarget &target)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return QStringLiteral("--mqtt-ca %1: %2").arg(path, QFileInfo::exists(path) ? file.errorString()
                                                                                   : QStringLiteral("no such file"));
    if (!file.read(64 * 1024).contains("-----BEGIN CERTIFICATE-----"))
        return QStringLiteral("--mqtt-ca %1: no PEM certificate in it").arg(path);
    target.caPath = QFileInfo(path).absoluteFilePath();
    return QString();
}

QString CheckMqttTarget(const MqttTarget &target)
{
    if (!target.caPath.isEmpty() && !target.tls)
        return QStringLiteral("--mqtt-ca needs an mqtts:// broker");
    return QString();
}

QString MqttTopicPrefix(const MqttTarget &target, const QString &portName)
{
    QString topic = target.topicTemplate.isEmpty() ? QString::fromLatin1(MQTT_DEFAULT_TOPIC) : target.topicTemplate;
    return topic.replace(QLatin1String("{host}"), target.stationHost).replace(QLatin1String("{port}"), portName);
}

QString DefaultMqttStateFolder()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || !QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/rfid-lorix/mqtt");
}

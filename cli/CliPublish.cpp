#include "cli/CliPublish.h"

#include <QSysInfo>

const char PUBLISH_OPTIONS_HELP[] =
    "  --mqtt URL    also publish every event to an MQTT broker: mqtt://HOST[:PORT] or\n"
    "                mqtts://HOST[:PORT] (TLS); events wait on disk while it is away\n"
    "  --mqtt-topic T  topics T/tags, T/events, T/status; {host} and {port} are replaced\n"
    "                (default rfid-lorix/{host}/{port})\n"
    "  --mqtt-qos N  0 or 1 (default 1: the broker acknowledges each message)\n"
    "  --mqtt-credentials FILE  user name and password on two lines; the file must be\n"
    "                readable by you alone\n"
    "  --mqtt-ca FILE  the CA certificate (PEM) that signed the broker's certificate\n";

bool ParsePublishOption(const QStringList &arguments, int &i, CliPublishOptions &options, QString &error)
{
    const QString &a = arguments[i];
    if (a != QLatin1String("--mqtt") && !a.startsWith(QLatin1String("--mqtt-")))
        return false;
    if (i + 1 >= arguments.size()) {
        error = QStringLiteral("%1 needs a value").arg(a);
        return true;
    }
    const QString value = arguments[++i];
    if (a == QLatin1String("--mqtt")) {
        options.enabled = true;
        error = ParseMqttUrl(value, options.target);
        return true;
    }
    options.other = true;
    if (a == QLatin1String("--mqtt-topic"))
        error = ParseMqttTopic(value, options.target);
    else if (a == QLatin1String("--mqtt-qos"))
        error = ParseMqttQos(value, options.target);
    else if (a == QLatin1String("--mqtt-credentials"))
        options.credentialsPath = value;
    else if (a == QLatin1String("--mqtt-ca"))
        options.caPath = value;
    else
        error = QStringLiteral("unknown option %1").arg(a);
    return true;
}

QString PreparePublishing(CliPublishOptions &options)
{
    if (!options.enabled)
        return options.other ? QStringLiteral("the --mqtt-* options need --mqtt URL") : QString();
    QString error;
    if (!options.credentialsPath.isEmpty())
        error = ReadMqttCredentials(options.credentialsPath, options.target);
    if (error.isEmpty() && !options.caPath.isEmpty())
        error = CheckMqttCa(options.caPath, options.target);
    if (error.isEmpty())
        error = CheckMqttTarget(options.target);
    options.target.stationHost = QSysInfo::machineHostName();
    if (options.target.stationHost.isEmpty())
        options.target.stationHost = QStringLiteral("localhost");
    options.target.stateFolder = DefaultMqttStateFolder();
    return error;
}

CCliPublishing::CCliPublishing(const MqttTarget &target, QObject *parent) : QObject(parent), m_target(target)
{
}

CCliPublishing::~CCliPublishing() = default;

bool CCliPublishing::AddPort(const QString &portName, QString &error)
{
    auto *publisher = new CMqttPublisher(m_target, portName, this);
    connect(publisher, &CMqttPublisher::noted, this,
            [this, portName](const QString &text, bool isError) { emit noted(portName, text, isError); });
    connect(publisher, &CMqttPublisher::refused, this, [this, portName](const QString &text) { emit refused(portName, text); });
    if (!publisher->Start(error)) {
        delete publisher;
        return false;
    }
    m_publishers.insert(portName, publisher);
    return true;
}

void CCliPublishing::Publish(const QString &portName, CMqttPublisher::Stream stream, const QByteArray &json)
{
    if (CMqttPublisher *publisher = m_publishers.value(portName))
        publisher->Publish(stream, json);
}

#include "cli/CliPublish.h"

#include <QSysInfo>

CCliPublishing::CCliPublishing(QObject *parent) : QObject(parent)
{
}

CCliPublishing::~CCliPublishing() = default;

QString CCliPublishing::PublishedName(const QString &portName)
{
    QString name = portName;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    while (name.startsWith(QLatin1Char('_')))
        name.remove(0, 1);
    return name;
}

QString CCliPublishing::Prepare(const MqttTarget &target, const QString &credentialsPath, const QString &caPath)
{
    m_target = target;
    QString error;
    if (!credentialsPath.isEmpty())
        error = ReadMqttCredentials(credentialsPath, m_target);
    if (error.isEmpty() && !caPath.isEmpty())
        error = CheckMqttCa(caPath, m_target);
    if (error.isEmpty())
        error = CheckMqttTarget(m_target);
    m_target.stationHost = QSysInfo::machineHostName();
    if (m_target.stationHost.isEmpty())
        m_target.stationHost = QStringLiteral("localhost");
    m_target.stateFolder = DefaultMqttStateFolder();
    return error;
}

bool CCliPublishing::AddPort(const QString &portName, QString &error)
{
    auto *publisher = new CMqttPublisher(m_target, PublishedName(portName), this);
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

#pragma once

#include "publish/MqttPublisher.h"
#include "publish/MqttTarget.h"

#include <QHash>
#include <QObject>
#include <QString>

// watch --mqtt's publishing: one publisher per port (its own connection, last will and
// queues), fed from the main thread.
class CCliPublishing : public QObject
{
    Q_OBJECT

public:
    explicit CCliPublishing(QObject *parent = nullptr);
    ~CCliPublishing() override;

    // Reads the credentials, checks the CA, and fills in this machine's name and the queues'
    // folder. Empty when all is well; otherwise a usage error.
    QString Prepare(const MqttTarget &target, const QString &credentialsPath, const QString &caPath);
    // Opens the port's queues and starts its publisher, which connects.
    bool AddPort(const QString &portName, QString &error);
    void Publish(const QString &portName, CMqttPublisher::Stream stream, const QByteArray &json);

    // A port's name in topics and folder names: COM5 as it stands, a device path with its
    // slashes made underscores (dev_rfcomm0).
    static QString PublishedName(const QString &portName);

signals:
    void noted(const QString &portName, const QString &text, bool error);
    void refused(const QString &portName, const QString &text);

private:
    MqttTarget m_target;
    QHash<QString, CMqttPublisher *> m_publishers;   // children: they go, and join, with this
};

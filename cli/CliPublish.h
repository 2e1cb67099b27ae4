#pragma once

#include "publish/MqttPublisher.h"
#include "publish/MqttTarget.h"

#include <QHash>
#include <QObject>
#include <QStringList>

#include <memory>

// What watch's --mqtt options said.
struct CliPublishOptions
{
    bool enabled = false;       // --mqtt given
    bool other = false;         // some other --mqtt-* option given
    MqttTarget target;
    QString credentialsPath;
    QString caPath;
};

// The lines watch's help gives the options.
extern const char PUBLISH_OPTIONS_HELP[];

// Reads the --mqtt option at arguments[i], moving i past its value. False when it is none of
// them; otherwise `error` is empty or says what is wrong with it.
bool ParsePublishOption(const QStringList &arguments, int &i, CliPublishOptions &options, QString &error);
// Once every option is read: reads the credentials, checks the CA, fills in this machine's
// name and the queues' folder. Empty when all is well; otherwise a usage error.
QString PreparePublishing(CliPublishOptions &options);

// The command line's publishing: one publisher per port (its own connection, last will and
// queues), fed from the engine's thread.
class CCliPublishing : public QObject
{
    Q_OBJECT

public:
    explicit CCliPublishing(const MqttTarget &target, QObject *parent = nullptr);
    ~CCliPublishing() override;

    // Opens the port's queues and starts its publisher, which connects.
    bool AddPort(const QString &portName, QString &error);
    void Publish(const QString &portName, CMqttPublisher::Stream stream, const QByteArray &json);

signals:
    void noted(const QString &portName, const QString &text, bool error);
    void refused(const QString &portName, const QString &text);

private:
    MqttTarget m_target;
    QHash<QString, CMqttPublisher *> m_publishers;   // children: they go, and join, with this
};

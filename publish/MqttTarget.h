#pragma once

#include <QString>

// Where and how the command line publishes: the broker from an mqtt:// or mqtts:// address,
// the topics, the quality of service, and the secrets read from files (never from the
// command line, where every user of the machine can read them in the process list).
struct MqttTarget
{
    QString url;              // as given, for the log
    bool tls = false;         // mqtts://
    QString host;
    int port = 0;
    QString topicTemplate;    // {host} and {port} replaced; "/tags", "/events", "/status" appended
    int qos = 1;
    bool hasCredentials = false;
    QString credentialsPath;
    QString user;
    QString password;
    QString caPath;           // mqtts:// without it: the system's certificate store
    QString stationHost;      // this machine's name: {host} of the topics
    QString stateFolder;      // the queues live below it, one folder per port and stream
};

inline constexpr int MQTT_DEFAULT_PORT = 1883;
inline constexpr int MQTTS_DEFAULT_PORT = 8883;
inline constexpr char MQTT_DEFAULT_TOPIC[] = "rfid-lorix/{host}/{port}";

// Each reads one option into `target`; an empty result is success, anything else says in
// plain words what is wrong (a usage error: nothing has been opened yet).
QString ParseMqttUrl(const QString &url, MqttTarget &target);
QString ParseMqttQos(const QString &text, MqttTarget &target);
QString ParseMqttTopic(const QString &text, MqttTarget &target);
// The credentials file: the user name on its first line, the password on its second (all of
// it but the line end). Refused when its group or others may read it, or when it is not a
// regular file: a password in a file that others can read is no secret.
QString ReadMqttCredentials(const QString &path, MqttTarget &target);
// The CA certificate file (PEM) that signed the broker's certificate: it must be readable.
QString CheckMqttCa(const QString &path, MqttTarget &target);
// What is left to check once every option is read: a CA only for mqtts://.
QString CheckMqttTarget(const MqttTarget &target);

// The topic prefix of one port: the template with {host} and {port} replaced.
QString MqttTopicPrefix(const MqttTarget &target, const QString &portName);

// $XDG_STATE_HOME/rfid-lorix/mqtt (~/.local/state when it is unset).
QString DefaultMqttStateFolder();

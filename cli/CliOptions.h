#pragma once

#include "publish/MqttTarget.h"

#include <QList>
#include <QString>
#include <QStringList>

// Exit status of every subcommand: done (also when SIGINT, SIGTERM or a closed pipe ended
// it); a check failed (an error answer, a timeout, a script line that did not pass, a
// reader that never answered); the command line was wrong (or a script that cannot be
// read); the port could not be opened or its link was lost; standard output, the log or the
// CSV file could not be written. Each subcommand's help and the manual page say which of
// them it gives.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;
inline constexpr int EXIT_PORT = 3;
inline constexpr int EXIT_OUTPUT = 4;

// The options a subcommand may take. The table in Cli.cpp names, for each subcommand, those
// it takes; any other is refused there, so a subcommand reads only its own. A new option is
// a bit here, a row of OPTIONS in Cli.cpp (its help and completion come from that row), a
// field of CliOptions, and its value read in TakeValue or TakeSwitch.
enum CliOption : unsigned {
    OPT_PORT = 1u << 0,
    OPT_JSON = 1u << 1,
    OPT_LOG = 1u << 2,
    OPT_CSV = 1u << 3,
    OPT_TIMEOUT = 1u << 4,
    OPT_SECONDS = 1u << 5,
    OPT_SINGLE = 1u << 6,
    OPT_MULTI = 1u << 7,
    OPT_ASCII = 1u << 8,
    OPT_HEX = 1u << 9,
    OPT_TIMESTAMP_FORMAT = 1u << 10,
    OPT_WAIT = 1u << 11,
    OPT_MQTT = 1u << 12,
    OPT_MQTT_TOPIC = 1u << 13,
    OPT_MQTT_QOS = 1u << 14,
    OPT_MQTT_CREDENTIALS = 1u << 15,
    OPT_MQTT_CA = 1u << 16,
};

// A port as the command line names it: COM5, 5, or a device path (/dev/rfcomm0,
// /dev/serial/by-id/...), which the engine reaches through a COM number of its own.
struct CliPort
{
    int number = 0;     // the COM number; for a path outside the numbering, one of the run's own
    QString name;       // how output names it: COM5, or the path as given
    QString path;       // the path given; empty for a number
};

enum class TimestampFormat {
    Local,   // ISO 8601 local time with its offset, as the CSV export writes it
    Utc,     // ISO 8601 in UTC, "Z"
    Epoch,   // seconds since 1970 with milliseconds
    Delta,   // seconds since the line before, "+0.012"
};

// What the command line said, checked against the subcommand's table row.
struct CliOptions
{
    QString command;
    unsigned given = 0;         // the CliOption bits that were given
    QList<CliPort> ports;
    bool json = false;
    bool ascii = false;
    bool hex = false;
    bool wait = false;
    int mode = -1;              // -1 the stored read mode, 0 single, 1 multi
    double timeoutS = 5;
    double seconds = 0;
    QString logPath;            // "-": standard output
    QString csvPath;            // "-": standard output
    TimestampFormat timestampFormat = TimestampFormat::Local;
    QStringList operands;       // the commands of "send", the script of "run"
    MqttTarget mqtt;            // watch --mqtt: the broker, the topics, the QoS
    QString mqttCredentials;    // the files, read when the run starts
    QString mqttCa;

    bool has(CliOption option) const { return (given & option) != 0; }
};

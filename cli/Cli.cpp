#include "cli/Cli.h"

#include "cli/CliCommands.h"
#include "cli/CliSession.h"
#include "platform/TerminationSignals.h"
#include "platform/ComPorts.h"

#include <csignal>
#include <cstdio>

namespace {

constexpr double MAX_SECONDS = 24 * 3600;

// One option: its long and short name, the name of its value (none: a switch) and its line
// in the subcommands' help.
struct OptionRow
{
    CliOption id;
    const char *name;
    char shortName;
    const char *value;
    const char *help;
};

constexpr OptionRow OPTIONS[] = {
    {OPT_PORT, "port", 'p', "PORT", "COMn, n or a device path (default: the stored port)"},
    {OPT_JSON, "json", 'j', nullptr, "one JSON object per line"},
    {OPT_LOG, "log", 0, "FILE", "the same lines appended to FILE (- standard output)"},
    {OPT_CSV, "csv", 0, "FILE", "the table as the tag monitor exports it (- standard output)"},
    {OPT_TIMEOUT, "timeout", 't', "S", "seconds to wait for each answer (default 5; fractions too)"},
    {OPT_SECONDS, "seconds", 's', "S", "seconds of inventories (default: one round)"},
    {OPT_SINGLE, "single", 0, nullptr, "single-tag inventories"},
    {OPT_MULTI, "multi", 0, nullptr, "multi-tag inventories"},
    {OPT_ASCII, "ascii", 0, nullptr, "type tags as ASCII text (default: the stored mode)"},
    {OPT_HEX, "hex", 0, nullptr, "received lines as the bytes that came, in hexadecimal"},
    {OPT_TIMESTAMP_FORMAT, "timestamp-format", 0, "F", "iso (local, the default), utc, epoch or delta"},
    {OPT_WAIT, "wait", 'w', nullptr, "wait for a port that is not there yet"},
    {OPT_MQTT, "mqtt", 0, "URL", "also publish every event: mqtt://HOST[:PORT] or mqtts://HOST[:PORT]"},
    {OPT_MQTT_TOPIC, "mqtt-topic", 0, "T", "topics T/tags, T/events, T/status (default rfid-lorix/{host}/{port})"},
    {OPT_MQTT_QOS, "mqtt-qos", 0, "N", "0 or 1 (default 1: the broker acknowledges each message)"},
    {OPT_MQTT_CREDENTIALS, "mqtt-credentials", 0, "FILE", "user name and password on two lines; yours alone (mode 600)"},
    {OPT_MQTT_CA, "mqtt-ca", 0, "FILE", "the CA certificate (PEM) that signed the broker's"},
};

enum class Ports { None, One, Many };

// One subcommand: its help, checking and dispatch in one row. `exits` lists the statuses it
// gives, as its help and the manual page say them.
struct CommandRow
{
    const char *name;
    const char *operands;       // the synopsis' operands; "" for none
    const char *missing;        // the usage error when too few are given
    int minOperands, maxOperands;   // maxOperands -1: any number
    Ports ports;
    unsigned options;
    const char *summary;
    const char *description;
    const char *exits;
    int (*run)(CCliSession &);
};

constexpr CommandRow COMMANDS[] = {
    {"ports", "", "", 0, 0, Ports::None, OPT_JSON, "list the ports the window's picker offers",
     "Lists every port the window's picker offers: COM number, kind (serial, mapped,\n"
     "bluetooth-paired, bluetooth-bound), device path and name; with --json also the\n"
     "/dev/serial/by-id path, the USB vendor and product, and whether the port is in use.\n",
     "0 listed, 4 the output could not be written", RunPorts},
    {"send", "COMMAND...", "no command to send", 1, -1, Ports::One, OPT_PORT | OPT_TIMEOUT | OPT_HEX | OPT_WAIT,
     "send commands and print the reader's answers",
     "Sends each command in order and prints the reader's answer lines up to its prompt,\n"
     "control characters escaped. A command holding CR or LF is refused.\n",
     "0 every command answered without an error line (or interrupted), 1 an error line or\n"
     "no answer, 2 a usage error, 3 the port could not be opened or was lost, 4 the output\n"
     "could not be written", RunSend},
    {"watch", "", "", 0, 0, Ports::Many,
     OPT_PORT | OPT_JSON | OPT_LOG | OPT_SINGLE | OPT_MULTI | OPT_HEX | OPT_TIMESTAMP_FORMAT | OPT_WAIT | OPT_MQTT
         | OPT_MQTT_TOPIC | OPT_MQTT_QOS | OPT_MQTT_CREDENTIALS | OPT_MQTT_CA,
     "print every line sent and received, with time stamps",
     "Prints every line sent (>) and received (<) and every change of the link (# opened,\n"
     "lost, reopened, closed) with its time and port until interrupted; answers the trigger\n"
     "and reconnects as the tool's automatic connection does. --port may be repeated: one\n"
     "stream, each line with its port. --single or --multi chooses the trigger's inventory\n"
     "(default: the stored read mode). --mqtt also publishes each event as --json prints it\n"
     "to a broker, one connection per port; the events wait on disk while it is away\n"
     "($XDG_STATE_HOME/rfid-lorix/mqtt/, at most 1,048,576 per port and topic).\n",
     "0 interrupted, 2 a usage error (also a credentials file others can read), 3 a port\n"
     "could not be opened or the broker refused us (a wrong password, a certificate the CA\n"
     "does not sign), 4 the output or the log could not be written", RunWatch},
    {"inventory", "", "", 0, 0, Ports::Many, OPT_PORT | OPT_SINGLE | OPT_SECONDS | OPT_CSV | OPT_JSON | OPT_TIMEOUT | OPT_WAIT,
     "run inventories and print the tag table",
     "Runs inventories for S seconds (or one round) and prints the tag table: tag, kind,\n"
     "reads, first and last seen, reads per second. --port may be repeated; --csv then\n"
     "writes one file per port, its port before the extension (tags-COM5.csv).\n",
     "0 done (or interrupted), 1 a reader did not answer, 2 a usage error, 3 a port could\n"
     "not be opened or was lost, 4 the output or the CSV could not be written", RunInventory},
    {"wedge", "", "", 0, 0, Ports::One, OPT_PORT | OPT_ASCII | OPT_SINGLE | OPT_MULTI | OPT_WAIT,
     "type each new tag into the focused application",
     "Types each new tag into the focused application (desktop portal, uinput or XTest,\n"
     "as the window chooses), answers the trigger and reconnects, until interrupted. One\n"
     "line per event on standard error. The portal's consent is kept in\n"
     "$XDG_STATE_HOME/rfid-lorix/ (~/.local/state/rfid-lorix/).\n",
     "0 interrupted, 1 the key sink cannot type, 2 a usage error, 3 the port could not be\n"
     "opened", RunWedge},
    {"run", "SCRIPT", "no script given (- reads standard input)", 1, 1, Ports::One, OPT_PORT | OPT_TIMEOUT | OPT_WAIT, "run a script of commands and expected answers",
     "Runs a script (a regular file, or - for standard input), one step a line: \"COMMAND\",\n"
     "\"COMMAND => PATTERN\" (some answer line must match the regular expression whole),\n"
     "\"wait 500ms\", \"# comment\"; a line that starts with \\ is a command as it stands.\n"
     "Prints PASS or FAIL for each command and a summary.\n",
     "0 all passed (or interrupted), 1 one failed, 2 a usage error or a script that cannot\n"
     "be read, 3 the port could not be opened or was lost, 4 the output could not be\n"
     "written", RunScript},
};

const CommandRow *FindCommand(const QString &name)
{
    for (const CommandRow &row : COMMANDS)
        if (name == QLatin1String(row.name))
            return &row;
    return nullptr;
}

void Print(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
}

QString Overview()
{
    QString text = QStringLiteral("Usage: %1 COMMAND [OPTIONS]\n"
                                  "The RFID reader from a shell: scripts, many readers, a keyboard wedge without a window.\n\n"
                                  "Commands:\n").arg(QLatin1String(CLI_PROGRAM));
    for (const CommandRow &row : COMMANDS)
        text += QStringLiteral("  %1%2\n").arg(QString::fromLatin1(row.name).leftJustified(11), QLatin1String(row.summary));
    text += QStringLiteral("\n'%1 COMMAND --help' describes a command; '%1 --version' tells the version;\n"
                           "'%1 --completion bash|zsh|fish' writes the shell's completion.\n"
                           "Exit status: 0 done, 1 a check failed, 2 a usage error, 3 the port could not be\n"
                           "opened or was lost, 4 the output could not be written.\n").arg(QLatin1String(CLI_PROGRAM));
    return text;
}

QString OptionName(const OptionRow &option)
{
    QString name = option.shortName ? QStringLiteral("-%1, ").arg(QLatin1Char(option.shortName)) : QStringLiteral("    ");
    name += QLatin1String("--") + QLatin1String(option.name);
    if (option.value)
        name += QLatin1Char(' ') + QLatin1String(option.value);
    return name;
}

QString CommandHelp(const CommandRow &row)
{
    QString text = QStringLiteral("Usage: %1 %2 [OPTIONS]%3\n")
                       .arg(QLatin1String(CLI_PROGRAM), QLatin1String(row.name),
                            *row.operands ? QLatin1Char(' ') + QLatin1String(row.operands) : QString());
    text += QLatin1String(row.description);
    text += QStringLiteral("Options:\n");
    for (const OptionRow &option : OPTIONS)
        if (row.options & option.id)
            text += QStringLiteral("  %1%2\n").arg(OptionName(option).leftJustified(28), QLatin1String(option.help));
    text += QStringLiteral("  %1%2\n").arg(QStringLiteral("-h, --help").leftJustified(28), QStringLiteral("this text"));
    text += QStringLiteral("Exit status: %1.\n").arg(QLatin1String(row.exits));
    return text;
}

bool ParsePort(const QString &text, CliPort &port)
{
    if (text.startsWith(QLatin1Char('/'))) {
        port.path = port.name = text;
        return true;
    }
    QString digits = text;
    if (digits.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
        digits = digits.mid(3);
    bool ok = false;
    port.number = digits.toInt(&ok);
    port.name = QStringLiteral("COM%1").arg(port.number);
    return ok && port.number >= FIRST_COM_PORT && port.number <= LAST_COM_PORT;
}

// Reads one option's value into `options`; "" or why it is wrong.
QString TakeValue(CliOption id, const QString &value, CliOptions &options)
{
    switch (id) {
    case OPT_PORT: {
        CliPort port;
        if (!ParsePort(value, port))
            return QStringLiteral("--port needs COM1 to COM255, a number or a device path, not \"%1\"").arg(value.left(60));
        options.ports.append(port);
        return QString();
    }
    case OPT_TIMEOUT:
    case OPT_SECONDS: {
        bool ok = false;
        const double seconds = value.toDouble(&ok);
        if (!ok || !(seconds >= 0) || seconds > MAX_SECONDS)
            return QStringLiteral("--%1 needs seconds, 0 to %2, not \"%3\"")
                .arg(QLatin1String(id == OPT_TIMEOUT ? "timeout" : "seconds")).arg(MAX_SECONDS).arg(value.left(60));
        (id == OPT_TIMEOUT ? options.timeoutS : options.seconds) = seconds;
        return QString();
    }
    case OPT_MQTT:
        return ParseMqttUrl(value, options.mqtt);
    case OPT_MQTT_TOPIC:
        return ParseMqttTopic(value, options.mqtt);
    case OPT_MQTT_QOS:
        return ParseMqttQos(value, options.mqtt);
    case OPT_MQTT_CREDENTIALS:
    case OPT_MQTT_CA:
        if (value.isEmpty())
            return QStringLiteral("--%1 needs a file").arg(QLatin1String(id == OPT_MQTT_CA ? "mqtt-ca" : "mqtt-credentials"));
        (id == OPT_MQTT_CA ? options.mqttCa : options.mqttCredentials) = value;
        return QString();
    case OPT_LOG:
    case OPT_CSV:
        if (value.isEmpty())
            return QStringLiteral("--%1 needs a file").arg(QLatin1String(id == OPT_LOG ? "log" : "csv"));
        (id == OPT_LOG ? options.logPath : options.csvPath) = value;
        return QString();
    case OPT_TIMESTAMP_FORMAT: {
        static constexpr struct { const char *name; TimestampFormat format; } FORMATS[] = {
            {"iso", TimestampFormat::Local}, {"utc", TimestampFormat::Utc},
            {"epoch", TimestampFormat::Epoch}, {"delta", TimestampFormat::Delta}};
        for (const auto &f : FORMATS)
            if (value == QLatin1String(f.name)) {
                options.timestampFormat = f.format;
                return QString();
            }
        return QStringLiteral("--timestamp-format is iso, utc, epoch or delta, not \"%1\"").arg(value.left(60));
    }
    default:
        return QString();
    }
}

void TakeSwitch(CliOption id, CliOptions &options)
{
    switch (id) {
    case OPT_JSON: options.json = true; break;
    case OPT_SINGLE: options.mode = 0; break;
    case OPT_MULTI: options.mode = 1; break;
    case OPT_ASCII: options.ascii = true; break;
    case OPT_HEX: options.hex = true; break;
    case OPT_WAIT: options.wait = true; break;
    default: break;
    }
}

// The arguments after the subcommand, against its row: "" or the usage error. `help` is set
// by -h/--help, which wins over any error after it.
QString Parse(const CommandRow &row, const QStringList &arguments, CliOptions &options, bool &help)
{
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &a = arguments[i];
        if (a == QLatin1String("--")) {
            options.operands += arguments.mid(i + 1);
            break;
        }
        if (a == QLatin1String("-") || !a.startsWith(QLatin1Char('-'))) {
            options.operands.append(a);
            continue;
        }
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            help = true;
            return QString();
        }
        // --name, --name=value, -x, -xVALUE
        const bool isLong = a.startsWith(QLatin1String("--"));
        const QString name = isLong ? a.mid(2).section(QLatin1Char('='), 0, 0) : a.mid(1, 1);
        const OptionRow *option = nullptr;
        for (const OptionRow &o : OPTIONS)
            if (isLong ? name == QLatin1String(o.name) : (o.shortName && name == QLatin1Char(o.shortName)))
                option = &o;
        const QString shown = isLong ? QLatin1String("--") + name : a.left(2);
        if (!option)
            return QStringLiteral("unknown option %1").arg(shown.left(60));
        if (!(row.options & option->id))
            return QStringLiteral("%1 takes no %2").arg(QLatin1String(row.name), shown);
        options.given |= option->id;
        const qsizetype inlineAt = isLong ? a.indexOf(QLatin1Char('=')) : (a.size() > 2 ? 1 : -1);
        if (!option->value) {
            if (inlineAt >= 0)
                return QStringLiteral("%1 takes no value").arg(shown);
            TakeSwitch(option->id, options);
            continue;
        }
        QString value;
        if (inlineAt >= 0)
            value = a.mid(inlineAt + 1);
        else if (i + 1 < arguments.size())
            value = arguments[++i];
        else
            return QStringLiteral("%1 needs %2").arg(shown, QLatin1String(option->value));
        const QString error = TakeValue(option->id, value, options);
        if (!error.isEmpty())
            return error;
    }
    return QString();
}

// What the row says beyond single options: operands, ports, options that exclude each other.
QString Check(const CommandRow &row, const CliOptions &options)
{
    if (options.operands.size() < row.minOperands)
        return QLatin1String(row.missing);
    if (row.maxOperands >= 0 && options.operands.size() > row.maxOperands)
        return QStringLiteral("unexpected argument %1").arg(CCliSession::Quoted(options.operands.value(row.maxOperands)));
    if (row.ports != Ports::None && options.ports.isEmpty())
        return QStringLiteral("no --port given and none stored in the settings");
    if (row.ports == Ports::One && options.ports.size() > 1)
        return QStringLiteral("one --port only");
    if (options.has(OPT_CSV) && options.has(OPT_JSON))
        return QStringLiteral("--csv and --json exclude each other");
    if (options.has(OPT_SINGLE) && options.has(OPT_MULTI))
        return QStringLiteral("--single and --multi exclude each other");
    if (options.has(OPT_HEX) && options.has(OPT_JSON))
        return QStringLiteral("--hex and --json exclude each other");
    if (!options.has(OPT_MQTT) && (options.given & (OPT_MQTT_TOPIC | OPT_MQTT_QOS | OPT_MQTT_CREDENTIALS | OPT_MQTT_CA)))
        return QStringLiteral("the --mqtt-* options need --mqtt URL");
    // A published read carries its own time; the time since the line before says nothing
    // to a consumer of many stations.
    if (options.has(OPT_MQTT) && options.timestampFormat == TimestampFormat::Delta)
        return QStringLiteral("--mqtt needs each read's time: --timestamp-format delta cannot be published");
    return QString();
}

// Shell completions, from the same tables: what a subcommand takes, and what each value is.
QString OptionValueWords(const OptionRow &option)
{
    return option.id == OPT_TIMESTAMP_FORMAT ? QStringLiteral("iso utc epoch delta") : QString();
}

bool OptionTakesFile(const OptionRow &option)
{
    return option.id == OPT_LOG || option.id == OPT_CSV || option.id == OPT_PORT;
}

// Whether a subcommand's operands are files (run's script; send's are commands).
bool TakesFiles(const CommandRow &row)
{
    return row.run == RunScript;
}

QString BashCompletion()
{
    QString commands, valued, files, cases;
    for (const CommandRow &row : COMMANDS) {
        commands += QLatin1String(row.name) + QLatin1Char(' ');
        QString words = QStringLiteral("--help");
        for (const OptionRow &option : OPTIONS)
            if (row.options & option.id)
                words += QStringLiteral(" --%1").arg(QLatin1String(option.name))
                         + (option.shortName ? QStringLiteral(" -%1").arg(QLatin1Char(option.shortName)) : QString());
        cases += QStringLiteral("        %1) words=\"%2\"%3;;\n")
                     .arg(QLatin1String(row.name), words, TakesFiles(row) ? QStringLiteral("; operands=1") : QString());
    }
    for (const OptionRow &option : OPTIONS) {
        if (!option.value)
            continue;
        QString names = QStringLiteral("--%1").arg(QLatin1String(option.name));
        if (option.shortName)
            names += QStringLiteral("|-%1").arg(QLatin1Char(option.shortName));
        const QString words = OptionValueWords(option);
        valued += QStringLiteral("        %1) %2; return;;\n")
                      .arg(names, !words.isEmpty() ? QStringLiteral("COMPREPLY=($(compgen -W \"%1\" -- \"$cur\"))").arg(words)
                                  : OptionTakesFile(option) ? QStringLiteral("COMPREPLY=($(compgen -f -- \"$cur\"))")
                                                            : QStringLiteral("COMPREPLY=()"));
    }
    return QStringLiteral("# bash completion for rfid-lorix-cli (written by rfid-lorix-cli --completion bash)\n"
                          "_rfid_lorix_cli()\n{\n"
                          "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} words operands=0\n"
                          "    if ((COMP_CWORD == 1)); then\n"
                          "        COMPREPLY=($(compgen -W \"%1--help --version\" -- \"$cur\"))\n        return\n    fi\n"
                          "    case $prev in\n%2    esac\n"
                          "    case ${COMP_WORDS[1]} in\n%3        *) return;;\n    esac\n"
                          "    if [[ $cur == -* ]]; then\n        COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
                          "    elif ((operands)); then\n        COMPREPLY=($(compgen -f -- \"$cur\"))\n    fi\n}\n"
                          "complete -F _rfid_lorix_cli rfid-lorix-cli\n").arg(commands, valued, cases);
}

// zsh's descriptions: no brackets or colons, which its _arguments lines use for themselves.
QString ZshText(const char *text)
{
    return QString::fromLatin1(text).replace(QLatin1Char(':'), QLatin1String(" -")).remove(QLatin1Char('\'')).remove(QLatin1Char('[')).remove(QLatin1Char(']'));
}

QString ZshCompletion()
{
    QString commands, cases;
    for (const CommandRow &row : COMMANDS) {
        commands += QStringLiteral("    '%1:%2'\n").arg(QLatin1String(row.name), ZshText(row.summary));
        QString lines;
        for (const OptionRow &option : OPTIONS) {
            if (!(row.options & option.id))
                continue;
            const QString repeat = option.id == OPT_PORT && row.ports == Ports::Many ? QStringLiteral("*") : QString();
            const QString names = option.shortName
                                      ? QStringLiteral("%1'{-%2,--%3}'").arg(repeat, QString(QLatin1Char(option.shortName)), QLatin1String(option.name))
                                      : QStringLiteral("%1--%2").arg(repeat, QLatin1String(option.name));
            QString action;
            if (option.value) {
                const QString words = OptionValueWords(option);
                action = QStringLiteral(":%1:%2").arg(QLatin1String(option.value),
                                                      !words.isEmpty() ? QStringLiteral("(%1)").arg(words)
                                                      : OptionTakesFile(option) ? QStringLiteral("_files") : QString());
            }
            lines += QStringLiteral(" \\\n        '%1[%2]%3'").arg(names, ZshText(option.help), action);
        }
        if (TakesFiles(row))
            lines += QStringLiteral(" \\\n        '*:%1:_files'").arg(QLatin1String(row.operands));
        cases += QStringLiteral("    %1) _arguments%2;;\n").arg(QLatin1String(row.name), lines);
    }
    return QStringLiteral("#compdef rfid-lorix-cli\n# zsh completion for rfid-lorix-cli (written by rfid-lorix-cli --completion zsh)\n"
                          "local -a commands\ncommands=(\n%1)\n"
                          "if ((CURRENT == 2)); then\n    _describe command commands\n    return\nfi\n"
                          "shift words\n((CURRENT--))\n"
                          "case $words[1] in\n%2esac\n").arg(commands, cases);
}

QString FishCompletion()
{
    QString text = QStringLiteral("# fish completion for rfid-lorix-cli (written by rfid-lorix-cli --completion fish)\n"
                                  "complete -c rfid-lorix-cli -f\n"
                                  "complete -c rfid-lorix-cli -n __fish_use_subcommand -l version -d 'the version'\n");
    for (const CommandRow &row : COMMANDS) {
        const QString name = QLatin1String(row.name);
        text += QStringLiteral("complete -c rfid-lorix-cli -n __fish_use_subcommand -a %1 -d '%2'\n")
                    .arg(name, QString::fromLatin1(row.summary).remove(QLatin1Char('\'')));
        const QString when = QStringLiteral("complete -c rfid-lorix-cli -n '__fish_seen_subcommand_from %1'").arg(name);
        for (const OptionRow &option : OPTIONS) {
            if (!(row.options & option.id))
                continue;
            text += when + QStringLiteral(" -l %1").arg(QLatin1String(option.name));
            if (option.shortName)
                text += QStringLiteral(" -s %1").arg(QLatin1Char(option.shortName));
            if (option.value) {
                const QString words = OptionValueWords(option);
                text += !words.isEmpty() ? QStringLiteral(" -x -a '%1'").arg(words) : OptionTakesFile(option) ? QStringLiteral(" -r -F") : QStringLiteral(" -x");
            }
            text += QStringLiteral(" -d '%1'\n").arg(QString::fromLatin1(option.help).remove(QLatin1Char('\'')));
        }
        if (TakesFiles(row))
            text += when + QStringLiteral(" -F\n");
    }
    return text;
}

} // namespace

int RunCli(const QStringList &arguments)
{
    const QString first = arguments.value(0);
    if (first.isEmpty() || first == QLatin1String("--help") || first == QLatin1String("-h") || first == QLatin1String("help")) {
        Print(first.isEmpty() ? stderr : stdout, Overview());
        return first.isEmpty() ? EXIT_USAGE : EXIT_OK;
    }
    if (first == QLatin1String("--version") || first == QLatin1String("-V")) {
        Print(stdout, QStringLiteral("%1 %2\n").arg(QLatin1String(CLI_PROGRAM), QLatin1String(RFID_VERSION)));
        return EXIT_OK;
    }
    if (first == QLatin1String("--completion")) {
        const QString shell = arguments.value(1);
        if (shell != QLatin1String("bash") && shell != QLatin1String("zsh") && shell != QLatin1String("fish")) {
            Print(stderr, QStringLiteral("%1: --completion is bash, zsh or fish\n").arg(QLatin1String(CLI_PROGRAM)));
            return EXIT_USAGE;
        }
        Print(stdout, shell == QLatin1String("bash") ? BashCompletion() : shell == QLatin1String("zsh") ? ZshCompletion() : FishCompletion());
        return EXIT_OK;
    }
    const CommandRow *row = FindCommand(first);
    if (!row) {
        Print(stderr, QStringLiteral("%1: unknown command %2\nTry '%1 --help'.\n")
                          .arg(QLatin1String(CLI_PROGRAM), CCliSession::Quoted(first)));
        return EXIT_USAGE;
    }
    CliOptions options;
    options.command = first;
    bool help = false;
    const QString error = Parse(*row, arguments.mid(1), options, help);
    if (help) {
        Print(stdout, CommandHelp(*row));
        return EXIT_OK;
    }
    const CliDefaults defaults = ReadCliDefaults();
    if (options.ports.isEmpty() && defaults.port > 0 && row->ports != Ports::None)
        options.ports.append({defaults.port, QStringLiteral("COM%1").arg(defaults.port), QString()});
    // The trigger's mode is the stored one; an inventory of the command line is multi unless
    // told otherwise.
    if (options.mode < 0)
        options.mode = row->run == RunInventory || defaults.multiMode ? 1 : 0;
    options.ascii = options.ascii || defaults.ascii;

    CCliSession session(options, defaults);
    const QString wrong = error.isEmpty() ? Check(*row, options) : error;
    if (!wrong.isEmpty())
        return session.usage(wrong);
    // A closed pipe is no signal here: the write that meets it ends the run as SIGINT does.
    std::signal(SIGPIPE, SIG_IGN);
    // Nor is a file grown past the process's limit: the write fails, and says so.
    std::signal(SIGXFSZ, SIG_IGN);
    // Termination ends the wait under way; the readers then go as at a normal end.
    CatchTerminationSignals(&session, [&session] { session.interrupt(); });
    session.watchOutputPipe();
    const int code = row->run(session);
    return session.finish(code);
}

#pragma once

#include "cli/CliOptions.h"
#include "cli/CliReader.h"
#include "cli/CliSettings.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QTemporaryDir;

// What every subcommand shares: its options and the stored defaults, the output (standard
// output and the log, each write checked), the waits on the event loop that a signal or a
// closed pipe cuts short, and its readers. One per run, on the main thread.
//
// Output is gathered and written once per pass of the event loop, whole lines only: a flood
// costs one write per batch, a reader on a pipe still sees each batch at once, and a log
// that cannot take a batch is cut back to its last whole line.
class CCliSession : public QObject
{
public:
    CCliSession(const CliOptions &options, const CliDefaults &defaults);
    ~CCliSession() override;

    const CliOptions &options() const { return m_options; }
    const CliDefaults &defaults() const { return m_defaults; }

    // Ends the run when standard output is a pipe whose reader closed it, as SIGINT would.
    void watchOutputPipe();
    // Ends the waits under way, as SIGINT does; also what a closed pipe does.
    void interrupt() { m_interrupted = true; }
    bool interrupted() const { return m_interrupted; }
    // Whether standard output, the log or the CSV could not be written (said once already).
    bool outputFailed() const { return m_outputFailed; }

    // Waits on the event loop until `done`, the timeout (< 0: none), an interruption or an
    // output failure. Returns done().
    bool waitFor(const std::function<bool()> &done, int timeoutMs);

    // Standard output, and the log when one is open: whole lines.
    void out(const QByteArray &bytes);
    void out(const QString &text) { out(text.toUtf8()); }
    // Standard error, at once, prefixed with the program's and the subcommand's name.
    void err(const QString &text);
    // One event line on standard error: its local time, the port, what and the text.
    void sayEvent(const CCliReader &reader, QLatin1String what, const QString &text);
    // A usage error of this subcommand: said with the hint to its help; EXIT_USAGE.
    int usage(const QString &why);
    // Writes what is gathered; false when it failed (said, the run ends).
    bool flush();
    // An output failure met elsewhere (the CSV file): said, the run ends with EXIT_OUTPUT.
    void outputFailure(const QString &where, const QString &why);

    // Opens --log FILE for appending ("-": standard output only). A FIFO is waited for until
    // a reader opens it, or SIGINT. EXIT_OK or the status to end with.
    int openLog();

    // The time stamp of --timestamp-format for `ms`, made once per millisecond.
    const QByteArray &timeText(qint64 ms);

    // A reader on `port`, its notes on standard error (every one for the talkative
    // subcommands, else only errors).
    std::unique_ptr<CCliReader> makeReader(const CliPort &port, bool wedge = false);
    // Opens the reader's port, waiting for BlueZ when it connects a Bluetooth device; with
    // --wait, waiting for a port that is not there yet. EXIT_OK or EXIT_PORT (said why).
    int open(CCliReader &reader);
    CReaderEngine::Environment environment(bool wedge) const;

    // Sends one command and gathers its answer: the lines up to the reader's prompt, without
    // the echo of the command and without the reader's events; a line over the bound comes
    // cut, with its mark, and is said on standard error.
    enum class Answer { Answered, NotSent, TimedOut, Lost, Interrupted };
    Answer exchange(CCliReader &reader, const QString &command, QStringList &lines, bool &errorLine);
    // A received line over the bound as output shows it, said once on standard error.
    QString longLineShown(CCliReader &reader, const QString &head, qint64 chars);

    // A command as error messages quote it: its first 60 characters, escaped.
    static QString Quoted(const QString &command);
    // The status a subcommand ends with once its own work is done: an output failure wins.
    int finish(int code);

private:
    bool writeAll(int fd, const QByteArray &bytes, const QString &where);
    void flushSoon();

    CliOptions m_options;
    CliDefaults m_defaults;
    bool m_interrupted = false;
    bool m_outputFailed = false;
    bool m_flushQueued = false;
    QByteArray m_pending;        // whole lines not yet written
    int m_logFd = -1;
    qint64 m_logGood = 0;        // the log's length after its last whole batch
    qint64 m_timeMs = -1;        // the time stamp's text of this millisecond
    qint64 m_lastStampMs = -1;   // the line before's, for --timestamp-format delta
    QByteArray m_timeText;
    // Port-map links of the run's own, for ports given by a path outside the numbering.
    std::unique_ptr<QTemporaryDir> m_pathPorts;
    // The Bluetooth numbers handed out in this run, beside those the settings recorded.
    std::shared_ptr<QHash<int, QString>> m_bluetoothBook = std::make_shared<QHash<int, QString>>();
};

inline constexpr char CLI_PROGRAM[] = "rfid-lorix-cli";

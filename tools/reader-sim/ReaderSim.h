#pragma once

#include "platform/CodePage.h"
#include "tools/reader-sim/PseudoTerminal.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QStringList>
#include <QString>
#include <QTimer>
#include <memory>

// What the simulated reader is told on its command line.
struct SimOptions
{
    int comNumber = 0;          // 0: the first free number from FIRST_SIM_COM_NUMBER up
    QString portsFolder;        // empty: the user's port map folder
    int tagCount = 5;           // tags of a multi-mode inventory
    int tagDigits = 24;         // hexadecimal digits of one EPC
    // The EPCs' scheme: "sgtin" (SGTIN-96) or "sscc" (SSCC-96) of a sample company, each
    // tag its own serial; empty: E200 and a plain serial number, no GS1 scheme.
    QString epcScheme;
    // The EPCs to report, in turn across inventories (after the last, the first again);
    // empty: made up as above.
    QStringList epcs;
    int tagRate = 0;            // tags per second, kept on average up to a million; 0: all at once
    int maxPiece = 0;           // writes cut into random pieces of 1..maxPiece bytes; 0: whole
    QString codeSet;            // code page of its text; empty: the locale's
    int txPower = -10;          // what "g,txp" answers until "txp,N" sets another
    int eventPeriodMs = 0;      // a trigger pull and a battery report this often; 0: never
    int hangUpAfterMs = 0;      // hang up this long after each start; 0: never
    int returnAfterMs = -1;     // come back on a new terminal this long after a hang-up; <0: end
    QString recordPath;         // every line received, one per line; empty: none
    // A line of its own sent after each echo, before the answer (a reader's debug output, a
    // cable's noise); empty: none.
    QByteArray noiseLine;
    bool mute = false;          // takes every command in (and records it), answers none
    // Serve over a UNIX stream socket instead of a pseudo-terminal: listen on a socket in the
    // port map folder, link COM<n> to it, and serve each connection in turn (a hang-up or the
    // peer's close ends one; the next connection is the reader switched on again).
    bool socket = false;
    quint32 seed = 1;
};

// A reader on a pseudo-terminal or a stream socket, registered in the port map as COM<n>;
// or serving one end of a socket pair handed to it (ServeSocket). It echoes each
// command, answers it, ends each answer with the prompt, and sends events. Single-threaded:
// everything runs from the Qt event loop.
class CReaderSim : public QObject
{
    Q_OBJECT
public:
    explicit CReaderSim(const SimOptions &options, QObject *parent = nullptr);
    ~CReaderSim() override;

    bool Start(QString &error);
    void Stop();                 // hangs up and removes the port map link
    // Serves the connected stream socket `fd` (which it owns from now on) as its line, in
    // place of the current one; without Start it registers no link. False (the descriptor
    // closed) when it is no descriptor or the record file cannot be written.
    bool ServeSocket(int fd);
    bool IsServing() const { return lineOpen(); }
    int comNumber() const { return m_comNumber; }
    QString slavePath() const { return m_options.socket ? m_socketPath : m_pty.slavePath(); }

    void PullTrigger();          // "$trigger=1,0"
    void ReleaseTrigger();       // "$trigger=0,0"
    void StartScanTrigger();     // "$trigger=3,0"
    void StopScanTrigger();      // "$trigger=2,0"
    void ReportOnline();         // "$online=1"
    void ReportBattery();        // "$batt=N"
    void HangUp();

signals:
    void ready(int comNumber, const QString &slavePath);   // after each (re)start
    void finished();

private:
    bool openRecord(QString &error);
    bool openLine(QString &error);
    bool openListener(QString &error);
    void onConnection();
    void watchLine(int fd);
    bool lineOpen() const { return m_socketFd >= 0 || m_pty.isOpen(); }
    void writeLine(const QByteArray &bytes);
    void closeLine();
    bool registerLink(QString &error);
    void removeLink();
    QString linkPath(int number) const;

    void onReadable();
    void handleLine(const QByteArray &line);
    void answer(const QString &command);
    void startInventory(int count);
    void sendNextTag();
    void finishInventory();
    void sendScanLines();
    void send(const QByteArray &bytes);
    void sendText(const QString &text);
    void writeNextPiece();
    void onEventTimer();
    void appendTag(QByteArray &out, int index);
    QByteArray gs1TagFor(int index) const;

    SimOptions m_options;
    CPseudoTerminal m_pty;
    int m_socketFd = -1;        // the line when it is a socket
    int m_listenFd = -1;        // with the socket option: where connections arrive
    QString m_socketPath;
    std::unique_ptr<QSocketNotifier> m_listenNotifier;
    CCodePageEncoder m_encoder;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    QRandomGenerator m_random;
    int m_comNumber = 0;
    bool m_linkOwned = false;
    QFile m_record;

    QByteArray m_lineIn;
    bool m_lastWasCr = false;
    int m_txPower = 0;

    QByteArray m_outQueue;      // bytes waiting to go out in pieces
    QTimer m_pieceTimer;
    QTimer m_tagTimer;
    QElapsedTimer m_inventoryClock;   // since the paced inventory began
    QTimer m_eventTimer;
    QTimer m_hangUpTimer;
    QTimer m_returnTimer;
    int m_tagsWanted = 0;
    int m_tagsSent = 0;
    int m_inventoryRound = 0;
    int m_nextEpc = 0;          // the next of SimOptions::epcs
    int m_battery = 100;
    bool m_onlineReported = false;
};

// The lines a reader recorded so far in its record file (SimOptions::recordPath), in order;
// none when the file is not there yet.
QStringList RecordedLines(const QString &recordPath);

#pragma once

#include <QByteArray>
#include <QString>

// A pseudo-terminal pair standing in for a serial line: the master side is the far end
// (a simulated reader, a test), the slave path is what a serial port opens. The slave is put
// into raw mode at once, so that nothing written before the other side configures the line
// is echoed back or cooked. The pair keeps a slave descriptor of its own open, so the master
// does not see a hang-up while no one else has the slave open; Close() ends both sides, which
// the slave's other users see as a hang-up.
class CPseudoTerminal
{
public:
    CPseudoTerminal() = default;
    ~CPseudoTerminal();
    CPseudoTerminal(const CPseudoTerminal &) = delete;
    CPseudoTerminal &operator=(const CPseudoTerminal &) = delete;

    bool Open();                      // false (with errorString()) when no pair could be made
    void Close();
    bool isOpen() const { return m_master >= 0; }

    int masterFd() const { return m_master; }   // non-blocking
    QString slavePath() const { return m_slavePath; }
    QString errorString() const { return m_error; }

    // Writes all of `bytes`, waiting while the line is full. False when the line is gone.
    bool WriteAll(const QByteArray &bytes);
    // Whatever is readable now (empty when nothing is); sets `hungUp` when the line is gone.
    QByteArray ReadAvailable(bool &hungUp);

private:
    int m_master = -1;
    int m_slaveKeeper = -1;
    QString m_slavePath;
    QString m_error;
};

// The same two operations on any non-blocking stream descriptor: a pseudo-terminal's master
// or a connected socket (written without SIGPIPE when its peer has gone).
bool WriteAllToStream(int fd, const QByteArray &bytes);
QByteArray ReadAvailableFromStream(int fd, bool &hungUp);

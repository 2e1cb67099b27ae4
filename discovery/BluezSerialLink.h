#pragma once

#include "discovery/BluetoothAddress.h"
#include "discovery/BluezClient.h"

#include <QEvent>
#include <QString>

#include <memory>
#include <vector>

class QObject;

// The answer to one connection attempt, posted to the attempt's receiver: the RFCOMM socket
// BlueZ handed over, or why there is none. A socket nobody took is closed with the event.
class CBluezLinkEvent : public QEvent
{
public:
    CBluezLinkEvent(quint64 attempt, int socket, const QString &error);
    ~CBluezLinkEvent() override;
    CBluezLinkEvent(const CBluezLinkEvent &) = delete;
    CBluezLinkEvent &operator=(const CBluezLinkEvent &) = delete;

    // Registered once per process.
    static QEvent::Type eventType();

    quint64 attempt() const { return m_attempt; }
    // The socket, which passes to the caller (-1 after a failure or a second call).
    int takeSocket();
    // BlueZ's reason in words, when the attempt failed.
    const QString &error() const { return m_error; }

private:
    quint64 m_attempt;
    int m_socket;
    QString m_error;
};

// The serial link to a paired device through BlueZ's profile interface, without privileges
// and without an rfcomm binding: registers a client profile for the Serial Port Profile with
// ProfileManager1, asks the device's Device1.ConnectProfile for it, and takes the socket that
// BlueZ hands to the profile's NewConnection. BlueZ keeps its own side of the link for the
// profile, so the profile stays registered while the link is in use; Disconnect asks BlueZ to
// disconnect it and forgets the profile.
//
// Threads: each attempt runs on a thread of its own with an event loop (BlueZ calls the
// profile back while ConnectProfile is under way), and every D-Bus call there has a time-out.
// Connect, Disconnect and IsConnecting belong to the owner's thread and never wait on D-Bus;
// the destructor ends every attempt and joins their threads, which takes at most the
// time-outs of the last calls (DisconnectProfile, UnregisterProfile). The receiver must
// outlive this object.
class CBluezSerialLink
{
public:
    explicit CBluezSerialLink(const BluezEnvironment &env = {});
    ~CBluezSerialLink();
    CBluezSerialLink(const CBluezSerialLink &) = delete;
    CBluezSerialLink &operator=(const CBluezSerialLink &) = delete;

    // Ends the current attempt or link, then starts one for `address`; its CBluezLinkEvent
    // goes to `receiver`. Returns the attempt's number, which the event carries: an answer to
    // an earlier attempt can still arrive and is told apart by it.
    quint64 Connect(QObject *receiver, const BluetoothAddress &address);
    // Ends the current attempt or link, without waiting; an answer already on its way may
    // still arrive (see Connect).
    void Disconnect();
    // An attempt was started and its answer has not been taken by the owner yet.
    bool IsConnecting() const { return m_connecting; }
    // The owner took the answer to attempt `attempt` (true when it is the current one).
    bool Answered(quint64 attempt);

private:
    struct Session;
    void reap(bool all);

    BluezEnvironment m_env;
    std::vector<std::unique_ptr<Session>> m_sessions;   // the current one last
    quint64 m_attempt = 0;
    bool m_connecting = false;
};

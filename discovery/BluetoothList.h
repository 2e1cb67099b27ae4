#pragma once

#include "discovery/BluetoothAddress.h"
#include "discovery/BluezClient.h"
#include "discovery/StopToken.h"
#include "platform/ComPorts.h"
#include "platform/WorkQueue.h"

#include <QEvent>
#include <QString>

#include <optional>

class QObject;

// Where the device list looks: BlueZ for the devices, the port numbering for their ports.
struct BluetoothListEnvironment
{
    BluezEnvironment bluez;
    PortEnvironment ports = PortEnvironment::system();
};

// Carries the finished list text to the receiver the window hands to the listing, on the
// receiver's thread; its event() inserts the text into the device list box and stores it.
class CBluetoothListEvent : public QEvent
{
public:
    // `why`: when the search found nothing, the reason (the text is then empty).
    explicit CBluetoothListEvent(const QString &text, const QString &why = QString());

    // Registered once per process.
    static QEvent::Type eventType();

    const QString &text() const { return m_text; }
    const QString &why() const { return m_why; }

private:
    QString m_text;
    QString m_why;
};

// The COM port bound to the Bluetooth device `address`: walks the present ports in their
// enumeration order (by COM number) and takes the first one whose device is an rfcomm node
// bound to that address. On success stores the port name (for example "COM97") in
// `portName` and returns 0; otherwise empties `portName` and returns -1.
int FindComPortForAddress(const BluetoothAddress &address, QString &portName,
                          const PortEnvironment &env = PortEnvironment::system());

// Searches once (including the inquiry) and gives the list text, one line per device with a
// bound port; nothing when nothing was found (no bus, no BlueZ, no adapter, no device), and
// then `why` (may be null) says which. Blocks for the inquiry: call it on a thread that may wait.
std::optional<QString> ListBluetoothDevices(const BluetoothListEnvironment &env = {}, CStopToken *stop = nullptr,
                                            QString *why = nullptr);

// Runs the one listing on a work queue of its own and sends the receiver a
// CBluetoothListEvent with the text, on the owner's thread, when something was found. The
// receiver must outlive this object: the destructor ends the inquiry early and waits for it,
// and nothing is sent after it returns. Make it a member of the receiver (the window), so
// that it goes before the receiver's QObject. Used from the owner's thread only.
class CBluetoothListThread
{
public:
    CBluetoothListThread() = default;
    ~CBluetoothListThread();
    CBluetoothListThread(const CBluetoothListThread &) = delete;
    CBluetoothListThread &operator=(const CBluetoothListThread &) = delete;

    // Starts the search; returns false when a search was already started by this object.
    bool start(QObject *receiver, const BluetoothListEnvironment &env = {});
    // Ends the inquiry early and waits for it. The list found may still be sent.
    void stop();
    // Waits for the listing to end by itself; its list is sent from the event loop.
    void join();

private:
    CStopToken m_stopToken;
    bool m_started = false;
    CWorkQueue m_queue;   // last: ends before the token goes
};

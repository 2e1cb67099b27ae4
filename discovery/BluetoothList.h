#pragma once

#include "discovery/BluetoothAddress.h"
#include "discovery/BluezClient.h"
#include "discovery/StopToken.h"
#include "platform/ComPorts.h"

#include <QEvent>
#include <QString>

#include <thread>

class QObject;

// Where the device list looks: BlueZ for the devices, the port numbering for their ports.
struct BluetoothListEnvironment
{
    BluezEnvironment bluez;
    PortEnvironment ports = PortEnvironment::system();
};

// Carries the finished list text from the listing thread to the user-interface thread.
// Posted (never sent) to the receiver the window hands to the thread; the receiver's
// event() inserts the text into the device list box and stores it, on its own thread.
class CBluetoothListEvent : public QEvent
{
public:
    explicit CBluetoothListEvent(const QString &text);

    // Registered once per process.
    static QEvent::Type eventType();

    const QString &text() const { return m_text; }

private:
    QString m_text;
};

// The COM port bound to the Bluetooth device `address`: walks the present ports in their
// enumeration order (by COM number) and takes the first one whose device is an rfcomm node
// bound to that address. On success stores the port name (for example "COM97") in
// `portName` and returns 0; otherwise empties `portName` and returns -1.
int FindComPortForAddress(const BluetoothAddress &address, QString &portName,
                          const PortEnvironment &env = PortEnvironment::system());

// Searches once (including the inquiry) and, when the search found any device, posts the
// list text, one line per device with a bound port, to `receiver` in a CBluetoothListEvent.
// Posts nothing when nothing was found (no bus, no BlueZ, no adapter, no device). Runs on
// the listing thread; touches no widget and no member of the receiver.
void ListBluetoothDevices(QObject *receiver, const BluetoothListEnvironment &env = {},
                          CStopToken *stop = nullptr);

// The listing thread's procedure: runs ListBluetoothDevices and returns the exit code 0.
int BluetoothListThreadProc(QObject *receiver, const BluetoothListEnvironment &env, CStopToken *stop);

// Owns the one listing thread. The receiver must outlive this object: the destructor ends
// the inquiry early and joins the thread, so no event is posted after it returns. Make it
// a member of the receiver (the window) and it is destroyed before the receiver's QObject.
// Used from one thread (the user-interface thread) only.
class CBluetoothListThread
{
public:
    CBluetoothListThread() = default;
    ~CBluetoothListThread();
    CBluetoothListThread(const CBluetoothListThread &) = delete;
    CBluetoothListThread &operator=(const CBluetoothListThread &) = delete;

    // Starts the search; returns false when a search was already started by this object.
    bool start(QObject *receiver, const BluetoothListEnvironment &env = {});
    // Ends the inquiry early and waits for the thread. The thread may still post its list.
    void stop();
    // Waits for the thread to end by itself.
    void join();

private:
    CStopToken m_stopToken;
    std::thread m_thread;
    bool m_started = false;
};

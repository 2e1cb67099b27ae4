#pragma once

#include "discovery/BluetoothList.h"
#include "discovery/BluezClient.h"
#include "platform/ComPorts.h"

#include "platform/WorkQueue.h"

#include <QEvent>
#include <QList>
#include <QString>

#include <functional>

class QObject;

// COM numbers of the paired devices reached through BlueZ's serial profile, which have no
// rfcomm binding and so no node of the fixed scheme: COM129 to COM255, one per device
// address, recorded in the settings so that a stored port reopens the same reader. A device's
// first number depends on its address alone: the search starts at a place derived from the
// address and takes the first number from there that no other address holds. So neither the
// other paired devices nor the order they are seen in change it; of two addresses that start
// at the same place, the one seen first keeps it. A port-map link of the same number wins, as
// it does over the fixed scheme.
inline constexpr int FIRST_BLUETOOTH_PORT = 129;
inline constexpr int LAST_BLUETOOTH_PORT = LAST_COM_PORT;

// Where the numbers are recorded: `load` gives the address (colon form) recorded for COM<n>,
// or an empty string; `store` records one.
struct BluetoothPortBook
{
    std::function<QString(int number)> load;
    std::function<void(int number, const QString &address)> store;
};

// The device's COM number: the one recorded for it, else a new one, recorded now. 0 when
// every number of the range is held by another address.
int BluetoothPortNumber(const BluetoothAddress &address, const BluetoothPortBook &book);
// The address recorded for COM<number>; false when there is none.
bool BluetoothPortAddress(int number, const BluetoothPortBook &book, BluetoothAddress &address);

// The port picker's entry for a device: "<name> <address> (COM<n>)", without a device path
// (there is no node: BlueZ connects it when it is opened).
ComPortDevice BluetoothSerialPort(int number, const BluetoothDeviceRecord &device);

// Carries what one query found to the user-interface thread (see CBluetoothSerialQuery).
class CBluetoothSerialEvent : public QEvent
{
public:
    CBluetoothSerialEvent(const QList<BluetoothDeviceRecord> &devices, bool answered);
    static QEvent::Type eventType();   // registered once per process

    // The paired devices that offer the serial profile and have no rfcomm binding.
    const QList<BluetoothDeviceRecord> &devices() const { return m_devices; }
    bool answered() const { return m_answered; }   // false: BlueZ could not be asked

private:
    QList<BluetoothDeviceRecord> m_devices;
    bool m_answered;
};

// The paired devices of `env.bluez` that offer the serial profile and have no rfcomm port
// bound under `env.ports`. Blocks for one D-Bus call.
bool ListUnboundSerialDevices(QList<BluetoothDeviceRecord> &devices, const BluetoothListEnvironment &env);

// Asks BlueZ for those devices on a work queue of its own and sends the answer to the
// receiver in a CBluetoothSerialEvent, on the owner's thread; no inquiry, so it answers
// within a D-Bus call's time-out. One query at a time. Used from the owner's thread only;
// the destructor waits for a query under way, whose answer is then dropped (the receiver
// must outlive this object).
class CBluetoothSerialQuery
{
public:
    CBluetoothSerialQuery() = default;
    ~CBluetoothSerialQuery();
    CBluetoothSerialQuery(const CBluetoothSerialQuery &) = delete;
    CBluetoothSerialQuery &operator=(const CBluetoothSerialQuery &) = delete;

    // False when a query is still under way (its answer is yet to come).
    bool start(QObject *receiver, const BluetoothListEnvironment &env);

private:
    bool m_running = false;   // from start until the answer is sent
    CWorkQueue m_queue;
};

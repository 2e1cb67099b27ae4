'''BlueZ's serial profile for python-dbusmock's bluez5 template (loaded with AddTemplate):
ConnectProfile hands the registered profile one end of a socket pair through NewConnection;
the test takes the other with TakeReaderSocket. FailConnections(name, message) makes it fail
(name "hang": never answer; "": succeed again).'''

import socket

import dbus
from dbusmock import mockobject
from dbusmock.templates import bluez5

BLUEZ_MOCK_IFACE = 'org.bluez.Mock'
PROFILE_MANAGER_IFACE = 'org.bluez.ProfileManager1'
PROFILE_IFACE = 'org.bluez.Profile1'
DEVICE_IFACE = 'org.bluez.Device1'
SERIAL_PORT_UUID = '00001101-0000-1000-8000-00805f9b34fb'

@dbus.service.method(PROFILE_MANAGER_IFACE, in_signature='osa{sv}', out_signature='', sender_keyword='sender')
def RegisterProfile(manager, path, uuid, _options, sender=None):
    manager.serial_profiles[str(uuid).lower()] = (str(sender), str(path))

@dbus.service.method(PROFILE_MANAGER_IFACE, in_signature='o', out_signature='')
def UnregisterProfile(manager, path):
    manager.serial_profiles = {u: p for u, p in manager.serial_profiles.items() if p[1] != str(path)}
    mockobject.objects['/'].unregistered += 1

@dbus.service.method(DEVICE_IFACE, in_signature='s', out_signature='', async_callbacks=('ok', 'fail'))
def ConnectProfile(device, uuid, ok, fail):
    mock = mockobject.objects['/']
    if mock.serial_failure:
        name, message = mock.serial_failure
        if name == 'hang':
            return  # a BlueZ that never answers
        fail(dbus.exceptions.DBusException(message, name=name))
        return
    profile = mockobject.objects['/org/bluez'].serial_profiles.get(str(uuid).lower())
    if profile is None:
        fail(dbus.exceptions.DBusException('Protocol not available', name='org.bluez.Error.NotAvailable'))
        return
    ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
    mock.reader_sockets.append(ours)
    proxy = device.connection.get_object(profile[0], profile[1], introspect=False)

    def handed_over():
        theirs.close()
        ok()

    def refused(error):
        theirs.close()
        fail(error)

    proxy.NewConnection(dbus.ObjectPath(device.path), dbus.types.UnixFd(theirs.fileno()),
                        dbus.Dictionary({}, signature='sv'), dbus_interface=PROFILE_IFACE,
                        reply_handler=handed_over, error_handler=refused)

@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='sss', out_signature='s')
def AddSerialDevice(mock, adapter, address, alias):
    path = bluez5.AddDevice(mock, adapter, address, alias)
    bluez5.PairDevice(mock, adapter, address, bluez5.MOCK_PHONE_CLASS)
    device = mockobject.objects[path]
    device.props[DEVICE_IFACE]['UUIDs'] = dbus.Array([SERIAL_PORT_UUID], signature='s', variant_level=1)
    device.methods[DEVICE_IFACE]['ConnectProfile'] = ('s', '', '', ConnectProfile)
    return path

@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='', out_signature='h')
def TakeReaderSocket(mock):
    if not mock.reader_sockets:
        raise dbus.exceptions.DBusException('no link handed over', name=BLUEZ_MOCK_IFACE + '.NoLink')
    ours = mock.reader_sockets.pop(0)
    fd = dbus.types.UnixFd(ours.fileno())
    ours.close()
    return fd

@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='ss', out_signature='')
def FailConnections(mock, name, message):
    mock.serial_failure = (str(name), str(message)) if name else None

@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='', out_signature='i')
def UnregisteredProfiles(mock):
    return mock.unregistered

def load(mock, _parameters):
    mock.reader_sockets = []
    mock.serial_failure = None
    mock.unregistered = 0
    manager = mockobject.objects['/org/bluez']
    manager.serial_profiles = {}
    manager.methods[PROFILE_MANAGER_IFACE]['RegisterProfile'] = ('osa{sv}', '', '', RegisterProfile)
    manager.methods[PROFILE_MANAGER_IFACE]['UnregisterProfile'] = ('o', '', '', UnregisterProfile)

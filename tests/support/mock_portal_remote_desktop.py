'''The desktop portal's remote-desktop interface, for the key sink's tests and benchmark.

Requests answer through their Response signal (sent before the method's reply, as a portal
may). Start grants the keyboard, or refuses (SetGrant), and hands out a restore token; a
later session given that token is granted without asking (Dialogs counts the asks). The
keysyms of NotifyKeyboardKeysym are kept for GetKeys. CloseSessionAfterKeys makes the
desktop close the session after that many keys: the session's Closed signal, and an error
for every later key.
'''

import dbus

from dbusmock import MOCK_IFACE

BUS_NAME = 'org.freedesktop.portal.Desktop'
MAIN_OBJ = '/org/freedesktop/portal/desktop'
MAIN_IFACE = 'org.freedesktop.portal.RemoteDesktop'
SYSTEM_BUS = False

REQUEST_IFACE = 'org.freedesktop.portal.Request'
SESSION_IFACE = 'org.freedesktop.portal.Session'


def load(mock, _parameters):
    mock.AddProperties(MAIN_IFACE, dbus.Dictionary({
        'AvailableDeviceTypes': dbus.UInt32(7),
        'version': dbus.UInt32(2),
    }, signature='sv'))
    mock.grant = True
    mock.dialogs = 0
    mock.tokens = set()
    mock.keys = []
    mock.open_sessions = set()
    mock.close_after = 0
    # Put on the object as a plain method, out of the mock's call log: a benchmark sends
    # hundreds of thousands of keys.
    method = dbus.service.method(MAIN_IFACE, in_signature='oa{sv}iu', out_signature='')(_notify_keyboard_keysym)
    setattr(mock.__class__, 'NotifyKeyboardKeysym', method)


def _sender_part(sender):
    return sender[1:].replace('.', '_')


def _respond(self, sender, options, code, results):
    path = '/org/freedesktop/portal/desktop/request/%s/%s' % (_sender_part(sender), options['handle_token'])
    self.EmitSignalDetailed(REQUEST_IFACE, 'Response', 'ua{sv}',
                            [dbus.UInt32(code), dbus.Dictionary(results, signature='sv')],
                            {'path': path, 'destination': sender})
    return dbus.ObjectPath(path)


@dbus.service.method(MAIN_IFACE, in_signature='a{sv}', out_signature='o', sender_keyword='sender')
def CreateSession(self, options, sender=None):
    path = '/org/freedesktop/portal/desktop/session/%s/%s' % (_sender_part(sender), options['session_handle_token'])
    self.open_sessions.add(path)
    self.selected = {}
    return _respond(self, sender, options, 0, {'session_handle': path})


@dbus.service.method(MAIN_IFACE, in_signature='oa{sv}', out_signature='o', sender_keyword='sender')
def SelectDevices(self, _session, options, sender=None):
    self.selected = dict(options)
    return _respond(self, sender, options, 0, {})


@dbus.service.method(MAIN_IFACE, in_signature='osa{sv}', out_signature='o', sender_keyword='sender')
def Start(self, _session, _parent, options, sender=None):
    restored = str(self.selected.get('restore_token', '')) in self.tokens
    if not restored:
        self.dialogs += 1
        if not self.grant:
            return _respond(self, sender, options, 1, {})
    token = 'restore-%d' % (len(self.tokens) + 1)
    self.tokens.add(token)
    return _respond(self, sender, options, 0, {'devices': dbus.UInt32(int(self.selected.get('types', 0))),
                                                'restore_token': token})


def _close(self, session):
    self.open_sessions.discard(session)
    self.EmitSignalDetailed(SESSION_IFACE, 'Closed', 'a{sv}', [dbus.Dictionary({}, signature='sv')],
                            {'path': session})


def _notify_keyboard_keysym(self, session, _options, keysym, state):
    if session not in self.open_sessions:
        raise dbus.exceptions.DBusException('Invalid session', name='org.freedesktop.portal.Error.NotFound')
    self.keys.append((int(keysym), int(state)))
    if self.close_after and len(self.keys) >= self.close_after:
        self.close_after = 0
        _close(self, session)


@dbus.service.method(MOCK_IFACE, in_signature='b', out_signature='')
def SetGrant(self, grant):
    self.grant = bool(grant)


@dbus.service.method(MOCK_IFACE, in_signature='u', out_signature='')
def CloseSessionAfterKeys(self, count):
    self.close_after = int(count)


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='a(iu)')
def GetKeys(self):
    return dbus.Array([(dbus.Int32(k), dbus.UInt32(s)) for k, s in self.keys], signature='(iu)')


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='u')
def KeyCount(self):
    return dbus.UInt32(len(self.keys))


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='u')
def Dialogs(self):
    return dbus.UInt32(self.dialogs)


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='')
def ClearKeys(self):
    self.keys = []

'''The desktop portal's remote desktop for the portal key sink's tests and benchmark.

A request answers with its Response signal before its reply, as a portal may. Start grants
the keyboard or refuses (Configure) and hands out a restore token; a session given a token
handed out before is granted without asking (Dialogs counts the asks). Keys are kept for
Keys ("v61 ^61": press and release of keysym 0x61). Configure empties them, sets the grant,
after how many keys the session fails (0: never) and how: "closed", the desktop ends it (its
Closed signal, then an error for every key); "error", every key errs from then on, with no
signal; "silent", that key is answered only after the caller's time limit. CloseSessions ends
every session at once, as the desktop's "stop sharing" does.
'''

import time

import dbus

from dbusmock import MOCK_IFACE

BUS_NAME = 'org.freedesktop.portal.Desktop'
MAIN_OBJ = '/org/freedesktop/portal/desktop'
MAIN_IFACE = 'org.freedesktop.portal.RemoteDesktop'
SYSTEM_BUS = False


def load(mock, _parameters):
    mock.AddProperties(MAIN_IFACE, dbus.Dictionary({'AvailableDeviceTypes': dbus.UInt32(7),
                                                    'version': dbus.UInt32(2)}, signature='sv'))
    mock.grant, mock.dialogs, mock.tokens, mock.keys, mock.sessions, mock.close_after = True, 0, set(), [], set(), 0
    mock.fault = 'closed'
    # A plain method, outside the mock's call log: a benchmark sends hundreds of thousands.
    setattr(mock.__class__, 'NotifyKeyboardKeysym',
            dbus.service.method(MAIN_IFACE, in_signature='oa{sv}iu', out_signature='')(_keysym))


def _respond(self, sender, options, code, results):
    path = MAIN_OBJ + '/request/%s/%s' % (sender[1:].replace('.', '_'), options['handle_token'])
    self.EmitSignalDetailed('org.freedesktop.portal.Request', 'Response', 'ua{sv}',
                            [dbus.UInt32(code), dbus.Dictionary(results, signature='sv')], {'path': path})
    return dbus.ObjectPath(path)


@dbus.service.method(MAIN_IFACE, in_signature='a{sv}', out_signature='o', sender_keyword='sender')
def CreateSession(self, options, sender=None):
    path = MAIN_OBJ + '/session/%s/%s' % (sender[1:].replace('.', '_'), options['session_handle_token'])
    self.sessions.add(path)
    return _respond(self, sender, options, 0, {'session_handle': path})


@dbus.service.method(MAIN_IFACE, in_signature='oa{sv}', out_signature='o', sender_keyword='sender')
def SelectDevices(self, _session, options, sender=None):
    self.selected = dict(options)
    return _respond(self, sender, options, 0, {})


@dbus.service.method(MAIN_IFACE, in_signature='osa{sv}', out_signature='o', sender_keyword='sender')
def Start(self, _session, _parent, options, sender=None):
    if str(self.selected.get('restore_token', '')) not in self.tokens:
        self.dialogs += 1
        if not self.grant:
            return _respond(self, sender, options, 1, {})
    self.tokens.add('restore-%d' % (len(self.tokens) + 1))
    return _respond(self, sender, options, 0, {'devices': dbus.UInt32(self.selected.get('types', 0)),
                                                'restore_token': 'restore-%d' % len(self.tokens)})


def _keysym(self, session, _options, keysym, state):
    if session not in self.sessions:
        raise dbus.exceptions.DBusException('no such session', name='org.freedesktop.portal.Error.NotFound')
    self.keys.append(('v' if state else '^') + '%x' % keysym)
    if self.close_after and len(self.keys) >= self.close_after:
        self.close_after = 0
        self.sessions.discard(session)
        if self.fault == 'closed':
            _closed(self, session)
        elif self.fault == 'silent':
            time.sleep(6)   # past the sink's limit of 5 s for a key


def _closed(self, session):
    self.EmitSignalDetailed('org.freedesktop.portal.Session', 'Closed', 'a{sv}',
                            [dbus.Dictionary({}, signature='sv')], {'path': session})


@dbus.service.method(MOCK_IFACE, in_signature='bus', out_signature='')
def Configure(self, grant, close_after, fault):
    self.grant, self.close_after, self.fault, self.keys = bool(grant), int(close_after), str(fault), []


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='')
def CloseSessions(self):
    for session in list(self.sessions):
        _closed(self, session)
    self.sessions.clear()


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='s')
def Keys(self):
    return ' '.join(self.keys)


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='u')
def Dialogs(self):
    return self.dialogs


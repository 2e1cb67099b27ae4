'''Gives the headless desktop its keyboard before a test types: one tap of Shift, which types
nothing. gnome: through mutter's own remote desktop (headless mutter has no keyboard until
a first key, and no client receives that key). kde: through the desktop portal (its backend
learns the keymap at the first key; until then it types as on a US keyboard). The session
stays open until this process is ended. Prints "ready".'''
import signal
import sys
import time

import dbus
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

SHIFT = 0xffe1
DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()


def mutter_session():
    service = 'org.gnome.Mutter.RemoteDesktop'
    remote = dbus.Interface(bus.get_object(service, '/org/gnome/Mutter/RemoteDesktop'), service)
    session = dbus.Interface(bus.get_object(service, remote.CreateSession()), service + '.Session')
    session.Start()
    return lambda keysym, state: session.NotifyKeyboardKeysym(dbus.UInt32(keysym), state)


def portal_session():
    portal = bus.get_object('org.freedesktop.portal.Desktop', '/org/freedesktop/portal/desktop')
    remote = dbus.Interface(portal, 'org.freedesktop.portal.RemoteDesktop')
    sender = bus.get_unique_name()[1:].replace('.', '_')
    loop = GLib.MainLoop()

    def request(method, *args, token, **options):
        path = '/org/freedesktop/portal/desktop/request/%s/%s' % (sender, token)
        answer = {}

        def on_response(code, results):
            answer.update(code=int(code), results=results)
            loop.quit()
        bus.add_signal_receiver(on_response, 'Response', 'org.freedesktop.portal.Request', None, path)
        method(*args, dbus.Dictionary(dict(options, handle_token=token), signature='sv'))
        GLib.timeout_add_seconds(30, loop.quit)
        loop.run()
        if answer.get('code') != 0:
            sys.exit('primer: %s answered %r' % (token, answer))
        return answer['results']

    path = request(remote.CreateSession, token='primer1', session_handle_token='primer')['session_handle']
    handle = dbus.ObjectPath(path)
    request(remote.SelectDevices, handle, token='primer2', types=dbus.UInt32(1))
    request(remote.Start, handle, '', token='primer3')
    return lambda keysym, state: remote.NotifyKeyboardKeysym(handle, dbus.Dictionary({}, signature='sv'),
                                                              keysym, dbus.UInt32(state))


key = mutter_session() if sys.argv[1] == 'gnome' else portal_session()
for state in (True, False):
    key(SHIFT, state)
    time.sleep(0.1)
time.sleep(0.2)
print('ready', flush=True)
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
signal.pause()

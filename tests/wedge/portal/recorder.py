'''The focused application of the wedge's desktop tests: a GTK 3 window that appends each
character it receives to the file given (flushed at once), Enter as a line feed. Keys that
are no character (Shift alone) add nothing. Prints "focused" and "unfocused" as it gets and
loses the focus.'''
import sys

import gi
gi.require_version('Gtk', '3.0')
gi.require_version('Gdk', '3.0')
from gi.repository import Gdk, Gtk  # noqa: E402

out = open(sys.argv[1], 'a', encoding='utf-8')
ENTER = (Gdk.KEY_Return, Gdk.KEY_KP_Enter)


def on_key(_widget, event):
    code = Gdk.keyval_to_unicode(event.keyval)
    text = '\n' if event.keyval in ENTER else (chr(code) if code else '')
    if text:
        out.write(text)
        out.flush()
    return True


def on_focus(*_args):
    print('focused', flush=True)


def on_unfocus(*_args):
    print('unfocused', flush=True)


window = Gtk.Window(title='wedge-recorder')
window.set_default_size(400, 200)
window.connect('key-press-event', on_key)
window.connect('focus-in-event', on_focus)
window.connect('focus-out-event', on_unfocus)
window.connect('destroy', Gtk.main_quit)
window.show_all()
Gtk.main()

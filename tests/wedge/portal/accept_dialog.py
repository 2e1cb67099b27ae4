'''Answers the GNOME portal's "Remote desktop" permission dialog over AT-SPI, as an operator
would: "accept" ticks "Allow remote interaction" (Share stays insensitive until then) and
clicks Share; "deny" clicks Cancel. Answers every such dialog until it is ended, and says
when each has gone.'''
import signal
import sys
import time
import warnings

warnings.filterwarnings('ignore', category=DeprecationWarning)
import gi  # noqa: E402
gi.require_version('Atspi', '2.0')
from gi.repository import Atspi  # noqa: E402

signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
DENY = sys.argv[1:] == ['deny']


def walk(node):
    yield node
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        if child is not None:
            yield from walk(child)


def dialogs():
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        application = desktop.get_child_at_index(i)
        if application is None or application.get_name() != 'xdg-desktop-portal-gnome':
            continue
        for j in range(application.get_child_count()):
            window = application.get_child_at_index(j)
            if window is not None and window.get_name() == 'Remote desktop':
                yield window


def act(node, name):
    for i in range(node.get_n_actions()):
        if node.get_action_name(i) == name:
            return node.do_action(i)
    raise RuntimeError('no action %r on %r' % (name, node.get_name()))


def buttons(dialog, label):
    return [n for n in walk(dialog) if n.get_role() == Atspi.Role.PUSH_BUTTON and label in (n.get_name() or '')]


def answer(dialog):
    if DENY:
        cancel = buttons(dialog, 'Cancel')
        if cancel:
            act(cancel[0], 'click')
        return bool(cancel)
    share = buttons(dialog, 'Share')
    if not share:
        return False
    for box in walk(dialog):
        if (box.get_role() == Atspi.Role.CHECK_BOX and box.get_name() == 'Allow remote interaction'
                and not box.get_state_set().contains(Atspi.StateType.CHECKED)):
            act(box, 'toggle')
    for _ in range(50):
        if share[0].get_state_set().contains(Atspi.StateType.SENSITIVE):
            break
        time.sleep(0.1)
    act(share[0], 'click')
    return True


while True:
    try:
        for found in dialogs():
            if answer(found):
                print('answered a dialog: %s' % ('deny' if DENY else 'accept'), flush=True)
                while any(dialogs()):
                    time.sleep(0.1)
                print('the dialog is gone', flush=True)
    except Exception as error:  # the dialog went while it was walked: look again
        print('looking again after %s' % error, file=sys.stderr, flush=True)
    time.sleep(0.1)

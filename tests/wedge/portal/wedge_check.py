#!/usr/bin/env python3
'''The keyboard wedge against a real desktop (run inside desktop.sh): the simulated reader
reports tags, a front end types them through the desktop portal, and the recording window's
text must be exactly the tags, each ended by Enter, in order.

  wedge_check.py BINARY_DIR cli|window hex|ascii [--layout L]
  wedge_check.py BINARY_DIR cli FAULT     FAULT: deny | compositor | portal | no-portal
                                          (no-portal needs no desktop)

The faults check that the command line's wedge stops loudly: exit status 1 and a line on
standard error that names the cause and how many tags were not typed. Exit status: 0 pass,
1 fail, 3 the compositor dropped the recording window (desktop.sh tries once more), 77 a
fault this machine cannot stage.'''
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

TAGS = 50
WAIT = 60   # seconds for the portal's dialog and the typing of all tags

# Hex mode types the line as it stands; 24 hex digits as tags have them, both cases.
HEX_TAGS = ['E2%04X%018X' % (i * 7919 % 0x10000, 0x3000A0B1C2D3E4F5A6 + i * 0x1F2E3D) for i in range(TAGS - 1)]
HEX_TAGS.append('e280116060000209ab12cdef')
# ASCII mode types the characters the pairs decode to: every printable one, letters, digits
# and each punctuation mark, a few to a tag.
PRINTABLE = ''.join(chr(c) for c in range(0x21, 0x7f))
# KWin's portal backend (5.27) looks a character up in the keymap by its keysym and takes the
# first key it finds: on a French layout "$" comes out as "'", "<" as "z" and ">" as "x".
KDE_FRENCH_LIMITS = '$<>'


def ascii_texts(leave_out):
    chars = [c for c in PRINTABLE if c not in leave_out]
    return [''.join(chars[(i * 5 + k) % len(chars)] for k in range(6 + i % 5)) for i in range(TAGS)]


def fail(message):
    print('wedge_check: FAIL: ' + message, flush=True)
    sys.exit(1)


class Reader:
    '''The simulated reader, one multi-mode inventory of all tags per trigger pull.'''

    def __init__(self, binary_dir, env, epcs, folder):
        listing = os.path.join(folder, 'epcs.txt')
        with open(listing, 'w') as out:
            out.write('\n'.join(epcs) + '\n')
        self.process = subprocess.Popen([binary_dir + '/tools/reader-sim/reader-sim', '--tags', str(len(epcs)),
                                         '--epc-list', listing], env=env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, text=True)
        ready = self.process.stdout.readline().split()
        if not ready or not ready[0].startswith('COM'):
            fail('the simulated reader did not start')
        self.number = ready[0][3:]

    def pull_trigger(self):
        self.process.send_signal(signal.SIGUSR1)
        time.sleep(0.1)
        self.process.send_signal(signal.SIGUSR2)

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


class Errors:
    '''Standard error of a front end (or another output of a process), read as it comes.'''

    def __init__(self, process, stream=None):
        self.process, self.stream, self.text = process, stream or process.stderr, ''
        os.set_blocking(self.stream.fileno(), False)

    def read(self):
        try:
            while True:
                chunk = os.read(self.stream.fileno(), 65536)
                if not chunk:
                    break
                self.text += chunk.decode('utf-8', 'replace')
        except BlockingIOError:
            pass
        return self.text

    def wait_for(self, pattern, seconds=WAIT):
        deadline = time.time() + seconds
        while time.time() < deadline:
            if re.search(pattern, self.read()) or self.process.poll() is not None:
                break
            time.sleep(0.05)
        return re.search(pattern, self.read())


RECORDING = [os.environ.get('DESKTOP_RECORDING', '')]   # where the focused window writes


def recording():
    with open(RECORDING[0], 'rb') as f:
        return f.read()


def wait_for_text(expected):
    '''Until the recording is as long as expected, or stops growing for ten seconds.'''
    deadline, last, last_change = time.time() + WAIT, None, time.time()
    while time.time() < deadline:
        text = recording()
        if len(text) >= len(expected):
            time.sleep(0.3)   # anything more would be a fault too
            return recording()
        if text != last:
            last, last_change = text, time.time()
        elif time.time() - last_change > 10 and text:
            break
        time.sleep(0.05)
    return recording()


def alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False


def compare(expected, received, recorder_alive):
    if received == expected:
        return
    if not recorder_alive:
        # Not the tool's fault: the compositor dropped the recording window, too slow to read
        # its events on a loaded machine. desktop.sh runs the check once more.
        print('wedge_check: the recording window was dropped after %d of %d bytes' % (len(received), len(expected)))
        sys.exit(3)
    at = next((i for i, (a, b) in enumerate(zip(expected, received)) if a != b), min(len(expected), len(received)))
    fail('the desktop received other text: %d bytes expected, %d received; first difference at byte %d:\n'
         '  expected ...%r\n  received ...%r' % (len(expected), len(received), at,
                                                 expected[max(0, at - 20):at + 40], received[max(0, at - 20):at + 40]))


def environment(folder):
    env = dict(os.environ)
    env.update(XDG_CONFIG_HOME=folder + '/config', XDG_STATE_HOME=folder + '/state',
               DBUS_SYSTEM_BUS_ADDRESS='unix:path=' + folder + '/no-bus')
    env.pop('DISPLAY', None)
    return env


def start_cli(binary_dir, env, reader, ascii_mode):
    args = [binary_dir + '/cli/rfid-lorix-cli', 'wedge', '--port', reader.number, '--multi']
    if ascii_mode:
        args.append('--ascii')
    return subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)


def start_window(binary_dir, env, reader, ascii_mode, folder):
    # The window as an operator left it: Key Emulator Mode ticked, multi mode, the mode's box.
    settings = env['XDG_CONFIG_HOME'] + '/Local AppWizard-Generated Applications'
    os.makedirs(settings, exist_ok=True)
    with open(settings + '/RFID_Lorix.ini', 'w') as out:
        out.write('[Config]\nEnableWedge=1\nReadMode=1\nEnableASCII=%d\n' % ascii_mode)
    # A window of the desktop: the tool never types while its own window is active, and an
    # offscreen window always is. The operator then moves to the application that is to
    # receive the tags: a recording window opened after the tool's takes the focus.
    env = dict(env, QT_QPA_PLATFORM='wayland')
    window = subprocess.Popen([binary_dir + '/app/RFID_Lorix', '--port', reader.number], env=env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    time.sleep(2)
    # GNOME asks in a dialog of its own, which gives the focus back to the tool when it
    # goes: the operator answers first, then moves on.
    answers = os.path.join(os.environ.get('DESKTOP_LOGS', ''), 'dialog.log')
    if os.environ.get('XDG_CURRENT_DESKTOP') == 'GNOME':
        deadline = time.time() + WAIT
        while time.time() < deadline and 'gone' not in open(answers).read():
            time.sleep(0.1)
        time.sleep(1)
    RECORDING[0] = folder + '/recording.txt'
    open(RECORDING[0], 'w').close()
    # The tool's window may show late, under load, and take the focus back: the recording
    # window must keep the focus for a while, or another one is opened.
    for _ in range(5):
        recorder = subprocess.Popen([sys.executable, os.path.dirname(os.path.abspath(__file__)) + '/recorder.py',
                                     RECORDING[0]], stdout=subprocess.PIPE)
        focus = Errors(recorder, recorder.stdout)
        if focus.wait_for('focused', 30) and not focus.wait_for('unfocused', 2):
            return window, recorder
        recorder.terminate()
        recorder.wait(10)
    fail('no recording window kept the focus')


def typed_exactly(binary_dir, front, mode, layout):
    ascii_mode = mode == 'ascii'
    kde_french = os.environ.get('XDG_CURRENT_DESKTOP') == 'KDE' and layout == 'fr'
    texts = ascii_texts(KDE_FRENCH_LIMITS if kde_french else '') if ascii_mode else HEX_TAGS
    epcs = [t.encode('ascii').hex().upper() for t in texts] if ascii_mode else texts
    expected = ''.join(t + '\n' for t in texts).encode('ascii')
    with tempfile.TemporaryDirectory() as folder:
        env = environment(folder)
        reader = Reader(binary_dir, env, epcs, folder)
        recorder = None
        if front == 'cli':
            process = start_cli(binary_dir, env, reader, ascii_mode)
        else:
            process, recorder = start_window(binary_dir, env, reader, ascii_mode, folder)
        errors = Errors(process)
        try:
            if front == 'cli' and not errors.wait_for(r'types through the desktop portal'):
                fail('the wedge chose no portal:\n' + errors.read())
            reader.pull_trigger()
            received = wait_for_text(expected)
            if process.poll() is not None:
                fail('%s ended with status %s:\n%s' % (front, process.returncode, errors.read()))
            compare(expected, received,
                    recorder.poll() is None if recorder else alive(int(os.environ['DESKTOP_RECORDER_PID'])))
        finally:
            process.terminate()
            status = process.wait(10)
            reader.stop()
            if recorder:
                recorder.terminate()
                recorder.wait(10)
        if status != 0:
            fail('%s ended with status %d after SIGTERM:\n%s' % (front, status, errors.read()))
    print('wedge_check: PASS: %s %s, %d tags, %d bytes exact' % (front, mode, len(texts), len(expected)))


def stops_loudly(binary_dir, fault):
    with tempfile.TemporaryDirectory() as folder:
        env = environment(folder)
        if fault == 'no-portal':
            if os.access('/dev/uinput', os.W_OK):
                print('wedge_check: SKIP: /dev/uinput is writable here, so the wedge types without a portal')
                sys.exit(77)
            # A Wayland session whose bus has no portal (nor anything else).
            env.update(DBUS_SESSION_BUS_ADDRESS='unix:path=' + folder + '/no-bus', XDG_SESSION_TYPE='wayland',
                       WAYLAND_DISPLAY='wayland-none')
        reader = Reader(binary_dir, env, HEX_TAGS[:5], folder)
        process = start_cli(binary_dir, env, reader, False)
        errors = Errors(process)
        try:
            if fault in ('compositor', 'portal'):
                if not errors.wait_for(r'types through the desktop portal'):
                    fail('the wedge chose no portal:\n' + errors.read())
                reader.pull_trigger()
                typed = wait_for_text(''.join(t + '\n' for t in HEX_TAGS[:5]).encode())
                print('wedge_check: typed %d bytes before the fault' % len(typed), flush=True)
                os.kill(int(os.environ['DESKTOP_COMPOSITOR_PID' if fault == 'compositor' else 'DESKTOP_PORTAL_PID']),
                        signal.SIGKILL)
                reader.pull_trigger()
            elif fault == 'deny':
                reader.pull_trigger()
            cause = {'deny': r'the desktop refused the permission to type',
                     'compositor': r'compositor is gone|portal backend .* left the session bus',
                     'portal': r'the desktop portal did not take a key',
                     'no-portal': r'nothing can type here'}[fault]
            line = errors.wait_for(r'error: the wedge stopped typing: .*(%s).*; \d+ tags? not typed\. '
                                   r'rfid-lorix-cli wedge exits with status 1\.' % cause, WAIT)
            status = process.wait(WAIT)
        finally:
            if process.poll() is None:
                process.kill()
            reader.stop()
        if status != 1 or not line:
            fail('%s: status %d (1 expected); standard error:\n%s' % (fault, status, errors.read()))
    print('wedge_check: PASS: %s: status 1, %r' % (fault, line.group(0)))


def main():
    args = sys.argv[1:]
    layout = ''
    if '--layout' in args:
        at = args.index('--layout')
        layout = args[at + 1]
        del args[at:at + 2]
    binary_dir, front, what = args
    if what in ('hex', 'ascii'):
        typed_exactly(binary_dir, front, what, layout)
    else:
        stops_loudly(binary_dir, what)


main()

#!/usr/bin/env bash
# Runs the port, settings, link, engine, key sink, end-to-end, command-line and broker tests of a built tree once more as an ordinary user,
# which a root run cannot stand for: root opens a terminal another program holds in
# exclusive mode, writes files it was not given and enters every folder. Needs root (it
# drops to the user with setpriv); scripts/test.sh calls it when it runs as root.
#   scripts/test-unprivileged.sh [ctest args...]    (the build folder is $BUILD_DIR or build)
# The tree may lie below a folder the user cannot enter (/root is 0700), so the tests run
# from a copy in a world-readable temporary folder: the test programs, the shipped files
# they read and a test file with the copy's paths. The copy is removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
build_dir=$(cd "${BUILD_DIR:-build}" && pwd)
labels='^(platform|settings|link|wedge|engine|e2e|cli|publish)$'

if [[ $(id -u) -ne 0 ]]; then
  echo "test-unprivileged.sh: needs root to switch users; as an ordinary user run ctest itself" >&2
  exit 2
fi

# A user of its own, created once and kept: an account like an operator's (D-Bus, for one,
# refuses a uid without a passwd entry), in no group but its own, used by nothing else.
user=${RFID_TEST_USER:-rfid-test}
if ! getent passwd "$user" >/dev/null; then
  # A run beside this one may be creating it too: only its absence afterwards is a failure.
  useradd --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin --user-group \
    --comment "RFID_Lorix tests" "$user" 2>/dev/null || true
  getent passwd "$user" >/dev/null || { echo "test-unprivileged.sh: cannot create user $user" >&2; exit 2; }
fi
uid=$(id -u "$user")
gid=$(id -g "$user")

stage=$(mktemp -d /tmp/rfid-unprivileged.XXXXXX)
trap 'rm -rf "$stage"' EXIT
# X servers started by a user create this folder as theirs when it is missing, which root's
# later servers then refuse: make it as the system would.
if [[ ! -d /tmp/.X11-unix ]]; then
  mkdir -m 1777 /tmp/.X11-unix
fi

ctest --test-dir "$build_dir" -N -L "$labels" --show-only=json-v1 >"$stage/tests.json"
python3 - "$build_dir" "$source_dir" "$stage" <<'EOF'
# Writes $stage/build/CTestTestfile.cmake from ctest's listing, every path of the tree
# moved into the copy, and copies what the tests reach there.
import json, os, shutil, sys

build, source, stage = sys.argv[1:4]
moves = sorted([(build, stage + '/build'), (source, stage + '/src')], key=lambda m: -len(m[0]))

def moved(value):
    if not isinstance(value, str):
        return {True: '1', False: '0'}.get(value, str(value))
    for old, new in moves:
        if value == old or value.startswith(old + '/'):
            return new + value[len(old):]
    return value

def quoted(text):
    return '[==[' + text + ']==]'

shutil.copytree(source + '/res', stage + '/src/res')
# The fuzz targets' corpora, which their replay tests read.
shutil.copytree(source + '/fuzz', stage + '/src/fuzz')
# The mock desktop portal the portal key sink's test starts.
os.makedirs(stage + '/src/tests/support')
shutil.copy2(source + '/tests/support/mock_portal_remote_desktop.py', stage + '/src/tests/support/')
# The real desktops the wedge's tests start, with their dialog clicker and recorder.
shutil.copytree(source + '/tests/wedge/portal', stage + '/src/tests/wedge/portal')
# The tool itself with its catalogue, and the simulated reader: tests start them as programs.
for program in ('app/RFID_Lorix', 'app/Ondo214.xml', 'tools/reader-sim/reader-sim', 'cli/rfid-lorix-cli'):
    if os.path.isfile(build + '/' + program):
        os.makedirs(os.path.dirname(stage + '/build/' + program), exist_ok=True)
        shutil.copy2(build + '/' + program, stage + '/build/' + program)
lines = []
with open(stage + '/tests.json') as listing:
    tests = json.load(listing)['tests']
for test in tests:
    command = test.get('command') or []
    if not command:
        continue   # not built in this tree: ctest lists it without a program
    if command and os.path.isfile(command[0]):
        os.makedirs(os.path.dirname(moved(command[0])), exist_ok=True)
        shutil.copy2(command[0], moved(command[0]))
    lines.append('add_test(%s %s)' % (quoted(test['name']), ' '.join(quoted(moved(c)) for c in command)))
    properties = []
    for prop in test.get('properties', []):
        values = prop['value'] if isinstance(prop['value'], list) else [prop['value']]
        values = [moved(v) for v in values]
        if prop['name'] == 'ENVIRONMENT':
            values = [v.split('=', 1)[0] + '=' + moved(v.split('=', 1)[1]) if '=' in v else v for v in values]
            for v in values:
                name, _, path = v.partition('=')
                if name.startswith('XDG_') and path.startswith(stage):
                    os.makedirs(path, mode=0o700, exist_ok=True)
        if prop['name'] == 'WORKING_DIRECTORY':
            os.makedirs(values[0], exist_ok=True)
        properties.append(prop['name'] + ' ' + quoted(';'.join(values)))
    if properties:
        lines.append('set_tests_properties(%s PROPERTIES %s)' % (quoted(test['name']), ' '.join(properties)))
os.makedirs(stage + '/build', exist_ok=True)
with open(stage + '/build/CTestTestfile.cmake', 'w') as out:
    out.write('\n'.join(lines) + '\n')
EOF

mkdir -p "$stage/home" "$stage/tmp" "$stage/runtime"
chmod 0755 "$stage"
chmod -R a+rX "$stage/src" "$stage/build"
chown -R "$uid:$gid" "$stage"
chmod 0700 "$stage/runtime"

# A clean environment: nothing of root's session (display, bus, home) reaches the tests.
keep=(PATH="$PATH" HOME="$stage/home" USER="$user" LOGNAME="$user" TMPDIR="$stage/tmp"
      XDG_CONFIG_HOME="$stage/home/.config" XDG_CACHE_HOME="$stage/home/.cache"
      XDG_DATA_HOME="$stage/home/.local/share" XDG_RUNTIME_DIR="$stage/runtime")
for name in LANG LC_ALL LC_CTYPE TERM CI $(compgen -e | grep -E '^(RFID_|ASAN_|UBSAN_|TSAN_)' || true); do
  [[ -n ${!name+x} ]] && keep+=("$name=${!name}")
done

echo "test-unprivileged.sh: the port, settings, link, engine, key sink, end-to-end, command-line and broker tests again as $user (uid $uid)" >&2
cd "$stage/build"
setpriv --reuid="$uid" --regid="$gid" --clear-groups --inh-caps=-all \
  env -i "${keep[@]}" ctest --output-on-failure "$@"

#!/usr/bin/env bash
# A real headless Wayland desktop for the keyboard wedge's tests: a compositor, the desktop
# portal (xdg-desktop-portal) with the compositor's own portal backend, and a window that
# records every character it receives, all on a private session bus. Runs CMD inside it and
# ends everything afterwards.
#
#   desktop.sh --desktop gnome|kde [--layout fr] [--dialog accept|deny] [--logs DIR] -- CMD [ARGS...]
#   (a CMD ending in .py runs with the Python that has the desktop's bindings)
#
#   gnome  mutter --headless with xdg-desktop-portal-gnome. Its permission dialog shows at
#          every start of a session; accept_dialog.py answers it over AT-SPI (--dialog deny:
#          it refuses). Headless mutter has no keyboard until a first key, which no client
#          receives: primer.py taps Shift once beforehand, as a desktop with a physical
#          keyboard already has one. mutter ignores --layout.
#   kde    kwin_wayland --virtual with xdg-desktop-portal-kde, which shows no dialog to a
#          caller without an application id. Its portal backend learns the keymap at the
#          first key only, so primer.py taps Shift through the portal beforehand.
#
# CMD inherits DBUS_SESSION_BUS_ADDRESS, WAYLAND_DISPLAY, XDG_RUNTIME_DIR, XDG_SESSION_TYPE,
# XDG_CURRENT_DESKTOP, and: DESKTOP_RECORDING (the file the recording window appends each
# character to, Enter as a line feed), DESKTOP_RECORDER_PID, DESKTOP_COMPOSITOR_PID,
# DESKTOP_PORTAL_PID, and
# DESKTOP_LOGS (the desktop's logs; dialog.log gets a line for each dialog answered).
# A compositor drops a client that does not read its events in time, as the recording
# window may on a loaded machine: when CMD exits with 3 for that, the whole run is made once
# more on a fresh desktop.
# Exit status: CMD's; 77 when a package the desktop needs is missing (setup.sh installs
# them); 2 when the desktop did not come up within 30 s a step (the logs say why; a first
# run of a user builds its font and shader caches).
set -u
here=$(cd "$(dirname "$0")" && pwd)
py=${RFID_PYTHON3:-/usr/bin/python3}   # the system's: it has python3-gi and python3-dbus

if [ "${DESKTOP_INNER:-}" != 1 ]; then
  desktop=gnome layout= dialog=accept logs=
  while [ $# -gt 0 ]; do
    case "$1" in
      --desktop) desktop=$2; shift 2;;
      --layout) layout=$2; shift 2;;
      --dialog) dialog=$2; shift 2;;
      --logs) logs=$2; shift 2;;
      --) shift; break;;
      *) echo "desktop.sh: unknown option $1" >&2; exit 2;;
    esac
  done
  case "$desktop" in
    gnome) programs=mutter;;
    kde) programs=kwin_wayland;;
    *) echo "desktop.sh: --desktop gnome or kde" >&2; exit 2;;
  esac
  service=/usr/share/dbus-1/services/org.freedesktop.impl.portal.desktop.$desktop.service
  [ -f "$service" ] || { echo "desktop.sh: the $desktop portal backend is not installed (setup.sh installs it)" >&2; exit 77; }
  for p in $programs $(sed -n 's/^Exec=//p' "$service") /usr/libexec/xdg-desktop-portal dbus-run-session busctl "$py"; do
    command -v "$p" >/dev/null || { echo "desktop.sh: $p is not installed (setup.sh installs it)" >&2; exit 77; }
  done
  "$py" -c 'import dbus, gi; gi.require_version("Gtk", "3.0"); gi.require_version("Atspi", "2.0")' 2>/dev/null \
    || { echo "desktop.sh: $py lacks python3-dbus, GTK 3 or AT-SPI bindings (setup.sh installs them)" >&2; exit 77; }
  runtime=$(mktemp -d "${TMPDIR:-/tmp}/desktop-rt.XXXXXX")
  [ -n "$logs" ] || logs=$runtime/logs
  mkdir -p "$logs"
  export DESKTOP_INNER=1 DESKTOP_KIND=$desktop DESKTOP_LAYOUT=$layout DESKTOP_DIALOG=$dialog \
         DESKTOP_LOGS=$(cd "$logs" && pwd) DESKTOP_RUNTIME=$runtime
  # Everything started on the private bus ends with it. (The accessibility bus announces
  # itself on standard output.)
  for attempt in 1 2; do
    timeout --kill-after=10 600 dbus-run-session -- "$0" "$@" 2>"$logs/session.log" | grep -v '^SpiRegistry daemon'
    rc=${PIPESTATUS[0]}
    [ $rc -eq 3 ] || break
    echo "desktop.sh: the recording window was dropped by the compositor; once more" >&2
  done
  [ $rc -eq 0 ] || [ $rc -eq 77 ] || { echo "desktop.sh: logs of the desktop:" >&2; tail -n 20 "$logs"/*.log >&2; }
  # The document portal, started by the portal, may leave its file system mounted there.
  for unmount in fusermount3 fusermount; do
    command -v $unmount >/dev/null && $unmount -uz "$runtime/doc" 2>/dev/null
  done
  rm -rf "$runtime" 2>/dev/null
  exit $rc
fi

# ---- inside the private session bus ----
logs=$DESKTOP_LOGS
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[$i]}" 2>/dev/null; done
  wait 2>/dev/null
}
trap cleanup EXIT
die() { echo "desktop.sh: the desktop did not come up: $*" >&2; exit 2; }
wait_name() { for _ in $(seq 300); do busctl --user status "$1" >/dev/null 2>&1 && return 0; sleep 0.1; done; return 1; }
wait_socket() { for _ in $(seq 300); do [ -S "$XDG_RUNTIME_DIR/$1" ] && return 0; sleep 0.1; done; return 1; }

unset DISPLAY WAYLAND_DISPLAY
export XDG_RUNTIME_DIR=$DESKTOP_RUNTIME
chmod 0700 "$XDG_RUNTIME_DIR"
export XDG_SESSION_TYPE=wayland GDK_BACKEND=wayland QT_QPA_PLATFORM=wayland
if [ "$DESKTOP_KIND" = gnome ]; then
  export XDG_CURRENT_DESKTOP=GNOME
  mutter --headless --wayland --no-x11 --virtual-monitor 1280x720 --wayland-display=wl-test \
    >"$logs/compositor.log" 2>&1 & pids+=($!); export DESKTOP_COMPOSITOR_PID=$!
  wait_name org.gnome.Mutter.RemoteDesktop || die "mutter (see compositor.log)"
  backend=org.freedesktop.impl.portal.desktop.gnome
else
  export XDG_CURRENT_DESKTOP=KDE
  kwin=$(command -v kwin_wayland)
  if ! "$kwin" --version >/dev/null 2>&1; then
    # kwin_wayland carries a file capability (cap_sys_resource); where that capability is
    # not allowed (an ordinary user, a container) it cannot be started at all. A copy has
    # none; it must keep the name, which kwin's platform plugin checks.
    mkdir -p "$XDG_RUNTIME_DIR/bin" && cp "$kwin" "$XDG_RUNTIME_DIR/bin/kwin_wayland"
    kwin=$XDG_RUNTIME_DIR/bin/kwin_wayland
  fi
  kwin_env=()
  if [ -n "$DESKTOP_LAYOUT" ]; then
    mkdir -p "$XDG_RUNTIME_DIR/config"
    printf '[Layout]\nLayoutList=%s\nUse=true\n' "$DESKTOP_LAYOUT" >"$XDG_RUNTIME_DIR/config/kxkbrc"
    kwin_env=(env XDG_CONFIG_HOME="$XDG_RUNTIME_DIR/config" XKB_DEFAULT_LAYOUT="$DESKTOP_LAYOUT")
  fi
  "${kwin_env[@]}" "$kwin" --virtual --width 1280 --height 720 --socket wl-test --no-lockscreen \
    --no-global-shortcuts --no-kactivities >"$logs/compositor.log" 2>&1 & pids+=($!); export DESKTOP_COMPOSITOR_PID=$!
  backend=org.freedesktop.impl.portal.desktop.kde
fi
wait_socket wl-test || die "no Wayland socket (see compositor.log)"
export WAYLAND_DISPLAY=wl-test
dbus-update-activation-environment WAYLAND_DISPLAY XDG_CURRENT_DESKTOP XDG_SESSION_TYPE XDG_RUNTIME_DIR \
  GDK_BACKEND QT_QPA_PLATFORM

# The backend and the portal are started here rather than on demand, so that their logs and
# process ids are the test's.
backend_exec=$(sed -n 's/^Exec=//p' "/usr/share/dbus-1/services/$backend.service")
$backend_exec >"$logs/portal-backend.log" 2>&1 & pids+=($!)
wait_name $backend || die "$backend (see portal-backend.log)"
/usr/libexec/xdg-desktop-portal >"$logs/portal.log" 2>&1 & pids+=($!); export DESKTOP_PORTAL_PID=$!
wait_name org.freedesktop.portal.Desktop || die "xdg-desktop-portal (see portal.log)"

if [ "$DESKTOP_KIND" = gnome ]; then
  "$py" "$here/accept_dialog.py" "$DESKTOP_DIALOG" >"$logs/dialog.log" 2>&1 & pids+=($!)
fi
# The keyboard first: a window gets the focus only on a seat that has one.
"$py" "$here/primer.py" "$DESKTOP_KIND" >"$logs/primer.log" 2>&1 & pids+=($!)
for _ in $(seq 300); do grep -q ready "$logs/primer.log" && break; sleep 0.1; done
grep -q ready "$logs/primer.log" || die "no keyboard (see primer.log)"
export DESKTOP_RECORDING=$XDG_RUNTIME_DIR/recording.txt
: >"$DESKTOP_RECORDING"
"$py" "$here/recorder.py" "$DESKTOP_RECORDING" >"$logs/recorder.log" 2>&1 & pids+=($!); export DESKTOP_RECORDER_PID=$!
for _ in $(seq 300); do grep -q focused "$logs/recorder.log" && break; sleep 0.1; done
grep -q focused "$logs/recorder.log" || die "the recording window got no focus (see recorder.log)"

case "$1" in
  *.py) "$py" "$@";;
  *) "$@";;
esac

#!/usr/bin/env bash
# Runs the tool with the simulated reader on a private Xvfb display and writes a PNG of the
# screen: the port opened by the automatic connection (which asks the reader its power) and one
# trigger pull answered with an inventory.
# Usage: scripts/screenshot.sh [out.png]   (default: build/screenshot.png)
# DPI=144 runs the X server and the tool's fonts at that resolution (default 96); the screen
# grows with it.
# PALETTE=dark gives the private desktop a dark colour scheme, written where Qt's desktop
# integration reads the desktop's colours (a KDE colour file); the tool follows it as it
# follows any desktop's palette. Default: Qt's own light palette.
# FOCUS=tree selects "Firmware Version" in the command tree with the keyboard (the property
# grid then shows it) and leaves the focus in the tree; FOCUS=log does the same, then clicks
# into the log, so the tree and the grid show their selection without the focus. Needs xdotool.
# MONITOR=1 has the reader pull its trigger every 3 s, each inventory spread over 2 s, opens the
# tag monitor with Ctrl+T once the port is open, and writes the monitor window alone after
# 20 s of inventories, sorted with the newest tags first. Needs xdotool.
# SCREEN=1366x768 gives the X server that screen size (default 1280x1024, grown with DPI).
# WM=openbox runs that window manager on the display, so the window gets a frame as on a
# desktop (no window manager by default).
# EPC=sgtin (or sscc) has the reader serve GS1 EPCs of that scheme, which the monitor decodes.
# Uses its own settings folder, so the user's settings are not touched.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
out=${1:-$build/screenshot.png}
tool="./$build/app/RFID_Lorix"
sim="./$build/tools/reader-sim/reader-sim"
[[ -x "$tool" && -x "$sim" ]] || ./scripts/build.sh

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

export XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

case ${PALETTE:-light} in
  light) ;;
  dark)
    export XDG_CURRENT_DESKTOP=KDE KDE_SESSION_VERSION=5
    cat >"$XDG_CONFIG_HOME/kdeglobals" <<'COLOURS'
[Colors:Button]
BackgroundNormal=49,54,59
ForegroundNormal=239,240,241
[Colors:Selection]
BackgroundNormal=61,174,233
ForegroundNormal=252,252,252
[Colors:Tooltip]
BackgroundNormal=49,54,59
ForegroundNormal=239,240,241
[Colors:View]
BackgroundNormal=35,38,41
ForegroundNormal=239,240,241
ForegroundInactive=161,169,177
ForegroundLink=41,128,185
ForegroundVisited=127,140,141
[Colors:Window]
BackgroundNormal=49,54,59
ForegroundNormal=239,240,241
ForegroundInactive=161,169,177
COLOURS
    ;;
  *) echo "PALETTE is light or dark" >&2; exit 2 ;;
esac
case ${FOCUS:-} in
  ''|tree|log) ;;
  *) echo "FOCUS is tree or log" >&2; exit 2 ;;
esac
[[ -z ${FOCUS:-} ]] || command -v xdotool >/dev/null || { echo "FOCUS needs xdotool" >&2; exit 2; }
[[ -z ${MONITOR:-} ]] || command -v xdotool >/dev/null || { echo "MONITOR needs xdotool" >&2; exit 2; }
simargs=()
[[ -z ${MONITOR:-} ]] || simargs=(--events 3000 --tags 120 --rate 60)
[[ -z ${EPC:-} ]] || simargs+=(--epc "$EPC")

dpi=${DPI:-96}
display=:$((90 + RANDOM % 100))
screen=${SCREEN:-$((1280 * dpi / 96))x$((1024 * dpi / 96))}
[[ $screen =~ ^[0-9]+x[0-9]+$ ]] || { echo "SCREEN is WIDTHxHEIGHT" >&2; exit 2; }
[[ -z ${WM:-} ]] || command -v "$WM" >/dev/null || { echo "WM=$WM is not installed" >&2; exit 2; }
Xvfb "$display" -screen 0 "${screen}x24" -dpi "$dpi" -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
if [[ -n ${WM:-} ]]; then
  "$WM" >/dev/null 2>&1 &
  pids+=($!)
  sleep 1
fi

"$sim" "${simargs[@]}" </dev/null >"$work/sim.log" 2>&1 &
simpid=$!
pids+=($simpid)
for _ in $(seq 50); do grep -q '^COM' "$work/sim.log" && break; sleep 0.1; done
port=$(grep -m1 -o '^COM[0-9]*' "$work/sim.log" | cut -c4-)
[[ -n "$port" ]] || { echo "the simulated reader did not start" >&2; exit 1; }

# The tool picks the reader's port and connects by itself five seconds after start.
ini="$XDG_CONFIG_HOME/Local AppWizard-Generated Applications/RFID_Lorix.ini"
mkdir -p "$(dirname "$ini")"
printf '[Config]\nComPort1=%s\nAutoStart=1\nReadMode=1\n' "$port" >"$ini"

QT_FONT_DPI=$dpi QT_QPA_PLATFORM=xcb "$tool" >"$work/tool.log" 2>&1 &
pids+=($!)
sleep 7
kill -USR1 "$simpid"   # pull the trigger: the tool answers with an inventory
sleep 2
if [[ -n ${FOCUS:-} ]]; then
  # Window coordinates of the designed layout at 96 DPI, scaled with the fonts.
  at() { echo $(($1 * dpi / 96)) $(($2 * dpi / 96)); }
  win=$(xdotool search --sync --name '^RFID Lorix' | head -1)
  # An empty spot of the tree takes the focus; the keys open the root and its first group and
  # select that group's first command.
  xdotool mousemove --window "$win" $(at 190 440) click 1
  xdotool key --window "$win" Down Right Down Right Down
  [[ $FOCUS == tree ]] || xdotool mousemove --window "$win" $(at 700 800) click 1
  xdotool mousemove --window "$win" 0 0
  sleep 1
fi
shot=root
if [[ -n ${MONITOR:-} ]]; then
  win=$(xdotool search --sync --name '^RFID Lorix' | head -1)
  # No window manager: the focus is given by hand, and the keys go through XTEST to it.
  xdotool windowfocus --sync "$win"
  xdotool key ctrl+t
  shot=$(xdotool search --sync --name '^Tag Monitor$' | head -1)
  sleep 20
  # Two clicks on the "Last seen" header: the newest tags first.
  xdotool mousemove --window "$shot" $((675 * dpi / 96)) $((208 * dpi / 96)) click --repeat 2 --delay 700 1
  xdotool mousemove --window "$shot" 0 0
  sleep 1
fi
mkdir -p "$(dirname "$out")"
import -display "$display" -window "$shot" "$out"
echo "$out"

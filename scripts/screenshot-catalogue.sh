#!/usr/bin/env bash
# The catalogue screenshots: the main window with the shipped catalogue expanded, and with
# a command selected and a parameter being edited, on a private Xvfb display.
# Usage: scripts/screenshot-catalogue.sh [out-folder]   (default: docs/screenshots)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
out=${1:-docs/screenshots}
cmake --build "$build" --target catalogue_screenshot >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR" "$out"
chmod 700 "$XDG_RUNTIME_DIR"
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24" \
  "./$build/tests/e2e/catalogue_screenshot" res/Ondo214.xml \
  "$out/catalogue-expanded.png" "$out/catalogue-editing.png"
echo "$out/catalogue-expanded.png $out/catalogue-editing.png"

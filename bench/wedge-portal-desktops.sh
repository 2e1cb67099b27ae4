#!/usr/bin/env bash
# Characters per second through the real desktop portal of GNOME (mutter) and of KDE (KWin),
# headless, each checked byte for byte against what a recording window received; with the
# same emulator into a sink that only counts as the reference. Needs a built tree.
#   bench/wedge-portal-desktops.sh [benchmark args...]     (the build folder is $BUILD_DIR or build)
set -euo pipefail
cd "$(dirname "$0")/.."
bench=${BUILD_DIR:-build}/bench/bench_wedge_portal
[[ -x $bench ]] || { echo "wedge-portal-desktops.sh: build bench_wedge_portal first" >&2; exit 2; }
for desktop in gnome kde; do
  echo "== $desktop"
  tests/wedge/portal/desktop.sh --desktop "$desktop" -- \
    "$bench" --benchmark_filter='RealPortal|CountingSink' --benchmark_counters_tabular=true "$@"
done

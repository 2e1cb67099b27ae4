#!/usr/bin/env bash
# The long bad-catalogue run: the shipped catalogue cut at every byte offset and a 100 MB
# catalogue, each through the real window (tst_badcatalogue with RFID_BADCAT_STEP=1 and
# RFID_BADCAT_HUGE=1), built into build-soak or $BUILD_DIR. Prints the elapsed time and the
# peak resident memory of the run.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build-soak}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRFID_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target tst_badcatalogue
home="$PWD/$build/testhome/badcatalogue-long"
mkdir -p "$home/config" "$home/runtime"
chmod 700 "$home/runtime"
export QT_QPA_PLATFORM=offscreen QTEST_FUNCTION_TIMEOUT=7200000
export XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/runtime"
export RFID_SOURCE_DIR="$PWD" RFID_BINARY_DIR="$PWD/$build"
export RFID_BADCAT_STEP=1 RFID_BADCAT_HUGE=1
/usr/bin/time -f 'bad catalogue run: %e s, peak resident memory %M KiB' \
  "$build/tests/e2e/tst_badcatalogue" 2>&1 | grep -E 'bad catalogue|^FAIL|^Totals|Loc:'

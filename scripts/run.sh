#!/usr/bin/env bash
# Installs what is missing, builds the tool and the simulated reader (not the tests and
# benchmarks: ./scripts/test.sh builds those) and starts the tool with the reader beside it.
# The reader runs in the background and ends when the tool ends. RFID_NO_SIM=1 starts the
# tool alone; RFID_SIM_SOCKET=1 has the reader serve a UNIX socket instead of a terminal,
# as a reader behind a Bluetooth link.
set -euo pipefail
cd "$(dirname "$0")/.."
./setup.sh
BUILD_TARGETS="RFID_Lorix reader-sim" ./scripts/build.sh
build=${BUILD_DIR:-build}

if [[ "${RFID_NO_SIM:-0}" == 1 ]]; then
  exec "./$build/app/RFID_Lorix"
fi

simlog=$(mktemp)
sim_args=()
if [[ "${RFID_SIM_SOCKET:-0}" == 1 ]]; then
  sim_args+=(--socket)
fi
"./$build/tools/reader-sim/reader-sim" "${sim_args[@]}" </dev/null >"$simlog" 2>&1 &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; rm -f "$simlog"' EXIT

# The reader prints "COM<n> <terminal>" once its port is registered.
for _ in $(seq 50); do
  grep -q '^COM' "$simlog" && break
  kill -0 "$sim" 2>/dev/null || { cat "$simlog" >&2; exit 1; }
  sleep 0.1
done
port=$(grep -m1 -o '^COM[0-9]*' "$simlog" || true)
[[ -n "$port" ]] || { echo "the simulated reader did not start" >&2; cat "$simlog" >&2; exit 1; }

cat <<MSG
The simulated reader is on $port ($(grep -m1 '^COM' "$simlog" | cut -d' ' -f2)).
  1. In "Select by Port" pick the entry ending in "($port)", press "Open Port".
  2. Type ver into the command box and press Enter.
  3. Pull the reader's trigger from another terminal:   kill -USR1 $sim
     (release it with kill -USR2 $sim). Tick "Key Emulator Mode" to have tags typed.
The reader ends when the tool is closed.
MSG

"./$build/app/RFID_Lorix"

#!/usr/bin/env bash
# Installs what is missing, builds and runs every test; ends with ctest's summary. Run as
# root, it then runs the port, link and end-to-end tests once more as an ordinary user
# (scripts/test-unprivileged.sh); RFID_TEST_UNPRIVILEGED=0 leaves that out.
set -euo pipefail
cd "$(dirname "$0")/.."
./setup.sh
./scripts/build.sh
status=0
(cd "${BUILD_DIR:-build}" && ctest --output-on-failure --parallel "$(nproc)" "$@") || status=$?
if [[ $(id -u) -eq 0 && ${RFID_TEST_UNPRIVILEGED:-1} != 0 ]]; then
  ./scripts/test-unprivileged.sh --parallel "$(nproc)" "$@" || status=$?
fi
exit "$status"

#!/usr/bin/env bash
# Installs what is missing, builds and runs every test; ends with ctest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."
./setup.sh
./scripts/build.sh
cd "${BUILD_DIR:-build}"
ctest --output-on-failure --parallel "$(nproc)" "$@"

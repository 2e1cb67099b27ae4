#!/usr/bin/env bash
# Installs what is missing, builds and starts the tool.
set -euo pipefail
cd "$(dirname "$0")/.."
./setup.sh
./scripts/build.sh
exec ./build/app/RFID_Lorix

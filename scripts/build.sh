#!/usr/bin/env bash
# Configures and builds into ./build (or $BUILD_DIR). Extra arguments go to cmake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
generator=()
command -v ninja >/dev/null && [[ ! -f "$build/CMakeCache.txt" ]] && generator=(-G Ninja)
cmake -S . -B "$build" "${generator[@]}" "$@" >/dev/null
cmake --build "$build" --parallel "$(nproc)"

#!/usr/bin/env bash
# Configures and builds into ./build (or $BUILD_DIR). Extra arguments go to cmake's configure step.
# BUILD_TARGETS (space-separated) builds only those targets and what they need; by default
# everything is built: the tool, its tools, the tests and the benchmarks.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
generator=()
command -v ninja >/dev/null && [[ ! -f "$build/CMakeCache.txt" ]] && generator=(-G Ninja)
cmake -S . -B "$build" "${generator[@]}" "$@" >/dev/null
targets=()
for t in ${BUILD_TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$build" --parallel "$(nproc)" "${targets[@]}"

#!/usr/bin/env bash
# The receive path through the main window as it was before the reader engine became a
# library of its own, beside this tree's window and engine, in one run of the machine:
# bench_pipeline is built from this tree's source in a checkout of the earlier commit (its
# window benchmark uses only calls both windows have), then both programs run in turns.
#   bench/window-before-engine.sh [commit]   (default: the parent of the commit that added engine/)
set -euo pipefail
cd "$(dirname "$0")/.."
before=${1:-$(git log --diff-filter=A --format=%H -1 -- engine/ReaderEngine.h)^}
tmp=$(mktemp -d)
trap 'git worktree remove --force "$tmp/src" >/dev/null 2>&1 || true; rm -rf "$tmp"' EXIT
git worktree add -q --detach "$tmp/src" "$before"
cp bench/bench_pipeline.cpp "$tmp/src/bench/"
cmake -S "$tmp/src" -B "$tmp/build" -G Ninja -DRFID_BUILD_TESTS=OFF >/dev/null
cmake --build "$tmp/build" --target bench_pipeline | tail -3
cmake --build "${BUILD_DIR:-build}" --target bench_pipeline >/dev/null
args=(--benchmark_repetitions=3 --benchmark_report_aggregates_only=true --benchmark_filter=median)
for round in 1 2 3; do
  echo "== round $round: before the engine (window)"
  "$tmp/build/bench/bench_pipeline" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
    --benchmark_filter='Window|Pipeline' 2>/dev/null | grep median
  echo "== round $round: this tree (pipeline replica, engine alone, window)"
  "${BUILD_DIR:-build}/bench/bench_pipeline" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
    2>/dev/null | grep median
done

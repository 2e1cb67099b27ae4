#!/usr/bin/env bash
# Builds the whole project with sanitizers into its own folder and runs ctest there.
#   scripts/sanitize.sh address|thread [ctest args...]
# address: AddressSanitizer + UndefinedBehaviorSanitizer into build-asan;
# thread:  ThreadSanitizer into build-tsan.   Example: scripts/sanitize.sh thread -L link
set -euo pipefail
cd "$(dirname "$0")/.."

kind="${1:-}"
case "$kind" in
  address) sanitize="address,undefined"; dir="build-asan" ;;
  thread)  sanitize="thread";            dir="build-tsan" ;;
  *) echo "usage: $0 address|thread [ctest args...]" >&2; exit 2 ;;
esac
shift

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRFID_SANITIZE="$sanitize" -DRFID_BUILD_BENCH=OFF
# Keep going past a target that does not build, so the tests that did build still run;
# the script fails at the end all the same.
build_failed=0
cmake --build "$dir" -- -k 0 || build_failed=1

# Sanitizer findings fail the test that produced them.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
# die_after_fork=0: a test that starts a helper program forks from a process with threads;
# the child only runs until its exec, which the sanitizer cannot know.
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:die_after_fork=0:suppressions=$PWD/scripts/tsan.supp}"
cd "$dir"
test_failed=0
ctest --output-on-failure "$@" || test_failed=1
if (( build_failed )); then echo "sanitize.sh: some targets did not build" >&2; fi
exit $(( build_failed || test_failed ))

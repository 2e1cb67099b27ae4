#!/usr/bin/env bash
# Builds the XML fuzz targets with clang and libFuzzer (ASan and UBSan on), outside
# the CMake build, and runs each for the given number of seconds (default 180;
# 0 only builds). The seed corpus in fuzz/corpus is copied, never written to;
# crashes land in the build folder: copy the input into fuzz/regressions once fixed.
#   scripts/fuzz.sh [seconds] [target...]     targets: parse shortreads roundtrip
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-180}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(parse shortreads roundtrip)
out="${FUZZ_BUILD_DIR:-build-fuzz}"
mkdir -p "$out"

cxx="${CXX_FUZZ:-clang++}"
flags=(-std=c++17 -g -O1 -fPIC -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined
       -fno-sanitize-recover=undefined -I. -Ifuzz $(pkg-config --cflags Qt6Core))
libs=($(pkg-config --libs Qt6Core))
common=(catalogue/XML.cpp catalogue/XMLParser.cpp catalogue/XMLWriter.cpp fuzz/XmlFuzzChecks.cpp)

objects=()
for src in "${common[@]}"; do
  obj="$out/$(basename "${src%.cpp}").o"
  if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ catalogue/XML.h -nt "$obj" ] || [ catalogue/XMLInput.h -nt "$obj" ]; then
    "$cxx" "${flags[@]/-fsanitize=fuzzer,/-fsanitize=fuzzer-no-link,}" -c "$src" -o "$obj"
  fi
  objects+=("$obj")
done
for t in "${targets[@]}"; do
  "$cxx" "${flags[@]}" "fuzz/fuzz_xml_$t.cpp" "${objects[@]}" "${libs[@]}" -o "$out/fuzz_xml_$t"
done

[ "$seconds" -gt 0 ] || exit 0
for t in "${targets[@]}"; do
  work="$out/corpus_$t"
  mkdir -p "$work" "$out/crashes_$t"
  seeds=(fuzz/corpus)
  [ -d fuzz/regressions ] && seeds+=(fuzz/regressions)
  echo "== fuzz_xml_$t for ${seconds}s"
  "$out/fuzz_xml_$t" "$work" "${seeds[@]}" -max_total_time="$seconds" -max_len=8192 -rss_limit_mb=4096 \
      -timeout=30 -artifact_prefix="$out/crashes_$t/" -print_final_stats=1 2>&1 | tee "$out/fuzz_xml_$t.log" \
      | grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY|Done)' || true
done

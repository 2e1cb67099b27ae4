#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (ASan and UBSan on) and runs each for
# the given number of seconds (default 180; 0 only builds), at most FUZZ_JOBS (default 1)
# at a time. The seed corpora (fuzz/corpus for the XML targets,
# fuzz/corpus_lines for the line assembly, fuzz/corpus_settings for the settings file,
# fuzz/corpus_epc for the EPC decoder) are copied, never written to; crashes land in the build
# folder: copy the input into fuzz/regressions (fuzz/regressions_lines, ..._settings, ..._epc)
# once fixed.
# The XML targets link the XML library as CMake builds it (configured in the build folder
# with the same compiler and sanitizers); the others compile their few sources here.
#   scripts/fuzz.sh [seconds] [target...]     targets: parse shortreads roundtrip lines settings epc
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-180}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(parse shortreads roundtrip lines settings epc)
jobs="${FUZZ_JOBS:-1}"
out="${FUZZ_BUILD_DIR:-build-fuzz}"
mkdir -p "$out"

cxx="${CXX_FUZZ:-clang++}"
flags=(-std=c++17 -g -O1 -fPIC -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined
       -fno-sanitize-recover=undefined -I. -Ifuzz $(pkg-config --cflags Qt6Core))
libs=($(pkg-config --libs Qt6Core))
xml_sources=(fuzz/XmlFuzzChecks.cpp)
line_sources=(protocol/ResponseDispatcher.cpp protocol/ReaderControl.cpp protocol/TagList.cpp
              protocol/CommandLine.cpp platform/CodePage.cpp fuzz/LineFuzzChecks.cpp)
settings_sources=(settings/IniText.cpp fuzz/SettingsFuzzChecks.cpp)
epc_sources=(epc/EpcDecoder.cpp fuzz/EpcFuzzChecks.cpp)

# Compiles the given sources into objects (again only when a source or any header is newer).
compile() {
  local src obj
  for src in "$@"; do
    obj="$out/$(basename "${src%.cpp}").o"
    if [ ! -f "$obj" ] || [ -n "$(find "$src" xml protocol platform settings epc fuzz -name '*.h' -newer "$obj" -o -path "$src" -newer "$obj" | head -1)" ]; then
      "$cxx" "${flags[@]/-fsanitize=fuzzer,/-fsanitize=fuzzer-no-link,}" -c "$src" -o "$obj"
    fi
    echo "$obj"
  done
}

# The XML library and what it links (the writer's flush to disk), as static archives.
xml_libraries() {
  local lib="$out/cmake"
  if [ ! -f "$lib/CMakeCache.txt" ]; then
    cmake -S . -B "$lib" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-g -O1" -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" \
      -DRFID_SANITIZE=address,undefined -DRFID_BUILD_TESTS=OFF -DRFID_BUILD_BENCH=OFF >&2
  fi
  cmake --build "$lib" --target rfid_xml rfid_platform >&2
  echo "$lib/xml/librfid_xml.a"
  echo "$lib/platform/librfid_platform.a"
}

for t in "${targets[@]}"; do
  case "$t" in
    lines) mapfile -t objects < <(compile "${line_sources[@]}"); main=fuzz/fuzz_lines.cpp ;;
    settings) mapfile -t objects < <(compile "${settings_sources[@]}"); main=fuzz/fuzz_settings.cpp ;;
    epc)   mapfile -t objects < <(compile "${epc_sources[@]}"); main=fuzz/fuzz_epc.cpp ;;
    *)     mapfile -t objects < <(compile "${xml_sources[@]}"; xml_libraries); main="fuzz/fuzz_xml_$t.cpp" ;;
  esac
  "$cxx" "${flags[@]}" "$main" "${objects[@]}" "${libs[@]}" -o "$out/fuzz_$t"
done

[ "$seconds" -gt 0 ] || exit 0
run() {
  local t="$1" seeds
  local work="$out/corpus_$t"
  mkdir -p "$work" "$out/crashes_$t"
  if [ "$t" = epc ]; then
    seeds=(fuzz/corpus_epc)
    [ ! -d fuzz/regressions_epc ] || seeds+=(fuzz/regressions_epc)
  elif [ "$t" = lines ] || [ "$t" = settings ]; then
    seeds=(fuzz/corpus_$t fuzz/regressions_$t)
  else
    seeds=(fuzz/corpus fuzz/regressions)
  fi
  "$out/fuzz_$t" "$work" "${seeds[@]}" -max_total_time="$seconds" -max_len=8192 -rss_limit_mb=2048 \
      -timeout=30 -artifact_prefix="$out/crashes_$t/" -print_final_stats=1 > "$out/fuzz_$t.log" 2>&1 || true
  echo "== fuzz_$t for ${seconds}s"
  grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY|Done)' "$out/fuzz_$t.log" || true
  ls "$out/crashes_$t"
}
for t in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  run "$t" &
done
wait

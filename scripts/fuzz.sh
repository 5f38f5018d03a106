#!/usr/bin/env bash
# Builds the libFuzzer targets in build-fuzz (clang++, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs each of them, seeded from the message corpus in tests/data/pop3.
#   scripts/fuzz.sh --smoke            a fixed number of runs per target (about 30 s in all)
#   scripts/fuzz.sh --long [seconds]   each target for the given time (default 600)
# New inputs found go to build-fuzz/corpus/<target>; crashes to build-fuzz/crashes/<target>.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

mode=${1:---smoke}
case "$mode" in
  --smoke) limit=(-runs=60000) ;;
  --long) limit=(-max_total_time="${2:-600}") ;;
  *) echo "usage: scripts/fuzz.sh --smoke | --long [seconds]" >&2; exit 2 ;;
esac

# Debian's clang-14 package installs only the versioned name.
cxx=$(command -v clang++ || command -v clang++-14 || true)
[ -n "$cxx" ] || { echo "fuzz.sh: clang++ is needed" >&2; exit 1; }
build=build-fuzz
targets=(pop3_parse_fuzzer pop3_retr_fuzzer)
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

mkdir -p "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVRL_FUZZ=ON -DVRL_SANITIZE=ON -DVRL_BUILD_BENCH=OFF "${launcher[@]}" \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" >"$build.configure.log" 2>&1 \
  || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

seeds="$build/seeds"
rm -rf "$seeds"
mkdir -p "$seeds"
cp tests/data/pop3/*.eml "$seeds/"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for t in "${targets[@]}"; do
  rm -rf "$build/crashes/$t"
  mkdir -p "$build/corpus/$t" "$build/crashes/$t"
  echo "== $t ${limit[*]}"
  status=0
  "$build/bin/$t" "${limit[@]}" -dict=tests/fuzz/pop3.dict -max_len=65536 -timeout=20 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/crashes/$t/" \
    "$build/corpus/$t" "$seeds" >"$build/$t.log" 2>&1 || status=$?
  grep -E '^(stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)|SUMMARY)' \
    "$build/$t.log" || true
  if [ "$status" -ne 0 ] || ls "$build/crashes/$t"/* >/dev/null 2>&1; then
    tail -n 60 "$build/$t.log" >&2
    echo "fuzz.sh: $t failed (status $status); inputs in $build/crashes/$t, log $build/$t.log" >&2
    exit 1
  fi
done
echo "== fuzzing passed"

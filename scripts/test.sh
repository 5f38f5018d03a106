#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test; then builds the unit tests once more
# under AddressSanitizer and UndefinedBehaviorSanitizer and runs them; then a short fuzzing run.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
chmod 700 "$XDG_RUNTIME_DIR"
jobs=$(nproc)

# Each stage's time, printed at the end.
times=()
stage_start=$SECONDS
stage() {
  if [ -n "${stage_name:-}" ]; then times+=("$stage_name $((SECONDS - stage_start)) s"); fi
  stage_name=$1
  stage_start=$SECONDS
  echo "== $1"
}

stage "install what is missing"
bash scripts/install-deps.sh

stage "build"
# Options given every time: the cache keeps what an earlier configure set (tests off, say).
# Line tables only (-g1): enough for every backtrace and sanitizer report, and the build takes
# a good part less time than with full debug information.
# Configured for /usr, so that the package test can make the package from this tree.
bash scripts/build.sh build -DVRL_BUILD_TESTS=ON -DVRL_BUILD_BENCH=ON -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
summary=$(mktemp)
trap 'rm -f "$summary"' EXIT
stage "tests"
# A suite that finds no tests fails instead of passing empty.
(cd build && ctest --no-tests=error --output-on-failure --timeout 600 -j"$jobs") | tee -a "$summary"

stage "build (AddressSanitizer + UndefinedBehaviorSanitizer)"
# Unoptimised: the sanitizers find the same faults (their reports are, if anything, more exact),
# the build takes half the time of -O2 with full debug information, and these tests wait far
# more than they compute (the same minute at -O0 as at -O2).
bash scripts/build.sh build-asan -DVRL_SANITIZE=ON -DVRL_BUILD_TESTS=ON -DVRL_BUILD_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O0 -g1 -DNDEBUG"
stage "tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build-asan && ctest --no-tests=error --output-on-failure --timeout 600 -j"$jobs" -LE "interop|package") | tee -a "$summary"

if [ -x scripts/fuzz.sh ]; then
  stage "fuzzing (short run)"
  bash scripts/fuzz.sh --smoke
fi
# Every ctest run above passed (set -o pipefail stops the script otherwise); count them all.
total=0
for n in $(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$summary"); do
  total=$((total + n))
done
stage "done"
echo "== stage times: $(IFS=,; echo "${times[*]}" | sed 's/,/, /g')"
echo "== all tests passed"
echo "tests: ${total} passed, 0 failed"

#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test; then builds the unit tests once more
# under AddressSanitizer and UndefinedBehaviorSanitizer and runs them; then a short fuzzing run.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/install-deps.sh

export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
chmod 700 "$XDG_RUNTIME_DIR"
jobs=$(nproc)

echo "== build"
# Options given every time: the cache keeps what an earlier configure set (tests off, say).
bash scripts/build.sh build -DVRL_BUILD_TESTS=ON -DVRL_BUILD_BENCH=ON
summary=$(mktemp)
trap 'rm -f "$summary"' EXIT
echo "== tests"
# A suite that finds no tests fails instead of passing empty.
(cd build && ctest --no-tests=error --output-on-failure --timeout 600 -j"$jobs") | tee -a "$summary"

echo "== build (AddressSanitizer + UndefinedBehaviorSanitizer)"
bash scripts/build.sh build-asan -DVRL_SANITIZE=ON -DVRL_BUILD_TESTS=ON -DVRL_BUILD_BENCH=OFF
echo "== tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build-asan && ctest --no-tests=error --output-on-failure --timeout 600 -j"$jobs" -LE interop) | tee -a "$summary"

if [ -x scripts/fuzz.sh ]; then
  echo "== fuzzing (short run)"
  bash scripts/fuzz.sh --smoke
fi
# Every ctest run above passed (set -o pipefail stops the script otherwise); count them all.
total=0
for n in $(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$summary"); do
  total=$((total + n))
done
echo "== all tests passed"
echo "tests: ${total} passed, 0 failed"

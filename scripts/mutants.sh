#!/usr/bin/env bash
# Mutation check of the suite: applies each small fault listed in scripts/mutants.txt to the
# source (one at a time), rebuilds, runs the tests named for it, and reports whether the suite
# noticed (KILLED) or not (SURVIVED). A mutant that does not build counts as neither. The source
# is restored after each mutant, also when the script is interrupted.
#   scripts/mutants.sh [BUILD_DIR] [FIRST [LAST]]     (default build-mutants, all mutants)
# Prints one line per mutant and a summary; exit status 0, or 1 when a mutant survived or its
# test names match no test (NO-TESTS).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build-mutants}
first=${2:-1}
last=${3:-100000}
cd "$here"

echo "== build ($build)"
bash scripts/build.sh "$build" -DVRL_BUILD_TESTS=ON -DVRL_BUILD_BENCH=OFF >/dev/null

backup=$(mktemp -d)
current=""
restore() { if [ -n "$current" ]; then cp "$backup/orig" "$current"; current=""; fi; }
trap 'restore; rm -rf "$backup"' EXIT INT TERM

killed=0 survived=0 stillborn=0 notests=0 n=0
while IFS=$'\t' read -r file original replacement tests; do
  case "$file" in ''|'#'*) continue;; esac
  n=$((n + 1))
  [ "$n" -ge "$first" ] && [ "$n" -le "$last" ] || continue
  cp "$file" "$backup/orig"
  current=$file
  python3 - "$file" "$original" "$replacement" <<'PY'
import sys
path, old, new = sys.argv[1:4]
text = open(path, encoding="utf-8").read()
if text.count(old) != 1:
    sys.exit("mutant text not found once in %s: %s" % (path, old))
lines = text.split("\n")
i = next(k for k, l in enumerate(lines) if old in l)
if new == "-":
    del lines[i]
else:
    lines[i] = lines[i].replace(old, new)
open(path, "w", encoding="utf-8").write("\n".join(lines))
PY
  named=$(cd "$build" && ctest -N -R "^($tests)\." -LE interop | grep -c '^ *Test *#' || true)
  if [ "$named" -eq 0 ]; then
    # A name that matches no test would let every fault pass unnoticed.
    verdict=NO-TESTS; notests=$((notests + 1))
  elif ! cmake --build "$build" >/dev/null 2>&1; then
    verdict=STILLBORN; stillborn=$((stillborn + 1))
  elif (cd "$build" && timeout 900 ctest -R "^($tests)\." -LE interop --timeout 120 -j"$(nproc)" >/dev/null 2>&1); then
    verdict=SURVIVED; survived=$((survived + 1))
  else
    verdict=KILLED; killed=$((killed + 1))
  fi
  restore
  printf '%3d %-9s %s: %s\n' "$n" "$verdict" "$file" "$original"
done < scripts/mutants.txt
# The last mutant's objects are stale: bring the build back to the source.
cmake --build "$build" >/dev/null 2>&1 || true
echo "mutants: $((killed + survived + stillborn + notests)), killed: $killed, survived: $survived, did not build: $stillborn, no test named: $notests"
[ "$survived" -eq 0 ] && [ "$notests" -eq 0 ]

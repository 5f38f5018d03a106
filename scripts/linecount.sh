#!/usr/bin/env bash
# Lines of product code and of test code (C++ sources and headers, and the test scripts), and
# their ratio. Corpus files under tests/data are data, not test code.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { if [ $# -gt 0 ]; then cat "$@" | wc -l; else echo 0; fi; }
mapfile -t product < <(git ls-files '*.cpp' '*.h' | grep -v '^tests/')
mapfile -t tests < <(git ls-files 'tests/*.cpp' 'tests/*.h' 'tests/*.py' 'tests/*.sh' | grep -v '^tests/data/')
p=$(count "${product[@]}")
t=$(count "${tests[@]}")
echo "product: $p lines, tests: $t lines, ratio: $(python3 -c "print(f'{$t/$p:.2f}')")"

#!/usr/bin/env bash
# Configures and builds into the given folder; extra arguments go to cmake.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
builddir=${1:?build folder}
shift
cmake -S "$here" -B "$builddir" -G Ninja "$@" >"$builddir.configure.log" 2>&1 || { cat "$builddir.configure.log"; exit 1; }
cmake --build "$builddir" -j"$(nproc)"

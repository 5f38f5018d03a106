#!/usr/bin/env bash
# Renders every window and dialog (each tab separately) into OUTDIR as PNG files, offscreen, from
# the demo configuration. Builds the renderer first when needed (BUILD_DIR, default build).
# VRL_SCREENS_DARK=1 renders them under a dark palette, as a dark desktop theme would.
# usage: scripts/screenshots.sh OUTDIR [NAME...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=${1:?usage: scripts/screenshots.sh OUTDIR [NAME...]}
shift
build=${BUILD_DIR:-$here/build}
cmake --build "$build" --target vrl_screens -j2 >/dev/null
mkdir -p "$out"
QT_QPA_PLATFORM=offscreen "$build/bin/vrl_screens" "$out" "$@"

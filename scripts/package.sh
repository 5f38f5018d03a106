#!/usr/bin/env bash
# Builds the Debian package vorlane_<version>_<arch>.deb into OUTDIR (default: the current folder)
# and prints its path as the last line.
#
#   bash scripts/package.sh [OUTDIR] [--build-dir DIR]
#
# Without --build-dir it configures and builds its own Release tree, build-deb/ beside the sources
# (tests and benchmarks off). With --build-dir it packages that already-built tree. The
# package is made by CPack from the install rules (cmake/Package.cmake); the programs have the
# data folders of their configured prefix compiled in, so the tree must be configured for /usr.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

usage() { echo "usage: scripts/package.sh [OUTDIR] [--build-dir DIR]" >&2; exit 2; }
outdir=. builddir=
while [ $# -gt 0 ]; do
  case $1 in
    --build-dir) [ $# -ge 2 ] || usage; builddir=$2; shift 2 ;;
    --build-dir=*) builddir=${1#*=}; shift ;;
    -h|--help) usage ;;
    -*) echo "package: unknown option $1" >&2; usage ;;
    *) outdir=$1; shift ;;
  esac
done

for tool in cmake cpack dpkg dpkg-shlibdeps file gzip; do
  command -v "$tool" >/dev/null || { echo "package: $tool is missing (bash scripts/install-deps.sh)" >&2; exit 1; }
done

if [ -z "$builddir" ]; then
  builddir=$here/build-deb
  cmake -S "$here" -B "$builddir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DVRL_BUILD_TESTS=OFF -DVRL_BUILD_BENCH=OFF >"$builddir.configure.log" 2>&1 \
    || { cat "$builddir.configure.log" >&2; exit 1; }
fi
[ -f "$builddir/CMakeCache.txt" ] || { echo "package: $builddir is not a configured build tree" >&2; exit 1; }
builddir=$(cd "$builddir" && pwd)
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:[A-Z]*=//p' "$builddir/CMakeCache.txt")
if [ "$prefix" != /usr ]; then
  echo "package: $builddir is configured for the prefix $prefix; its programs would look for their" \
       "help pages there. Configure it with -DCMAKE_INSTALL_PREFIX=/usr (or leave out --build-dir)." >&2
  exit 1
fi
# Brings the tree up to date, CPack's configuration included (nothing to do in a built tree).
cmake --build "$builddir" -j"$(nproc)" >&2
[ -f "$builddir/CPackConfig.cmake" ] || { echo "package: $builddir has no CPack configuration" >&2; exit 1; }
for program in VRLEng31 VRL31 VRLCfg31 vrlmail; do
  [ -x "$builddir/bin/$program" ] || { echo "package: $builddir/bin/$program is not built" >&2; exit 1; }
done

mkdir -p "$outdir"
outdir=$(cd "$outdir" && pwd)
# CPack stages and packs in a folder of its own, so neither the tree nor OUTDIR keeps leftovers.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && git -C "$here" rev-parse --git-dir >/dev/null 2>&1; then
  SOURCE_DATE_EPOCH=$(git -C "$here" log -1 --format=%ct)
  export SOURCE_DATE_EPOCH
fi
(cd "$work" && cpack --config "$builddir/CPackConfig.cmake" -B "$work/out") >"$work/cpack.log" 2>&1 \
  || { cat "$work/cpack.log" >&2; echo "package: cpack failed" >&2; exit 1; }
debs=("$work"/out/vorlane_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { cat "$work/cpack.log" >&2; echo "package: cpack made no package" >&2; exit 1; }
deb=$outdir/$(basename "${debs[0]}")
mv -f "${debs[0]}" "$deb"
echo "$deb"

#!/usr/bin/env bash
# Writes the Octave package bitexact-<version>.tar.gz into OUTDIR (default:
# the checkout's root). `pkg install` unpacks it, runs src/Makefile to build
# every module with the determinism flags, and installs the modules beside
# their help files, with the demo.
#
#   package/make_package.sh [OUTDIR]
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
OUTDIR=$(mkdir -p "${1:-$ROOT}" && cd "${1:-$ROOT}" && pwd)

NAME=bitexact
VERSION=$(sed -n 's/^Version: *//p' "$ROOT/package/DESCRIPTION")
# The date of the last commit, so that the same sources give the same archive.
DATE=$(git -C "$ROOT" log -1 --format=%cd --date=short 2>/dev/null || date +%F)

STAGE=$(mktemp -d)
trap 'rm -rf "$STAGE"' EXIT
PKG=$STAGE/$NAME-$VERSION
mkdir -p "$PKG/inst" "$PKG/src/core" "$PKG/src/modules" "$PKG/src/help"

sed "s/@DATE@/$DATE/" "$ROOT/package/DESCRIPTION" > "$PKG/DESCRIPTION"
cp "$ROOT/LICENSE" "$PKG/COPYING"

# Sources: the kernels, the argument layer (not the stand-in host's headers:
# the modules compile against Octave's mex.h), one entry per module.
cp "$ROOT/package/Makefile" "$PKG/src/Makefile"
cp -r "$ROOT/core/." "$PKG/src/core/"
cp "$ROOT/modules/args.cpp" "$ROOT/modules/args.h" "$ROOT/modules/mexFunction.map" "$PKG/src/modules/"
modules=()
for source in "$ROOT"/modules/*.cpp; do
  name=$(basename "$source" .cpp)
  [ "$name" = args ] && continue
  modules+=("$name")
  cp "$source" "$PKG/src/modules/"
  cp "$ROOT/toolbox/$name.m" "$PKG/src/help/"
done

# The demo, which finds its parts in demos/ beside it.
cp "$ROOT/toolbox/bitexact_demo.m" "$PKG/inst/"
cp -r "$ROOT/toolbox/demos" "$PKG/inst/"
# The self-test, with its recorded calls beside it.
cp "$ROOT/toolbox/bitexact_selftest.m" "$ROOT/toolbox/bitexact_selftest.bin" "$PKG/inst/"

# The function index that `pkg describe -verbose` shows, by category.
category() {
  case $1 in
    gridlerp|patchwarp) echo "Sampling" ;;
    envsweep) echo "Distance transform" ;;
    linscore) echo "Scoring" ;;
    *) echo "Modules" ;;
  esac
}
{
  echo "$NAME >> $(sed -n 's/^Title: *//p' "$ROOT/package/DESCRIPTION")"
  for heading in "Sampling" "Distance transform" "Scoring" "Modules"; do
    members=()
    for name in "${modules[@]}"; do
      [ "$(category "$name")" = "$heading" ] && members+=("$name")
    done
    if [ ${#members[@]} -gt 0 ]; then
      echo "$heading"
      echo " ${members[*]}"
    fi
  done
  echo "Demonstration"
  echo " bitexact_demo"
  echo "Checking the build"
  echo " bitexact_selftest"
} > "$PKG/INDEX"

ARCHIVE=$OUTDIR/$NAME-$VERSION.tar.gz
tar -C "$STAGE" --sort=name --owner=0 --group=0 --numeric-owner --mtime="$DATE 00:00Z" \
  -cf - "$NAME-$VERSION" | gzip -n -9 > "$ARCHIVE"
echo "$ARCHIVE"

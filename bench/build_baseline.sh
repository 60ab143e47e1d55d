#!/bin/sh
# Builds the plug-in as it was before the shared service session (every
# conversation on a connection of its own), so that make bench can measure
# both designs in one run: BUILD_DIR/baseline/Velmarquin.dll. Built once;
# the commit is fixed, so the DLL never changes.   build_baseline.sh BUILD_DIR
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
commit=107cd8a
out="$build/baseline"
[ -s "$out/Velmarquin.dll" ] && exit 0
if ! git -C "$root" cat-file -e "$commit^{commit}" 2>/dev/null; then
  echo "bench: commit $commit is not in this clone; the connection-per-conversation figures are skipped" >&2
  exit 0
fi
rm -rf "$build/baseline-src" "$build/baseline-build"
mkdir -p "$build/baseline-src" "$out"
git -C "$root" archive "$commit" | tar -x -C "$build/baseline-src"
cmake -S "$build/baseline-src" -B "$build/baseline-build" \
  -DCMAKE_TOOLCHAIN_FILE="$build/baseline-src/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build/baseline-build" -j "${JOBS:-2}" --target Velmarquin
cp "$build/baseline-build/bin/Velmarquin.dll" "$out/Velmarquin.dll"

#!/bin/sh
# Creates the test Wine prefix once (no installer dialogs) and makes it trust
# the service double's test CA: prepare-wine-prefix.sh PREFIX CA.der trust_ca.exe
set -eu
prefix=$(realpath -m "$1")
ca="$2"
trust="$3"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$prefix/system.reg" ]; then
  echo "Creating Wine prefix $prefix"
  mkdir -p "$prefix"
  timeout 300 wineboot -i >/dev/null 2>&1 || true
  timeout 120 wineserver -w || true
fi
[ -f "$prefix/system.reg" ] || { echo "Wine prefix could not be created" >&2; exit 1; }
timeout 120 wine "$trust" "Z:$(realpath "$ca" | tr '/' '\\')"
timeout 120 wineserver -w || true

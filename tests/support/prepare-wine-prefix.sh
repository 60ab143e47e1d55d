#!/bin/sh
# Creates the test Wine prefix once (no installer dialogs) and keeps a
# wineserver running for the test run.
set -eu
prefix="$1"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$prefix/system.reg" ]; then
  echo "Creating Wine prefix $prefix"
  mkdir -p "$prefix"
  timeout 300 wineboot -i >/dev/null 2>&1 || true
  timeout 120 wineserver -w || true
fi
[ -f "$prefix/system.reg" ] || { echo "Wine prefix could not be created" >&2; exit 1; }

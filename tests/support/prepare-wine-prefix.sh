#!/bin/sh
# Creates the test Wine prefix once (no installer dialogs) and makes it trust
# the service double's test CA:
#   prepare-wine-prefix.sh PREFIX [CA.der trust_ca.exe]
# Trusting runs every time; adding a certificate that is already there
# replaces it, so this is safe to repeat and follows a regenerated CA.
set -eu
[ $# -eq 1 ] || [ $# -eq 3 ] || { echo "usage: $0 PREFIX [CA.der trust_ca.exe]" >&2; exit 2; }
prefix=$(realpath -m "$1")
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$prefix/system.reg" ]; then
  echo "Creating Wine prefix $prefix"
  mkdir -p "$prefix"
  timeout 300 wineboot -i >/dev/null 2>&1 || true
  timeout 120 wineserver -w || true
fi
[ -f "$prefix/system.reg" ] || { echo "Wine prefix could not be created" >&2; exit 1; }
# Wine's own TrueType fonts (Tahoma, Marlett for the caption buttons), so
# windows are drawn as on Windows rather than with the bitmap fallbacks.
if [ -d /usr/share/wine/fonts ]; then
  mkdir -p "$prefix/drive_c/windows/Fonts"
  cp -n /usr/share/wine/fonts/*.ttf "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true
fi
if [ $# -eq 3 ]; then
  ca="$2"
  trust="$3"
  [ -f "$ca" ] || { echo "no CA certificate at $ca" >&2; exit 1; }
  [ -f "$trust" ] || { echo "no trust_ca.exe at $trust" >&2; exit 1; }
  timeout 120 wine "$trust" "Z:$(realpath "$ca" | tr '/' '\\')"
  # The registry reaches the prefix's files only when the server stops.
  timeout 120 wineserver -w || true
fi

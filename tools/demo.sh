#!/usr/bin/env bash
# The demo: the stand-in host loads a copy of the plug-in from a scratch
# folder of the build tree (dist/ stays exactly what a user copies), points a
# fresh database at the local service double on 127.0.0.1, and shows what
# the host would chart.
set -euo pipefail
build="$1"
scratch="$build/demo"

# Unix paths reach Wine programs through its Z: drive.
winepath_of() { printf 'Z:%s' "$(realpath -m "$1" | tr '/' '\\')"; }
dll=$(winepath_of "$scratch/Plugins/Velmarquin.dll")
db=$(winepath_of "$scratch/Database")

host() {
  timeout 300 xvfb-run -a "$build/wine-run.sh" "$build/bin/standin_host.exe" "$dll" "$@" \
    2> >(grep -v "X connection" >&2)
}

demo_body() {
  local origin="https://127.0.0.1:$VELMARQUIN_DOUBLE_PORT"
  # The host loads the database (reason 1) with its main window and opens
  # each chart as it does, on its window thread: the plug-in answers at once
  # (0 bars and "loading" for a symbol it has no file of), downloads in the
  # background and posts the streaming message, and the host asks again.
  local commands=(service "$db" "$origin" info init notify "$db" 1 status)
  for ticker in AAPL EURUSD BTCUSDT 'ES1!' NASDAQ:MSFT; do
    commands+=(chart "$ticker" 86400 30 chart "$ticker" 300 30 recent "$ticker")
  done
  commands+=(pump 500 streaming status release status)
  echo "== Velmarquin demo: the stand-in host loads $scratch/Plugins/Velmarquin.dll"
  echo "== the service double listens on $origin"
  host "${commands[@]}"

  # Two days later: NASDAQ:MSFT's daily cache file is stale. The chart gets
  # its bars at once while the plug-in refreshes them in the background.
  local key name
  key=$(printf '%s' 'NASDAQ:MSFT|86400|auto|1|splits|0|0|0|auto' | od -An -tx1 | tr -d ' \n' | tr 'a-f' 'A-F')
  name="$scratch/Database/VelmarquinCache/bars_$key.cache"
  touch -d '2 days ago' "$name"
  echo
  echo "== Two days later: the daily cache file of NASDAQ:MSFT is stale"
  host service "$db" "$origin" init notify "$db" 1 chart NASDAQ:MSFT 86400 30 status release
}
# Run again inside with-double.sh, which exports the double's ports.
if [ "${2:-}" = "--inside" ]; then
  demo_body
  exit 0
fi
rm -rf "$scratch"
mkdir -p "$scratch/Plugins" "$scratch/Database"
cp dist/Velmarquin.dll dist/TECHNICAL_GUIDE.html "$scratch/Plugins/"
tests/support/with-double.sh "$build/certs" "$0" "$build" --inside

echo
echo "== The log beside the DLL (last lines)"
tail -n 12 "$scratch/Plugins/Velmarquin.log"

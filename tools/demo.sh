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

demo_body() {
  local origin="https://127.0.0.1:$VELMARQUIN_DOUBLE_PORT"
  # The host loads the database (reason 1) with its main window, charts
  # each ticker daily and at 5 minutes, asks the quote window's record, lets
  # its message loop run so the streaming messages arrive, and shows the
  # status line before and after the plug-in is released.
  local commands=(service "$db" "$origin" info init notify "$db" 1 status)
  for ticker in AAPL EURUSD BTCUSDT 'ES1!' NASDAQ:MSFT; do
    commands+=(quotes "$ticker" 86400 30 quotes "$ticker" 300 30 recent "$ticker")
  done
  commands+=(pump 500 streaming status release status)
  echo "== Velmarquin demo: the stand-in host loads $scratch/Plugins/Velmarquin.dll"
  echo "== the service double listens on $origin"
  timeout 300 xvfb-run -a "$build/wine-run.sh" "$build/bin/standin_host.exe" "$dll" "${commands[@]}" \
    2> >(grep -v "X connection" >&2)
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

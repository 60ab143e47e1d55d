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

  # Streaming on: one connection carries every ticker of the quote window's
  # watch list, prices pushed as they change (the double pushes a quote
  # every 200 ms and moves the newest bar every 500 ms), while the open
  # 1-minute chart's newest bar moves with the bar updates.
  echo
  echo "== Streaming on: a watch list of five tickers and a 1-minute chart of NASDAQ:AAPL"
  python3 - "$scratch/Database/Velmarquin.ini" <<'PY'
import sys
path = sys.argv[1]
text = open(path, encoding="latin-1").read()
if "[Velmarquin]" not in text:
    text += "\r\n[Velmarquin]\r\n"
text = text.replace("[Velmarquin]\r\n", "[Velmarquin]\r\nStreaming=1\r\n", 1)
open(path, "w", encoding="latin-1", newline="").write(text)
PY
  python3 - "$VELMARQUIN_DOUBLE_CONTROL_PORT" <<'PY'
import json, sys, urllib.request
scenario = {"ws": {"stream": {"quote_ms": 200, "bar_ms": 500, "new_bar_every": 20}}}
request = urllib.request.Request("http://127.0.0.1:%s/scenario" % sys.argv[1], json.dumps(scenario).encode(),
                                 {"Content-Type": "application/json"})
urllib.request.urlopen(request, timeout=10).read()
PY
  local watchlist=NASDAQ:AAPL,NASDAQ:MSFT,NASDAQ:TSLA,NYSE:IBM,AMEX:SPY
  host service "$db" "$origin" init notify "$db" 1 chart NASDAQ:AAPL 60 30 \
    watch 7000 "$watchlist" NASDAQ:AAPL 60 status release
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

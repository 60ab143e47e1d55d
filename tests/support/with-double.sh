#!/bin/sh
# Runs a command with the local service double listening on 127.0.0.1:
#   with-double.sh [CERT_FOLDER] command args...
# The certificates come from CERT_FOLDER when the first argument is a folder,
# else from $VELMARQUIN_CERTS, else from build/certs of this tree. The command
# sees VELMARQUIN_DOUBLE_PORT, VELMARQUIN_DOUBLE_UNTRUSTED_PORT and
# VELMARQUIN_DOUBLE_CONTROL_PORT; the double stops when the command ends
# (or when this script goes, however it goes) and the command's exit code is
# returned.
set -u
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -ge 1 ] && [ -d "$1" ]; then
  certs="$1"
  shift
else
  certs="${VELMARQUIN_CERTS:-$here/../../build/certs}"
fi
[ $# -ge 1 ] || { echo "usage: $0 [CERT_FOLDER] command args..." >&2; exit 2; }
[ -f "$certs/server.pem" ] || { echo "no certificates in $certs (run tools/service_double/make_certs.sh)" >&2; exit 2; }

work=$(mktemp -d)
fifo="$work/stdin"
mkfifo "$fifo"
python3 "$here/../../tools/service_double/service_double.py" --certs "$certs" --port-file "$work/ports.json" \
  --lifetime "${VELMARQUIN_DOUBLE_LIFETIME:-3000}" < "$fifo" > "$work/double.log" 2>&1 &
double=$!
# The double ends when this write end closes: at the end of this script, or
# when the script is killed, since only this shell holds it.
exec 9> "$fifo"
cleanup() {
  exec 9>&-
  i=0
  while kill -0 "$double" 2>/dev/null && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
  kill "$double" 2>/dev/null
  wait "$double" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

i=0
while [ ! -s "$work/ports.json" ] && [ $i -lt 200 ] && kill -0 "$double" 2>/dev/null; do
  sleep 0.1
  i=$((i + 1))
done
if [ ! -s "$work/ports.json" ]; then
  echo "the service double did not start:" >&2
  cat "$work/double.log" >&2
  exit 1
fi
eval "$(python3 -c 'import json,sys; p=json.load(open(sys.argv[1])); print("export VELMARQUIN_DOUBLE_PORT=%d VELMARQUIN_DOUBLE_UNTRUSTED_PORT=%d VELMARQUIN_DOUBLE_CONTROL_PORT=%d" % (p["service"], p["untrusted"], p["control"]))' "$work/ports.json")"
# The command must not hold the double's input open (Wine keeps daemons).
"$@" 9>&-
status=$?
if [ $status -ne 0 ] && [ -s "$work/double.log" ]; then
  echo "--- service double:" >&2
  tail -n 20 "$work/double.log" >&2
fi
exit $status

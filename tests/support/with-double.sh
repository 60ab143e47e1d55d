#!/bin/sh
# Runs a command with the local service double listening on 127.0.0.1:
#   with-double.sh CERT_FOLDER command args...
# The command sees VELMARQUIN_DOUBLE_PORT, VELMARQUIN_DOUBLE_UNTRUSTED_PORT
# and VELMARQUIN_DOUBLE_CONTROL_PORT; the double stops when the command ends.
set -u
certs="$1"
shift
here=$(dirname "$0")
work=$(mktemp -d)
fifo="$work/stdin"
mkfifo "$fifo"
python3 "$here/../../tools/service_double/service_double.py" --certs "$certs" --port-file "$work/ports.json" \
  --lifetime 3000 < "$fifo" > "$work/double.log" 2>&1 &
double=$!
exec 9> "$fifo"   # the double ends when this descriptor closes
cleanup() { exec 9>&-; kill "$double" 2>/dev/null; wait "$double" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT INT TERM
i=0
while [ ! -s "$work/ports.json" ] && [ $i -lt 200 ]; do sleep 0.1; i=$((i + 1)); done
if [ ! -s "$work/ports.json" ]; then
  echo "the service double did not start:" >&2
  cat "$work/double.log" >&2
  exit 1
fi
eval "$(python3 -c 'import json,sys; p=json.load(open(sys.argv[1])); print("export VELMARQUIN_DOUBLE_PORT=%d VELMARQUIN_DOUBLE_UNTRUSTED_PORT=%d VELMARQUIN_DOUBLE_CONTROL_PORT=%d" % (p["service"], p["untrusted"], p["control"]))' "$work/ports.json")"
"$@"
status=$?
exit $status

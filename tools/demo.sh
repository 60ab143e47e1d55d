#!/usr/bin/env bash
# The demo: the stand-in host loads a copy of the plug-in from a scratch
# folder of the build tree (dist/ stays exactly what a user copies) and
# drives it as the host does.
set -euo pipefail
build="$1"
scratch="$build/demo"
rm -rf "$scratch"
mkdir -p "$scratch/Plugins" "$scratch/Database"
cp dist/Velmarquin.dll dist/TECHNICAL_GUIDE.html "$scratch/Plugins/"

# Unix paths reach Wine programs through its Z: drive.
winepath_of() { printf 'Z:%s' "$(realpath "$1" | tr '/' '\\')"; }

run_host() {
  timeout 120 xvfb-run -a "$build/wine-run.sh" "$build/bin/standin_host.exe" "$@"
}

echo "== Velmarquin demo: the stand-in host loads $scratch/Plugins/Velmarquin.dll"
run_host "$(winepath_of "$scratch/Plugins/Velmarquin.dll")" info init status configure "$(winepath_of "$scratch/Database")" status release status 2> >(grep -v "X connection" >&2)
echo
echo "== Log written beside the DLL"
cat "$scratch/Plugins/Velmarquin.log"

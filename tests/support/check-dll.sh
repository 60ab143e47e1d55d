#!/bin/sh
# The DLL exports its functions undecorated and imports only Windows system DLLs.
set -eu
dll="$1"
dump=$(x86_64-w64-mingw32-objdump -p "$dll")
status=0
for name in GetPluginInfo Init Release Configure GetExtraData SetTimeBase IsBackfillComplete GetSymbolLimit \
            GetQuotesEx GetQuotes Notify GetRecentInfo GetPluginStatus DllMain; do
  printf '%s\n' "$dump" | grep -Eq "^\s+\[ *[0-9]+\] $name\$" || { echo "missing export $name"; status=1; }
done
allowed='^(kernel32|user32|gdi32|advapi32|shell32|comctl32|winhttp|crypt32|msvcrt|ole32|oleaut32|ws2_32|bcrypt|ntdll|api-ms-win-[a-z0-9-]+)\.dll$'
for import in $(printf '%s\n' "$dump" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z'); do
  printf '%s\n' "$import" | grep -Eq "$allowed" || { echo "unexpected import $import"; status=1; }
done
[ $status -eq 0 ] && echo "exports and imports OK"
exit $status

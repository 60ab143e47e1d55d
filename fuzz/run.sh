#!/bin/sh
# Builds the native fuzz targets with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer and runs each for a bounded time on its seeds.
# Any finding fails.  run.sh OUT_DIR SECONDS
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
seconds="${2:-20}"
mkdir -p "$1"
out=$(cd "$1" && pwd)
flags="-std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I$root/src -I$root/tests"
# The pure text layer every target links.
sources="$root/src/protocol/framing.cpp $root/src/protocol/json_text.cpp $root/src/protocol/series_reader.cpp
  $root/src/protocol/search_reply.cpp $root/src/protocol/host_time.cpp $root/src/foundation/volume.cpp
  $root/src/protocol/trading_day.cpp $root/src/foundation/civil_time.cpp $root/src/storage/cache_row.cpp
  $root/src/foundation/settings_text.cpp $root/src/foundation/text_rules.cpp
  $root/src/protocol/stream_payload.cpp $root/src/protocol/quote_update.cpp $root/src/protocol/service_errors.cpp
  $root/src/protocol/message_route.cpp $root/src/protocol/jwt.cpp $root/src/storage/symbol_map_text.cpp
  $root/src/foundation/base64.cpp $root/src/protocol/sign_in_text.cpp"
for target in frames json numbers series session cache_row settings stream signin; do
  # shellcheck disable=SC2086
  clang++ $flags "$root/fuzz/fuzz_$target.cpp" $sources -o "$out/fuzz_$target"
  work="$out/corpus_$target"
  mkdir -p "$work"
  cp "$root/fuzz/corpus/$target/"* "$work/"
  echo "fuzzing $target for ${seconds}s"
  if ! (cd "$out" && ./"fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        "$work" > "$out/fuzz_$target.log" 2>&1); then
    tail -40 "$out/fuzz_$target.log" >&2
    echo "fuzz target $target found a problem" >&2
    exit 1
  fi
  grep -E '^#[0-9]+.*DONE' "$out/fuzz_$target.log" || tail -2 "$out/fuzz_$target.log"
done
echo "fuzzing: 9 targets, no findings"

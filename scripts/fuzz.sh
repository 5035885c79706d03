#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz and runs each for
# SECONDS/4 seconds (default 60 in all). Findings and new corpus entries
# stay under build-fuzz; the seed corpora in fuzz/corpus are only read.
# Prints one line per target; exits non-zero when any target finds a fault.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
total=${1:-60}
per=$(( total / 4 ))
[ "$per" -ge 1 ] || per=1
out=$root/build-fuzz

CC=clang CXX=clang++ cmake -S fuzz -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$out" -j"$(nproc)" >/dev/null

status=0
for target in decode_message_fuzz ini_fuzz command_line_fuzz seedlink_fuzz fdsn_request_fuzz; do
    work=$out/run/$target
    mkdir -p "$work/corpus" "$work/artifacts"
    log=$work/fuzz.log
    max_len=4096
    [ "$target" = decode_message_fuzz ] && max_len=65536
    if (cd "$work" &&
        ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        "$out/$target" -max_total_time="$per" -timeout=10 -rss_limit_mb=2048 -max_len="$max_len" \
            -artifact_prefix="$work/artifacts/" "$work/corpus" "$root/fuzz/corpus/$target" \
            >"$log" 2>&1); then
        runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
        [ -n "$runs" ] || runs=$(grep -oE '#[0-9]+' "$log" | tail -1 | tr -d '#')
        echo "$target: ok, ${runs:-?} runs in ${per}s"
    else
        echo "$target: FINDING, see $log and $work/artifacts/"
        grep -m3 -E 'ERROR|runtime error|deadly signal' "$log" || true
        status=1
    fi
done
exit $status

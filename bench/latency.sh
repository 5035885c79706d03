#!/usr/bin/env bash
# Latency of the live feed, end to end: stationsim sends one-second blocks in
# real time, veldrum (SQLite index, SLLATENCY=1, the default) decodes them
# and serves them over SeedLink; latency_clients (1 or 100 SeedLink 4.0
# clients in one thread of its own process) decodes every record and notes
# when it holds each block's last sample. Per setup: the median and 99th
# percentile of the time from stationsim's send of a block until a client
# holds its samples, and veldrum's CPU (user+sys) in % of one core while the
# clients read. Prints a Markdown table. Run by hand:
#   bench/latency.sh [--seconds N] [FORMAT:CHANNELS:RATE:CLIENTS ...]
#   BUILD=build-dir bench/latency.sh              (default: build)
# FORMAT is 2 (512-byte miniSEED 2) or 3 (miniSEED 3, a record per block).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${BUILD:-$root/build}
case $build in /*) ;; *) build=$root/$build ;; esac
bin=$build/bin

seconds=30
if [ "${1:-}" = "--seconds" ]; then seconds=${2:?"--seconds needs a number"}; shift 2; fi
setups=("$@")
[ ${#setups[@]} -gt 0 ] ||
    setups=(3:24:100:1 3:24:100:100 3:256:200:1 3:256:200:100 2:24:100:1 2:24:100:100 2:256:200:1 2:256:200:100)

cmake --build "$build" --target veldrum stationsim latency_clients >/dev/null || exit 1

station=LATB
work=$root/scratch/latency
rm -rf "$work"
mkdir -p "$work"
clk=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
host_ticks() { awk '/^cpu / {print $2 + $3 + $4 + $7 + $8, $2 + $3 + $4 + $5 + $6 + $7 + $8}' /proc/stat; }

rows=()
n=0
sim_pid='' vd_pid=''
trap 'kill $sim_pid $vd_pid 2>/dev/null' EXIT
for setup in "${setups[@]}"; do
    IFS=: read -r format ch rate clients <<<"$setup"
    dir=$work/$format-$ch-$rate-$clients
    mkdir -p "$dir/data" "$dir/log"
    # Below the ephemeral range, so that no test's free port takes them meanwhile.
    n=$((n + 1))
    sim_port=$((17600 + n))
    sl_port=$((18600 + n))
    cat > "$dir/VELDRUM.INI" <<INI
[VELDRUM]
LOG=$dir/log
HTTP=0
SIZEMB=200
SEEDLINK=$sl_port
SLCLIENTS=200
[$station]
LANA=0
INI
    printf '[DATA]\nDIR=%s\n' "$dir/data" > "$dir/KVR.ini"
    printf '127.0.0.1:%s %s.DCH.SRV\n' "$sim_port" "$station" > "$dir/lmhosts"
    eval "$(db/make-sqlite-dsn.sh "$dir")"
    export WINDIR=$dir

    start=$(date +%s)
    "$bin/stationsim" --station "$station" --port "$sim_port" --many "$ch:$rate" --realtime \
        --start "$start" --send-log "$dir/sends.txt" > "$dir/stationsim.out" 2>&1 &
    sim_pid=$!
    sleep 0.3
    (cd "$dir" && exec "$bin/veldrum" "$station") > "$dir/veldrum.out" 2>&1 &
    vd_pid=$!
    for _ in $(seq 100); do grep -q 'stationsim: connected' "$dir/stationsim.out" && break; sleep 0.1; done
    sleep 2

    c0=$(cpu_ticks $vd_pid)
    read -r busy0 all0 < <(host_ticks)
    t0=$(date +%s.%N)
    result=$("$bin/latency_clients" --port "$sl_port" --format "$format" --clients "$clients" \
        --channels "$ch" --seconds "$seconds" --sends "$dir/sends.txt" --start "$start" 2>"$dir/clients.err")
    t1=$(date +%s.%N)
    c1=$(cpu_ticks $vd_pid)
    read -r busy1 all1 < <(host_ticks)
    host=$(echo "100 * ($busy1 - $busy0) / ($all1 - $all0)" | bc -l)
    load=$(cut -d' ' -f1 /proc/loadavg)
    kill -TERM $vd_pid 2>/dev/null
    wait $vd_pid 2>/dev/null
    kill -TERM $sim_pid 2>/dev/null
    wait $sim_pid 2>/dev/null

    cpu=$(echo "100 * ($c1 - $c0) / $clk / ($t1 - $t0)" | bc -l)
    read -r _ blocks _ missing _ wrong _ skipped _ median _ p99 _ ccpu _ smedian _ sp99 \
        <<<"${result:-x 0 x - x - x - x - x - x - x - x -}"
    [ -s "$dir/clients.err" ] && wrong="$wrong; $(head -1 "$dir/clients.err")"
    row=$(printf '| %s | %d x %d | %d | %s | %s | %.1f | %s / %s | %s | %s | %s | %s | %s | %.0f | %s |' \
        "$format" "$ch" "$rate" "$clients" "$median" "$p99" "$cpu" "$smedian" "$sp99" "$ccpu" \
        "$blocks" "$missing" "$wrong" "$skipped" "$host" "$load")
    echo "$row" >&2
    rows+=("$row")
done

echo
echo "Latency from stationsim's send of a block to a client holding its samples;"
echo "$seconds s of clients per setup, $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')."
echo
echo '| miniSEED | channels x sps | clients | median ms | p99 ms | server CPU % | in socket ms | clients CPU % | blocks | missing | wrong | skipped | host % | load |'
echo '|---|---|---|---|---|---|---|---|---|---|---|---|---|---|'
printf '%s\n' "${rows[@]}"
echo
echo "in socket: median / p99 to the kernel's receive time stamp of the bytes, before the clients read them;"
echo "blocks: (client, channel, second) held in the window; missing: expected but not held;"
echo "wrong: samples unlike the simulator's signal or records that did not decode;"
echo "skipped: seconds the simulator could not send in time; host %: the machine busy, all cores and processes;"
echo "load: 1-min load average at the end."

#!/usr/bin/env bash
# Capacity of one veldrum: stationsim offers a real-time load (channels x
# samples per second, paced to one second of data per wall second) on
# loopback; veldrum records it with an SQLite index, FLUSH=5 and every
# channel going to a LISS client. Each step reports what came out of it and
# whether anything was lost. Run by hand:
#   bench/capacity.sh [--seconds N] [STEP ...]     STEP = CHANNELS:RATE
#   BUILD=build-dir bench/capacity.sh              (default: build)
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${BUILD:-$root/build}
case $build in /*) ;; *) build=$root/$build ;; esac
bin=$build/bin

seconds=40
if [ "${1:-}" = "--seconds" ]; then seconds=${2:?"--seconds needs a number"}; shift 2; fi
steps=("$@")
# Above 2147 samples per second the announcement must be a channel group
# block, which holds 96 channels.
[ ${#steps[@]} -gt 0 ] || steps=(24:100 64:100 128:200 256:200 256:400 256:1000 256:2000 96:8000 96:14000)

cmake --build "$build" --target veldrum stationsim lissdump >/dev/null || exit 1

station=CAPB
work=$root/scratch/capacity
rm -rf "$work"
mkdir -p "$work"
clk=$(getconf CLK_TCK)
table=$work/table.txt
held=""

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
hwm_kb() { awk '/^VmHWM:/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }

printf '%-9s %10s %10s %8s %8s %9s %6s %8s %9s %s\n' step offered/s written/s rec/s built/s cpu-s/Msa core% rss-MB rows lost > "$table"

n=0
for step in "${steps[@]}"; do
    ch=${step%%:*}
    rate=${step##*:}
    n=$((n + 1))
    dir=$work/$ch-$rate
    mkdir -p "$dir/data" "$dir/log"
    sim_port=$((17400 + n))
    liss_port=$((18400 + n))
    cat > "$dir/VELDRUM.INI" <<INI
[VELDRUM]
LOG=$dir/log
HTTP=0
SIZEMB=1000
[$station]
LANA=0
INI
    printf '[DATA]\nDIR=%s\n' "$dir/data" > "$dir/KVR.ini"
    printf '127.0.0.1:%s %s.DCH.SRV\n' "$sim_port" "$station" > "$dir/lmhosts"
    eval "$(db/make-sqlite-dsn.sh "$dir")"
    export WINDIR=$dir

    start=$(date +%s)
    "$bin/stationsim" --station "$station" --port "$sim_port" --many "$ch:$rate" --fast --speed 1 \
        --start "$start" --seconds "$seconds" --once > "$dir/stationsim.out" 2>&1 &
    sim_pid=$!
    sleep 0.3
    (cd "$dir" && exec "$bin/veldrum" "$station" FLUSH=5 "SPORT=$liss_port") > "$dir/veldrum.out" 2>&1 &
    vd_pid=$!
    sleep 1
    "$bin/lissdump" 127.0.0.1 "$liss_port" --summary --seconds $((seconds + 12)) > "$dir/lissdump.out" 2>&1 &
    liss_pid=$!
    liss_t0=$(date +%s.%N)
    t0=$(date +%s.%N)
    c0=$(cpu_ticks $vd_pid)

    wait $sim_pid
    # Two recorder passes after the last second, then the figures.
    sleep 11
    t1=$(date +%s.%N)
    c1=$(cpu_ticks $vd_pid)
    rss=$(hwm_kb $vd_pid)
    kill -TERM $vd_pid 2>/dev/null
    wait $vd_pid 2>/dev/null
    wait $liss_pid 2>/dev/null
    liss_secs=$(echo "$(date +%s.%N) - $liss_t0" | bc -l)

    delivered=$(sed -n 's/^stationsim: delivered \([0-9]*\)\.\.\([0-9]*\)$/\1 \2/p' "$dir/stationsim.out" |
        awk '{s += $2 - $1 + 1} END {print s + 0}')
    offered=$((ch * rate))
    expected=$((delivered * ch * rate))
    # Samples in ring files: (size - 512) / 2 per file; seconds per channel.
    written=$(find "$dir/data" -type f -printf '%s\n' | awk '{s += ($1 - 512) / 2} END {printf "%d", s}')
    short=$(find "$dir/data" -type f -printf '%f %s\n' |
        awk -v r="$rate" -v d="$delivered" -v c="$ch" '
            { split($1, a, "-"); sub(/\..*/, "", a[3]); sec[a[3]] += ($2 - 512) / 2 / r }
            END { s = 0; for (k in sec) if (sec[k] < d) s++; print s + (c - length(sec)) }')
    rows=$(sqlite3 "$dir/veldrum-index.sqlite" "select count(*) || '/' || coalesce(sum(tqty),0) from filelist" 2>/dev/null)
    records=$(sed -n 's/^total records=\([0-9]*\).*/\1/p' "$dir/lissdump.out")
    records=${records:-0}
    liss_samples=$(awk '/ records=/ && $1 != "total" {split($3, a, "="); s += a[2]} END {print s + 0}' "$dir/lissdump.out")
    secs=$(echo "$t1 - $t0" | bc -l)
    cpu=$(echo "($c1 - $c0) / $clk" | bc -l)
    # Records built: the samples offered over the mean samples per record
    # that reached the client (the LISS server sends at most five a second).
    built=0
    [ "$records" -gt 0 ] && built=$(echo "$offered * $records / $liss_samples" | bc -l)
    lost=none
    if [ "$written" -lt "$expected" ] || [ "$short" -gt 0 ]; then
        lost="$((expected - written)) samples, $short channels short"
    fi
    # Lines beyond the session's coming and going (and the list block's
    # remainder report) mean trouble.
    errors=$(iconv -f CP1251 -t UTF-8 "$dir"/log/*.log 2>/dev/null | 
        grep -c -v -e '#START#' -e '#STOP#' -e 'подключена#' -e 'отключена#' -e ' connected#' \
            -e 'Код ошибки Netbios' -e 'Разрыв в передаче' -e 'Неверный тип блока' -e 'Размер остатка' || true)
    [ "$errors" -gt 0 ] && lost="$lost; $errors other log lines"
    printf '%-9s %10d %10.0f %8.2f %8.1f %9.3f %6.1f %8.1f %9s %s\n' "$step" "$offered" \
        "$(echo "$written / $delivered" | bc -l)" "$(echo "$records / $liss_secs" | bc -l)" "$built" \
        "$(echo "$cpu * 1000000 / $expected" | bc -l)" "$(echo "100 * $cpu / $secs" | bc -l)" \
        "$(echo "$rss / 1024" | bc -l)" "$rows" "$lost" >> "$table"
    tail -1 "$table"
    [ "$lost" = none ] && held=$step
done

echo
echo "capacity, $seconds s per step, $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2)"
cat "$table"
echo "written/s: samples in ring files per second of data delivered; rec/s: LISS records received"
echo "per second of connection (at most five by design); built/s: records built, from the mean samples per received record;"
echo "cpu-s/Msa: veldrum CPU seconds per million samples delivered; rows: filelist rows/sum(tqty)."
echo "highest load held with nothing lost: ${held:-none}"

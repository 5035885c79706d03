#!/usr/bin/env bash
# The demo: builds VelDrum, then runs the station simulator in real time,
# veldrum against it with a LISS port and an SQLite index, and lissdump
# following the LISS stream, all in a scratch directory.
#   scripts/demo.sh              runs until Ctrl-C
#   scripts/demo.sh --seconds N  runs N seconds, then prints a summary
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=0
if [ "${1:-}" = "--seconds" ]; then seconds=${2:?"--seconds needs a number"}; fi

scripts/deps.sh build
# seisplotjs and esbuild for the status page's seismograms; without them the
# build goes on and the page says that seismograms are unavailable.
if [ ! -d build/node/node_modules/seisplotjs ] || [ ! -d build/node/node_modules/esbuild ]; then
    npm install --silent --no-audit --no-fund --prefix build/node seisplotjs@3.2.2 esbuild@0.28.2 ||
        echo "seisplotjs could not be installed: the status page will show no seismograms"
fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target veldrum stationsim lissdump

bin=$root/build/bin
demo=$root/scratch/demo
station=DEMO
sim_port=${DEMO_SIM_PORT:-17139}
liss_port=${DEMO_LISS_PORT:-4000}
seedlink_port=${DEMO_SEEDLINK_PORT:-18000}
rm -rf "$demo"
mkdir -p "$demo/data" "$demo/log"

cat > "$demo/VELDRUM.INI" <<INI
[VELDRUM]
LOG=$demo/log
SIZEMB=10
SEEDLINK=$seedlink_port
[$station]
LANA=0
INI
printf '[DATA]\nDIR=%s\n' "$demo/data" > "$demo/KVR.ini"
printf '127.0.0.1:%s %s.DCH.SRV\n' "$sim_port" "$station" > "$demo/lmhosts"
eval "$(db/make-sqlite-dsn.sh "$demo")"
export WINDIR=$demo

pids=()
stop_all() {
    trap - INT TERM EXIT
    echo
    echo "Stopping..."
    [ -n "${veldrum_pid:-}" ] && kill -TERM "$veldrum_pid" 2>/dev/null && wait "$veldrum_pid" 2>/dev/null || true
    for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap stop_all INT TERM EXIT

"$bin/stationsim" --station "$station" --port "$sim_port" \
    --channels "SHZ:100:0,SHN:50:0,LHZ:20:0,EHZ:200:7" --event-every 60 --realtime \
    > "$demo/stationsim.out" 2>&1 &
pids+=($!)
sleep 1

(cd "$demo" && exec "$bin/veldrum" "$station" FLUSH=10 "SPORT=$liss_port") &
veldrum_pid=$!
sleep 2

stdbuf -oL "$bin/lissdump" 127.0.0.1 "$liss_port" --output "$demo/liss.mseed" \
    > "$demo/lissdump.out" 2>&1 &
pids+=($!)

cat <<MSG
VelDrum demo is running (station $station).
  data directory : $demo/data
  operation log  : $demo/log
  index (SQLite) : $demo/veldrum-index.sqlite
  LISS records   : $demo/lissdump.out ($demo/liss.mseed)
  status page    : http://127.0.0.1:8660/ (seismograms: click a channel)
  SeedLink       : 127.0.0.1:$seedlink_port (TCP and WebSocket)
  FDSN, metrics  : http://127.0.0.1:8660/fdsnws/, /metrics, /api/health
MSG

if [ "$seconds" -le 0 ]; then
    echo "Press Ctrl-C to stop."
    wait "$veldrum_pid"
    exit 0
fi

sleep "$seconds"
stop_all
echo
exec scripts/demo-summary.sh "$demo"

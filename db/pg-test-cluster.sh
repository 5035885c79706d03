#!/bin/sh
# pg-test-cluster.sh start DIR [ODBCINI]: a throwaway PostgreSQL cluster in
# DIR on loopback and a free port, with the index tables, and a DSN "KVRPG"
# (psqlODBC) appended to ODBCINI (default DIR/odbc.ini). Prints
# VELDRUM_TEST_PG_DSN=KVRPG on success.
# pg-test-cluster.sh pause DIR / resume DIR: stops the server, keeping its
# data, and starts it again on the same port (a database outage).
# pg-test-cluster.sh stop DIR: stops it and removes DIR.
set -eu
cmd=${1:?usage: pg-test-cluster.sh start|pause|resume|stop DIR [ODBCINI]}
dir=${2:?usage: pg-test-cluster.sh start|pause|resume|stop DIR [ODBCINI]}
here=$(cd "$(dirname "$0")" && pwd)

bin=
for b in /usr/lib/postgresql/*/bin; do [ -x "$b/initdb" ] && bin=$b; done
[ -n "$bin" ] || { echo "PostgreSQL server not found (package postgresql)" >&2; exit 1; }

# PostgreSQL refuses to run as root.
as_owner() {
    if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

serve() {  # serve DIR PORT
    as_owner "$bin/pg_ctl" -D "$1/data" -l "$1/server.log" -w \
        -o "-c listen_addresses=127.0.0.1 -c port=$2 -c unix_socket_directories=$1" start >/dev/null
}

case "$cmd" in
start)
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    ini=${3:-$dir/odbc.ini}
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    [ "$(id -u)" = 0 ] && chown postgres "$dir"
    as_owner "$bin/initdb" -D "$dir/data" -U KVR -A trust >"$dir/initdb.log" 2>&1
    serve "$dir" "$port"
    echo "$port" > "$dir/port"
    as_owner "$bin/psql" -h 127.0.0.1 -p "$port" -U KVR -d postgres -q -c "create database kvr" >/dev/null
    as_owner "$bin/psql" -h 127.0.0.1 -p "$port" -U KVR -d kvr -q -f "$here/schema.sql" >/dev/null
    driver=
    for f in /usr/lib/*/odbc/psqlodbcw.so /usr/lib/odbc/psqlodbcw.so; do [ -e "$f" ] && driver=$f; done
    [ -n "$driver" ] || { echo "psqlODBC not found (package odbc-postgresql)" >&2; exit 1; }
    cat >> "$ini" <<EOI

[KVRPG]
Description = VelDrum file index (throwaway PostgreSQL)
Driver      = $driver
Servername  = 127.0.0.1
Port        = $port
Database    = kvr
Username    = KVR
EOI
    echo "VELDRUM_TEST_PG_DSN=KVRPG"
    ;;
pause)
    as_owner "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null
    ;;
resume)
    serve "$dir" "$(cat "$dir/port")"
    ;;
stop)
    [ -d "$dir/data" ] && as_owner "$bin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true
    rm -rf "$dir"
    ;;
*)
    echo "usage: pg-test-cluster.sh start|pause|resume|stop DIR [ODBCINI]" >&2
    exit 2
    ;;
esac

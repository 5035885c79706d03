#!/bin/bash
# The Debian package of this build tree, end to end: its control fields
# (name, version, Depends from the shared libraries plus the ODBC packages),
# its files and none of the test programs, the unit as installed and its
# hardening score, maintainer scripts that parse; then the extracted
# veldrum, started like the service from the packaged example files, records
# from the extracted stationsim into a SQLite index and stops cleanly.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR
set -u
build=$(cd "$1" && pwd) || exit 1
source=$(cd "$2" && pwd) || exit 1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" > cpack.txt 2>&1) ||
    { cat "$work/cpack.txt"; fail "cpack"; }
deb=$(ls "$work"/out/veldrum_*.deb 2>/dev/null | head -1)
[ -f "$deb" ] || fail "no veldrum_*.deb"
version=$(sed -n 's/^project(veldrum VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")
[ "$(basename "$deb")" = "veldrum_${version}_$(dpkg --print-architecture).deb" ] || fail "file name $deb"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = veldrum ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ -n "$(field Description)" ] || fail "no Description"
# Each wanted dependency as a whole name in the comma-separated list.
depends=",$(field Depends | tr -d ' '),"
for dep in 'libc6(' 'libstdc++6(' 'libodbc2(' 'libcpp-httplib' 'unixodbc,' 'libsqliteodbc,' 'adduser,'; do
    [[ $depends == *",$dep"* ]] || fail "Depends lacks $dep: $(field Depends)"
done
[[ ",$(field Recommends | tr -d ' ')," == *",odbc-postgresql,"* ]] || fail "Recommends: $(field Recommends)"

dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./||' > "$work/contents"
for f in usr/bin/veldrum usr/bin/stationsim usr/bin/lissdump usr/lib/systemd/system/veldrum@.service \
         usr/share/veldrum/schema.sql usr/share/veldrum/example/VELDRUM.INI \
         usr/share/veldrum/example/KVR.ini usr/share/veldrum/example/lmhosts usr/share/doc/veldrum/README.md; do
    grep -qx "$f" "$work/contents" || fail "$f not in the package"
done
! grep -Eq 'veldrum-test|/test_|_bench|^(etc|var|home)/' "$work/contents" || fail "files that do not belong: $(grep -E 'veldrum-test|/test_|_bench|^(etc|var|home)/' "$work/contents")"

x=$work/x
dpkg-deb -x "$deb" "$x" && dpkg-deb -e "$deb" "$work/control" || fail "extracting"
for s in postinst prerm postrm; do
    [ -x "$work/control/$s" ] && sh -n "$work/control/$s" || fail "maintainer script $s"
done
cmp -s "$x/usr/share/veldrum/schema.sql" "$source/db/schema.sql" || fail "schema differs from db/schema.sql"
unit=$x/usr/lib/systemd/system/veldrum@.service
for line in 'ExecStart=/usr/bin/veldrum %i' 'User=veldrum' 'WorkingDirectory=/var/lib/veldrum/%i' \
            'ProtectSystem=strict' 'NoNewPrivileges=yes' 'PrivateTmp=yes' 'ProtectHome=yes' \
            'SystemCallFilter=@system-service' 'SystemCallFilter=~@privileged @resources'; do
    grep -qxF "$line" "$unit" || fail "unit lacks $line"
done
# The hardening must not slip back: the README quotes 1.1 (11 on this scale).
if systemd-analyze security --help 2>/dev/null | grep -q -- --offline; then
    mkdir "$work/unit" && cp "$unit" "$work/unit/veldrum@ABC.service"
    systemd-analyze security --offline=yes --threshold=11 "$work/unit/veldrum@ABC.service" > "$work/security.txt" 2>&1 ||
        { tail -3 "$work/security.txt"; fail "systemd-analyze security above 1.1"; }
fi

# The station's directory as the README sets it up from the examples, with
# this test's paths, station name and ports; SeedLink on, with a small ring.
station=P$(printf '%05d' $(( $$ % 100000 )))
dir=$work/var/lib/veldrum/$station
mkdir -p "$dir/data" "$work/log"
read -r port http seedlink < <(python3 -c '
import socket
s = [socket.socket() for _ in range(3)]
for x in s: x.bind(("127.0.0.1", 0))
print(*(x.getsockname()[1] for x in s))')
for f in VELDRUM.INI KVR.ini lmhosts; do
    sed -e "s|/var/log/veldrum/ABC|$work/log|; s|/var/lib/veldrum/ABC|$dir|; s|^HTTP=.*|HTTP=127.0.0.1:$http|" \
        -e "s|^; SEEDLINK=.*|SEEDLINK=$seedlink\nSLRINGMB=1|" \
        -e "s|ABC|$station|g; s|^192\.0\.2\.10 |127.0.0.1:$port |" "$x/usr/share/veldrum/example/$f" > "$dir/$f"
done
eval "$(sh "$source/db/make-sqlite-dsn.sh" "$work/odbc")" || fail "SQLite DSN"
"$x/usr/bin/stationsim" --station "$station" --port "$port" --fast --speed 20 > "$work/sim.txt" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null; rm -rf "$work"' EXIT
# Under strace where there is one, to hold its system calls against the unit's filter.
trace=()
if command -v strace >/dev/null && command -v systemd-analyze >/dev/null; then
    trace=(strace -f -qq -o "$work/trace")
fi
(cd "$dir" && WINDIR=$dir exec "${trace[@]}" "$x/usr/bin/veldrum" "$station" FLUSH=5) 2> "$work/veldrum.txt" &
pid=$!
log() { iconv -f CP1251 -t UTF-8 "$work"/log/*.log 2>/dev/null; }
rows() {
    local n
    n=$(sqlite3 "$work/odbc/veldrum-index.sqlite" "select count(*) from filelist where sta='$station'" 2>/dev/null)
    echo "${n:-0}"
}
for _ in $(seq 200); do
    log | grep -q 'Станция подключена' && log | grep -q 'БД подключена' &&
        [ -n "$(find "$dir/data" -type f -name "*.$station")" ] && [ "$(rows)" -gt 0 ] && break
    kill -0 $pid 2>/dev/null || break
    sleep 0.1
done
log | grep -q 'Станция подключена' || fail "no session with stationsim: $(cat "$work/veldrum.txt")"
log | grep -q 'БД подключена' || fail "index not connected: $(log | tail -3)"
[ -n "$(find "$dir/data" -type f -name "*.$station")" ] || fail "no ring file written"
[ "$(rows)" -gt 0 ] || fail "no filelist row"
health=$(python3 -c "import urllib.request as u; print(u.urlopen('http://127.0.0.1:$http/api/health').read().decode())" 2>&1)
[[ $health == *'"status":"ok"'* ]] || fail "status page: $health"
# strace would only let go of it: the signal goes to veldrum itself, and
# strace ends with its exit code.
kill -TERM "$(pgrep -P $pid -x veldrum || echo $pid)"
wait $pid || fail "exit code after SIGTERM"
log | grep -q '#STOP#' || fail "STOP line"

# Every system call made is one the unit's SystemCallFilter lets through,
# bar fchown: keeping an INI file's owner may fail with EPERM by design; and
# every socket's family one of its RestrictAddressFamilies.
if [ ${#trace[@]} -gt 0 ]; then
    calls() {  # a group's calls, its nested groups expanded
        systemd-analyze syscall-filter "$1" | tail -n +2 | sed 's/#.*//' | tr -d ' ' | grep -v '^$' |
            while read -r c; do case $c in @*) calls "$c" ;; *) echo "$c" ;; esac; done
    }
    sed -E 's/^[0-9]+ +//; s/\(.*//' "$work/trace" | grep -E '^[a-z_0-9]+$' | sort -u > "$work/used"
    { calls @privileged; calls @resources; } | sort -u | grep -vx fchown > "$work/denied"
    calls @system-service | sort -u | comm -23 - "$work/denied" > "$work/allowed"
    [ -s "$work/used" ] || fail "no system calls traced"
    blocked=$(comm -23 "$work/used" "$work/allowed" | tr '\n' ' ')
    [ -z "$blocked" ] || fail "system calls the unit's filter refuses: $blocked"
    families=" $(sed -n 's/^RestrictAddressFamilies=//p' "$unit") "
    for f in $(grep -oE 'socket\(AF_[A-Z0-9]+' "$work/trace" | sed 's/socket(//' | sort -u); do
        [[ $families == *" $f "* ]] || fail "a socket of $f, which the unit does not allow"
    done
fi
echo OK

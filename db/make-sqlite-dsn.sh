#!/bin/sh
# make-sqlite-dsn.sh DIR: a user DSN "KVR" on the SQLite ODBC driver in DIR
# (odbc.ini, odbcinst.ini, veldrum-index.sqlite with its tables), each made
# only when missing. Prints the export lines that point unixODBC at DIR.
set -eu
dir=${1:?usage: make-sqlite-dsn.sh DIR}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

find_driver() {
    for f in /usr/lib/*/odbc/$1 /usr/lib/odbc/$1 /usr/lib64/$1 /usr/local/lib/odbc/$1; do
        [ -e "$f" ] && { echo "$f"; return 0; }
    done
    return 1
}
sqlite_driver=$(find_driver libsqlite3odbc.so) || { echo "SQLite ODBC driver not found (package libsqliteodbc)" >&2; exit 1; }
pg_driver=$(find_driver psqlodbcw.so || echo psqlodbcw.so)

db="$dir/veldrum-index.sqlite"
if [ ! -f "$dir/odbcinst.ini" ]; then
    sed -e "s|@SQLITE_DRIVER@|$sqlite_driver|" -e "s|@PG_DRIVER@|$pg_driver|" \
        "$here/odbcinst.ini.in" > "$dir/odbcinst.ini"
fi
if [ ! -f "$dir/odbc.ini" ]; then
    sed -e "s|@DRIVER@|SQLite3|" -e "s|@DATABASE@|$db|" "$here/odbc.ini.in" > "$dir/odbc.ini"
fi
sqlite3 "$db" < "$here/schema.sql"

echo "export ODBCINI=$dir/odbc.ini"
echo "export ODBCSYSINI=$dir"

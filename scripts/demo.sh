#!/usr/bin/env bash
# Installs what is needed, builds vorn, makes a small PostgreSQL 15 data directory with
# Debian's server (a few tables of varied types, TOAST values, a deleted row; the server is
# stopped again), writes demo/conf/vorn.ini for it and starts vorn in demo/.
#
#   bash scripts/demo.sh                      interactive
#   bash scripts/demo.sh < commands.txt       the commands of a file, then exit
#
# The data directory is made once and reused; VORN_DEMO_FRESH=1 makes it anew.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh

build="$root/build/demo"
if [ ! -x "$build/shell/vorn" ]; then
    echo "demo: building vorn in $build (the first run takes a few minutes)"
fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target vorn >/dev/null

pg_bin=/usr/lib/postgresql/15/bin
# Not under /tmp: a tmpfs refuses the O_DIRECT reads of vorn.
base=${VORN_DEMO_DIR:-/var/tmp/vorn-demo}
pgdata="$base/pgdata"
sockets="$base/run"
port=5432

# initdb and postgres refuse to run as root: as root they run as the user postgres.
as_pg=()
pg_user=$(id -un)
if [ "$(id -u)" -eq 0 ]; then
    as_pg=(runuser -u postgres --)
    pg_user=postgres
fi

stop_server() {
    if [ -f "$pgdata/postmaster.pid" ]; then
        "${as_pg[@]}" "$pg_bin/pg_ctl" -D "$pgdata" -m fast -w stop >/dev/null 2>&1 || true
    fi
}

demo="$root/demo"
if [ "${VORN_DEMO_FRESH:-0}" = 1 ] || [ ! -f "$pgdata/PG_VERSION" ]; then
    stop_server
    rm -rf "$base"
    # What vorn made of an earlier data directory belongs to that one.
    rm -rf "$demo/dict" "$demo/dump" "$demo/ddl"
    mkdir -p "$pgdata" "$sockets"
    [ ${#as_pg[@]} -eq 0 ] || chown -R postgres:postgres "$base"
    echo "demo: creating a PostgreSQL 15 data directory in $pgdata"
    "${as_pg[@]}" "$pg_bin/initdb" -D "$pgdata" -U "$pg_user" -A trust -E UTF8 --locale=C \
        >"$base/initdb.log" 2>&1
    "${as_pg[@]}" "$pg_bin/pg_ctl" -D "$pgdata" -l "$base/server.log" -w \
        -o "-c listen_addresses='' -k $sockets -p $port" start >/dev/null
    "${as_pg[@]}" psql -X -q -v ON_ERROR_STOP=1 -h "$sockets" -p "$port" -U "$pg_user" \
        -d postgres -f - <"$root/scripts/demo_data.sql"
    # A fast stop writes a checkpoint: every page is in the files vorn reads.
    stop_server
fi

mkdir -p "$demo/conf" "$demo/dump" "$demo/ddl"
version=$("$pg_bin/postgres" --version | sed -E 's/.* ([0-9]+)\.([0-9]+).*/\1.\2/')
cat >"$demo/conf/vorn.ini" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<vorn>
  <database>
    <db_version>$version</db_version>
    <pgdata_dir>$pgdata</pgdata_dir>
    <db_block_size>8192</db_block_size>
  </database>
  <export>
    <export_format>TEXT</export_format>
    <export_dir>dump</export_dir>
    <export_text><field_delim_char>|</field_delim_char></export_text>
  </export>
</vorn>
EOF

cd "$demo"
echo "demo: starting vorn in $demo (try: bootstrap, list table, unload schema public, exit)"
exec "$build/shell/vorn"

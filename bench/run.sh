#!/usr/bin/env bash
# Unload speed against the speed of reading the same files and of the server's own COPY.
#
# Builds (once, cached in /var/tmp/vorn-bench-<hash>) a data directory with Debian's
# PostgreSQL 15 holding bench_rows (10 million rows of int4, int8, md5 text, timestamptz,
# numeric(12,2), bool, float8: about 1.1 GB of heap) and bench_toast (TOAST-heavy), then
# measures in one run:
#   dd      dd iflag=direct bs=1M of the heap segment files
#   vorn    the decode-only unload of the same relation (every value decoded, rows counted)
#   text    vorn's unload of bench_rows to a COPY text file (export format TEXT)
#   binary  vorn's unload of bench_rows to a PGCOPY file (export format BINARY)
#   COPY    the server's COPY bench_rows TO STDOUT, text and (FORMAT binary), through psql
#           to /dev/null, with the cached cluster started for it and stopped after
#   db      vorn's streaming of bench_rows into a second, fresh target server (export format
#           DB), against the servers' own way between two databases: psql \copy ... to
#           stdout binary from the cached cluster piped into psql \copy ... from stdin
#           binary on the same target, each into a new, empty table bench
#   schema  UNLOAD SCHEMA of bench_schema (eight tables, an eighth of bench_rows each) to
#           TEXT with one and with eight workers, against pg_dump -Fd -j 8 -a -Z0 of it,
#           and dd iflag=direct of the schema's files (serially and all at once), the bound
#           the disk sets on the eight workers, and a CPU-only loop on one and on eight
#           threads, the bound the processors set
# and prints the rates and their ratios. Goals: vorn >= 1 GB/s on one core and >= 0.5 x dd;
# each unload to a file at least 4 x as fast as the server's COPY of the same format; the
# DB format at least as fast as the psql pipe; the schema with eight workers at least 5 x as
# fast as with one, and faster than pg_dump -j 8.
# Every measurement starts from a cold page cache. The export files go to a temporary
# folder under /var/tmp, removed at the end.
#
#   bash bench/run.sh [rows]      (default 10000000)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
rows=${1:-10000000}
pgbin=/usr/lib/postgresql/15/bin

as_postgres() { if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@" </dev/null; else "$@" </dev/null; fi; }

# Builds the cluster in $work. Its text keys the cache, so changes elsewhere in this script
# reuse a cluster already built.
build_cluster() {
    local sock psql
    rm -rf "$work"
    mkdir -p "$work"
    [ "$(id -u)" -ne 0 ] || chown postgres: "$work"
    sock=$(mktemp -d /tmp/vbench.XXXXXX)
    [ "$(id -u)" -ne 0 ] || chown postgres: "$sock"
    as_postgres "$pgbin/initdb" -D "$data" --locale=C -E UTF8 -U postgres --auth=trust >/dev/null
    as_postgres "$pgbin/pg_ctl" -D "$data" -w -l "$work/server.log" \
        -o "-c listen_addresses='' -c unix_socket_directories=$sock -c autovacuum=off -c fsync=off -c jit=off -c max_wal_size=4GB" \
        start >/dev/null
    psql=(psql -X -q -v ON_ERROR_STOP=1 -h "$sock" -U postgres -d postgres)
    "${psql[@]}" <<SQL
CREATE TABLE bench_rows (i int4, b int8, t text, ts timestamptz, n numeric(12,2), f bool, d float8);
INSERT INTO bench_rows
SELECT g, g * 1000003::int8, md5(g::text), '2020-01-01'::timestamptz + g * interval '1 second',
       (g % 1000000) / 100.0, g % 2 = 0, g * 0.5
FROM generate_series(1, $rows) g;
CREATE TABLE bench_toast (id int4, v text);
INSERT INTO bench_toast
SELECT i, (SELECT string_agg(repeat(md5((i * 1000 + j)::text), 2), '') FROM generate_series(1, 400) j)
FROM generate_series(1, 5000) i;
VACUUM (FREEZE, ANALYZE) bench_rows, bench_toast;
CREATE SCHEMA bench_schema;
SQL
    # The schema of the parallel unload: eight tables of bench_rows' shape, an eighth each.
    for k in 1 2 3 4 5 6 7 8; do
        "${psql[@]}" -c "CREATE TABLE bench_schema.part$k AS SELECT * FROM bench_rows
                         WHERE i % 8 = $k - 1" -c "VACUUM (FREEZE) bench_schema.part$k" &
    done
    wait
    for t in bench_rows bench_toast; do
        "${psql[@]}" -At -F ' ' -c "
SELECT 'relation', (SELECT oid FROM pg_database WHERE datname = current_database()), c.oid,
       c.relfilenode, (SELECT dattablespace FROM pg_database WHERE datname = current_database()),
       c.reltoastrelid, COALESCE(tc.relfilenode, 0)
FROM pg_class c LEFT JOIN pg_class tc ON tc.oid = c.reltoastrelid WHERE c.relname = '$t';
SELECT 'column', attnum, atttypid, attlen, attalign, CASE WHEN attbyval THEN 't' ELSE 'f' END,
       atttypmod, attname
FROM pg_attribute WHERE attrelid = '$t'::regclass AND attnum > 0 ORDER BY attnum;" >"$work/$t.rel"
        "${psql[@]}" -At -c "SELECT pg_relation_filepath('$t')" >"$work/$t.path"
    done
    as_postgres "$pgbin/pg_ctl" -D "$data" -w -m fast stop >/dev/null
    rmdir "$sock" 2>/dev/null || true
    touch "$work/ready"
}

hash=$( (declare -f build_cluster; echo "$rows") | sha256sum | cut -c1-12)
work=/var/tmp/vorn-bench-$hash
data=$work/data

cmake -S "$root" -B "$root/build/bench" -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_TESTS=OFF >/dev/null
cmake --build "$root/build/bench" -j "$(nproc)" --target vorn_bench_unload vorn_bench_schema \
    vorn_bench_cpu >/dev/null

[ -f "$work/ready" ] || build_cluster

drop_caches() { sync; echo 3 >/proc/sys/vm/drop_caches 2>/dev/null || true; }

heap=$data/$(cat "$work/bench_rows.path")
files=("$heap" "$heap".[0-9]*)
[ -e "${files[1]}" ] || files=("$heap")
bytes=$(cat "${files[@]}" | wc -c)

drop_caches
start=$(date +%s.%N)
for f in "${files[@]}"; do dd if="$f" of=/dev/null iflag=direct bs=1M status=none; done
end=$(date +%s.%N)
dd_rate=$(awk -v b="$bytes" -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", b / (e - s) / 1e9 }')

drop_caches
vorn_line=$("$root/build/bench/bench/vorn_bench_unload" "$data" "$work/bench_rows.rel")
vorn_rate=$(echo "$vorn_line" | sed -E 's/.* GB\/s ([0-9.]+) .*/\1/')

drop_caches
toast_line=$("$root/build/bench/bench/vorn_bench_unload" "$data" "$work/bench_toast.rel")

printf 'heap bytes        %s\n' "$bytes"
printf 'dd iflag=direct   %.3f GB/s\n' "$dd_rate"
printf 'vorn decode-only  %s GB/s   (%s)\n' "$vorn_rate" "$vorn_line"
printf 'ratio vorn / dd   %s   (goal >= 0.5; and vorn >= 1 GB/s)\n' \
    "$(awk -v v="$vorn_rate" -v d="$dd_rate" 'BEGIN { printf "%.2f", v / d }')"
printf 'toast table       %s\n' "$toast_line"

# The unloads to files, then the server's COPY of the same table, both from a cold cache.
export_dir=$(mktemp -d /var/tmp/vorn-bench-export.XXXXXX)
sock=
target=
tsock=
cleanup() {
    if [ -n "$sock" ]; then
        as_postgres "$pgbin/pg_ctl" -D "$data" -w -m fast stop >/dev/null 2>&1 || true
        rmdir "$sock" 2>/dev/null || true
    fi
    if [ -n "$target" ]; then
        as_postgres "$pgbin/pg_ctl" -D "$target/data" -w -m immediate stop >/dev/null 2>&1 || true
        rm -rf "$target" "$tsock"
    fi
    rm -rf "$export_dir"
}
trap cleanup EXIT

# The cached cluster as the source of the server's own measurements, on a socket of its own.
start_source() {
    sock=$(mktemp -d /tmp/vbench.XXXXXX)
    [ "$(id -u)" -ne 0 ] || chown postgres: "$sock"
    as_postgres "$pgbin/pg_ctl" -D "$data" -w -l "$work/server.log" \
        -o "-c listen_addresses='' -c unix_socket_directories=$sock -c autovacuum=off -c fsync=off -c jit=off" \
        start >/dev/null
    psql=(psql -X -q -v ON_ERROR_STOP=1 -h "$sock" -U postgres -d postgres)
}
stop_source() {
    as_postgres "$pgbin/pg_ctl" -D "$data" -w -m fast stop >/dev/null
    rmdir "$sock" 2>/dev/null || true
    sock=
}

seconds_of() { echo "$1" | sed -E 's/.* seconds ([0-9.]+) .*/\1/'; }
declare -A vorn_seconds
for format in text binary; do
    mkdir -p "$export_dir/$format"
    drop_caches
    line=$("$root/build/bench/bench/vorn_bench_unload" --export "$format" "$export_dir/$format" \
        "$data" "$work/bench_rows.rel")
    vorn_seconds[$format]=$(seconds_of "$line")
    printf 'vorn %-6s        %s\n' "$format" "$line"
    rm -f "$export_dir/$format"/*
done

start_source
declare -A copy_seconds
for format in text binary; do
    options=
    [ "$format" = text ] || options=" (FORMAT binary)"
    # The server's own buffers hold nothing of the table after a restart; drop the OS's too.
    as_postgres "$pgbin/pg_ctl" -D "$data" -w -m fast restart >/dev/null
    drop_caches
    start=$(date +%s.%N)
    "${psql[@]}" -c "COPY bench_rows TO STDOUT$options" >/dev/null
    end=$(date +%s.%N)
    copy_seconds[$format]=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }')
done
stop_source

for format in text binary; do
    printf 'COPY %-6s        %s s   vorn %s s   ratio COPY / vorn %s   (goal >= 4)\n' "$format" \
        "${copy_seconds[$format]}" "${vorn_seconds[$format]}" \
        "$(awk -v c="${copy_seconds[$format]}" -v v="${vorn_seconds[$format]}" 'BEGIN { printf "%.2f", c / v }')"
done

# Streaming into a live database. The target is a fresh cluster with the settings of the
# source; each run loads a new, empty table after a checkpoint, from a cold cache.
target=$(mktemp -d /var/tmp/vorn-bench-target.XXXXXX)
tsock=$(mktemp -d /tmp/vbench-t.XXXXXX)
[ "$(id -u)" -ne 0 ] || chown postgres: "$target" "$tsock"
as_postgres "$pgbin/initdb" -D "$target/data" --locale=C -E UTF8 -U postgres --auth=trust >/dev/null
as_postgres "$pgbin/pg_ctl" -D "$target/data" -w -l "$target/server.log" \
    -o "-c listen_addresses='' -c unix_socket_directories=$tsock -c autovacuum=off -c fsync=off -c jit=off -c max_wal_size=4GB" \
    start >/dev/null
tpsql=(psql -X -q -v ON_ERROR_STOP=1 -h "$tsock" -U postgres -d postgres)
fresh_target() {
    "${tpsql[@]}" -c "SET client_min_messages = warning" -c "DROP TABLE IF EXISTS bench" \
        -c "CREATE TABLE bench (i int4, b int8, t text, ts timestamptz, n numeric(12,2), f bool, d float8)" \
        -c "CHECKPOINT"
}
target_rows() { "${tpsql[@]}" -At -c "SELECT count(*) FROM bench"; }

fresh_target
drop_caches
line=$("$root/build/bench/bench/vorn_bench_unload" --export db "postgres/@$tsock:5432/postgres" \
    "$data" "$work/bench_rows.rel")
db_vorn_seconds=$(seconds_of "$line")
db_vorn_rows=$(target_rows)
printf 'vorn db            %s (target rows %s)\n' "$line" "$db_vorn_rows"

fresh_target
start_source
drop_caches
start=$(date +%s.%N)
"${psql[@]}" -c '\copy bench_rows to stdout binary' | "${tpsql[@]}" -c '\copy bench from stdin binary'
end=$(date +%s.%N)
db_pipe_seconds=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }')
db_pipe_rows=$(target_rows)
stop_source

printf 'psql pipe db       %s s (target rows %s)   vorn %s s   ratio pipe / vorn %s   (goal >= 1)\n' \
    "$db_pipe_seconds" "$db_pipe_rows" "$db_vorn_seconds" \
    "$(awk -v c="$db_pipe_seconds" -v v="$db_vorn_seconds" 'BEGIN { printf "%.2f", c / v }')"

# UNLOAD SCHEMA bench_schema (eight tables, about 1.1 GB) with one and eight workers, and the
# server's pg_dump -j 8 of the same schema, each from a cold cache.
schema_seconds() {
    local dir="$export_dir/schema$1"
    mkdir -p "$dir"
    drop_caches
    "$root/build/bench/bench/vorn_bench_schema" "$data" bench_schema "$1" "$dir" \
        "$export_dir/dict$1" 2>&1 >/dev/null | sed -E -n 's/^seconds ([0-9.]+)$/\1/p'
    rm -rf "$dir"
}
schema1=$(schema_seconds 1)
schema8=$(schema_seconds 8)

start_source
mapfile -t schema_files < <("${psql[@]}" -At -c "
SELECT pg_relation_filepath(c.oid) FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace
WHERE n.nspname = 'bench_schema' AND c.relkind = 'r' ORDER BY 1")
dump_dir=$(mktemp -d /var/tmp/vorn-bench-dump.XXXXXX)
rmdir "$dump_dir"
drop_caches
start=$(date +%s.%N)
"$pgbin/pg_dump" -h "$sock" -U postgres -Fd -j 8 -a -Z0 -n bench_schema -f "$dump_dir" postgres
end=$(date +%s.%N)
dump_seconds=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }')
rm -rf "$dump_dir"
stop_source

# What the disk allows: the schema's files read with direct I/O in 1 MiB requests, one file
# after the other and all eight at once. Parallel 8 cannot beat the faster of the two by much,
# so parallel 1 / that is about the highest ratio this machine can show.
segments=()
for f in "${schema_files[@]}"; do
    for s in "$data/$f" "$data/$f".[0-9]*; do [ ! -e "$s" ] || segments+=("$s"); done
done
drop_caches
start=$(date +%s.%N)
for f in "${segments[@]}"; do dd if="$f" of=/dev/null iflag=direct bs=1M status=none; done
end=$(date +%s.%N)
dd_serial=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }')
drop_caches
start=$(date +%s.%N)
for f in "${segments[@]}"; do dd if="$f" of=/dev/null iflag=direct bs=1M status=none & done
wait
end=$(date +%s.%N)
dd_parallel=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }')

printf 'schema files dd    %s s one after the other, %s s all at once   (parallel 1 / faster: %s)\n' \
    "$dd_serial" "$dd_parallel" \
    "$(awk -v a="$schema1" -v b="$dd_serial" -v c="$dd_parallel" 'BEGIN { m = b < c ? b : c; printf "%.2f", a / m }')"
cpu_line=$("$root/build/bench/bench/vorn_bench_cpu" 8)
printf 'cpu 8 threads      %s   (what eight threads of integer work gain here)\n' "$cpu_line"
printf 'schema parallel 1  %s s   parallel 8 %s s   ratio %s   (goal >= 5)\n' "$schema1" "$schema8" \
    "$(awk -v a="$schema1" -v b="$schema8" 'BEGIN { printf "%.2f", a / b }')"
printf 'pg_dump -j 8       %s s   vorn parallel 8 %s s   ratio pg_dump / vorn %s   (goal > 1)\n' \
    "$dump_seconds" "$schema8" \
    "$(awk -v a="$dump_seconds" -v b="$schema8" 'BEGIN { printf "%.2f", a / b }')"

#!/usr/bin/env bash
# Builds the libFuzzer target over the page readers and value decoders with clang, seeds it
# with real pages of the cached PostgreSQL fixtures, and runs it for a while (default 60 s).
# A crash leaves its input in build/fuzz/artifacts and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-60}
build="$root/build/fuzz"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DVORN_FUZZ=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target vorn_fuzz_pages

corpus="$build/corpus"
seeds="$build/seeds"
mkdir -p "$corpus" "$seeds"

# Seeds: the first pages of a few relation files of one fixture, each behind the selector
# byte (high nibble: block size 8192 is index 2; low nibble: 0 heap tuples, 2 TOAST chunks).
fixture=""
for label in deb15 pg17; do
    if [ -f "$root/build/fixtures/$label.path" ]; then
        fixture=$(cat "$root/build/fixtures/$label.path")
        break
    fi
done
if [ -n "$fixture" ]; then
    n=0
    while IFS= read -r -d '' file; do
        [ "$(stat -c %s "$file")" -ge 8192 ] || continue
        for selector in '\x20' '\x22' '\x24'; do
            { printf "$selector"; head -c 8192 "$file"; } >"$seeds/seed_$n"
            n=$((n + 1))
        done
        [ $n -lt 150 ] || break
    done < <(find "$fixture/data/base" -type f -regex '.*/[0-9]+' -print0 | sort -z)
    # B-tree and visibility map pages (selector 8): the meta page and the first leaf of some
    # catalogue indexes, and the first map page of their catalogues.
    for file in "$fixture"/data/base/*/2662 "$fixture"/data/base/*/2659 "$fixture"/data/base/*/1259_vm; do
        [ -f "$file" ] || continue
        for skip in 0 1; do
            { printf '\x28'; dd if="$file" bs=8192 skip=$skip count=1 status=none; } >"$seeds/seed_$n"
            n=$((n + 1))
        done
    done
    # The commit log: a page of pg_xact, then one of pg_subtrans (selector 6).
    xact=$(find "$fixture/data/pg_xact" -type f | sort | head -n 1)
    if [ -n "$xact" ]; then
        { printf '\x26'; head -c 8192 "$xact"; head -c 8192 /dev/zero; } >"$seeds/seed_xact"
    fi
fi

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=0
rm -rf "$build/artifacts" && mkdir -p "$build/artifacts"
set +e
"$build/tests/fuzz/vorn_fuzz_pages" -max_total_time="$seconds" -max_len=33000 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/" "$corpus" "$seeds" \
    >"$build/fuzz.log" 2>&1
rc=$?
set -e
grep -E '^(#[0-9]+ *DONE|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY|Test unit written|.*runtime error)' \
    "$build/fuzz.log" || true
if [ $rc -ne 0 ]; then
    tail -n 60 "$build/fuzz.log" >&2
    echo "fuzz: failed (exit $rc); inputs in $build/artifacts" >&2
fi
exit $rc

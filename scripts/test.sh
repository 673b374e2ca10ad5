#!/usr/bin/env bash
# Installs what is needed, checks that every source file is as clang-format writes it, then
# builds and runs every test twice: a normal build and one with address and
# undefined-behaviour sanitizers. Both builds share one cache of real
# PostgreSQL data directories (build/fixtures), so the second run reuses the first's. A third
# build with the thread sanitizer runs only the parallel unload tests of the export tests.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh

echo "== format (clang-format) =="
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror

jobs=$(nproc)
cache="$root/build/fixtures"

run_build() {
    local dir=$1; shift
    cmake -S "$root" -B "$dir" -DVORN_FIXTURE_CACHE="$cache" "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 900 </dev/null
}

echo "== normal build =="
run_build "$root/build/normal" -DCMAKE_BUILD_TYPE=RelWithDebInfo

echo "== sanitizer build (address, undefined) =="
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=0:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
run_build "$root/build/asan" -DCMAKE_BUILD_TYPE=Debug -DVORN_SANITIZE=ON

echo "== thread sanitizer build (parallel unload tests) =="
tsan="$root/build/tsan"
cmake -S "$root" -B "$tsan" -DVORN_FIXTURE_CACHE="$cache" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVORN_TSAN=ON >/dev/null
cmake --build "$tsan" -j "$jobs" --target vorn_export_tests vorn_export_fixture_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir "$tsan" -j "$jobs" -R 'Parallel' --output-on-failure --timeout 900 </dev/null

echo "== fuzz (libFuzzer, address and undefined sanitizers) =="
bash scripts/fuzz.sh 60

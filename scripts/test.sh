#!/usr/bin/env bash
# Builds VelDrum and runs every test: a normal build, then the same tests
# under AddressSanitizer and UndefinedBehaviorSanitizer, the queue race test
# under ThreadSanitizer, the index tests against PostgreSQL, and the fuzzers
# for a bounded time. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/deps.sh test

jobs=$(nproc)
build() {  # build DIR [cmake options...]
    local dir=$1; shift
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
}

echo "== build and test"
build build
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 600

echo "== AddressSanitizer and UndefinedBehaviorSanitizer"
build build-asan -DVELDRUM_SANITIZE=ON
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 900

echo "== ThreadSanitizer"
build build-tsan -DVELDRUM_TSAN=ON
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -R 'Race' --timeout 600

if [ -x db/pg-test-cluster.sh ]; then
    echo "== file index against PostgreSQL"
    pgdir=$(mktemp -d /tmp/veldrum-pg.XXXXXX)
    trap 'db/pg-test-cluster.sh stop "$pgdir" || true' EXIT
    eval "$(db/pg-test-cluster.sh start "$pgdir")"
    ctest --test-dir build --output-on-failure -R 'Index|Recorder|Ring' --timeout 600
fi

if [ -x scripts/fuzz.sh ]; then
    echo "== fuzzing"
    scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
fi

echo "== all tests passed"

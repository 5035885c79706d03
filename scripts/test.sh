#!/usr/bin/env bash
# Builds VelDrum and runs every test: a normal build (the soak included),
# then the same tests under AddressSanitizer and UndefinedBehaviorSanitizer,
# the queue race test and the soak under ThreadSanitizer, the index tests
# against PostgreSQL, and the fuzzers for a bounded time. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/deps.sh test

jobs=$(nproc)
build() {  # build DIR [cmake options...]
    local dir=$1; shift
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELDRUM_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
}

# From npm: playwright-core drives the system's Chromium for the browser
# test; seisplotjs is the field's client in the SeedLink and FDSN tests,
# with @xmldom/xmldom for StationXML, as Node has no DOM; esbuild bundles
# seisplotjs for the page's seismograms at build time.
node_packages=(playwright-core@1.65.1 seisplotjs@3.2.2 @xmldom/xmldom@0.9.12 esbuild@0.28.2)
missing_node_packages() {
    for p in "${node_packages[@]}"; do
        [ -d "build/node/node_modules/${p%@*}" ] || { echo "${p%@*}"; return; }
    done
}
if [ -n "$(missing_node_packages)" ] && command -v npm >/dev/null; then
    npm install --silent --no-audit --no-fund --prefix build/node "${node_packages[@]}" || true
fi
if [ -n "$(missing_node_packages)" ]; then
    # On a developer's machine the tests that need them skip; CI must run them.
    if [ "${CI:-}" = true ]; then
        echo "npm package $(missing_node_packages) could not be installed: CI needs every test" >&2
        exit 1
    fi
    echo "npm packages could not be installed: the browser and Node client tests will be skipped"
fi
export VELDRUM_NODE_MODULES=$root/build/node/node_modules

echo "== build and test"
build build
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 600

echo "== AddressSanitizer and UndefinedBehaviorSanitizer"
build build-asan -DVELDRUM_SANITIZE=ON
# Full unwinding, so that what the ODBC drivers keep for the process's life
# is recognised by the suppressions.
ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0 \
LSAN_OPTIONS=suppressions=$root/scripts/lsan.supp:fast_unwind_on_malloc=0 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 900

echo "== ThreadSanitizer"
build build-tsan -DVELDRUM_TSAN=ON
# The queue race test, and the whole system once on a shorter bad day: a
# report in veldrum ends it with a non-zero exit code, which fails the soak.
TSAN_OPTIONS=halt_on_error=1 VELDRUM_SOAK_SECONDS=240 \
    ctest --test-dir build-tsan --output-on-failure -R 'Race|Soak' --timeout 900

echo "== file index against PostgreSQL"
pgtmp=$(mktemp -d /tmp/veldrum-pg.XXXXXX)
chmod 755 "$pgtmp"
trap 'db/pg-test-cluster.sh stop "$pgtmp/pg" >/dev/null 2>&1 || true; rm -rf "$pgtmp"' EXIT
eval "$(db/make-sqlite-dsn.sh "$pgtmp/odbc")"
db/pg-test-cluster.sh start "$pgtmp/pg" "$pgtmp/odbc/odbc.ini" >/dev/null
VELDRUM_TEST_PG_DSN=KVRPG ctest --test-dir build --output-on-failure -R 'Index|Recorder|Ring|Trim|Writer|Pass|Fdsn' --timeout 600

echo "== Release build and Debian package"
# What a station gets: the programs as the package ships them, warnings as
# errors at -O3 too, then the package test on that tree.
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELDRUM_WERROR=ON >/dev/null
cmake --build build-release -j"$jobs" --target veldrum stationsim lissdump
bash tests/package/package_test.sh build-release .

if [ -x scripts/fuzz.sh ]; then
    echo "== fuzzing"
    scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
fi

echo "== all tests passed"

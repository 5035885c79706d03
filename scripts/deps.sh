#!/usr/bin/env bash
# Installs the Debian packages that VelDrum needs and that are missing.
# Usage: scripts/deps.sh [build|test]   (default: test, which is everything)
set -euo pipefail

run_packages=(unixodbc libsqliteodbc sqlite3)
build_packages=(cmake ninja-build g++ pkg-config googletest libgtest-dev libbenchmark-dev
                unixodbc-dev libcpp-httplib-dev nlohmann-json3-dev libmseed-dev
                dpkg-dev file)
test_packages=(postgresql odbc-postgresql clang libfuzzer-14-dev libclang-rt-14-dev procps chromium
               python3-prometheus-client)

wanted=("${run_packages[@]}" "${build_packages[@]}")
if [ "${1:-test}" = test ]; then
    wanted+=("${test_packages[@]}")
fi

missing=()
for p in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
# Node.js and npm bundle the page's seismograms; a Node.js from elsewhere
# (with its own npm) will do, so Debian's are asked for only without one.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    missing+=(nodejs npm)
fi

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

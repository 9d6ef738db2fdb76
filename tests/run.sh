#!/usr/bin/env bash
# Builds the proxy and runs every test: unit tests and end-to-end tests that
# start the real binary on loopback. Installs what a fresh Debian machine
# lacks (needs root for that) and fails loudly if it cannot.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=()
command -v cmake >/dev/null || packages+=(cmake)
command -v g++ >/dev/null || packages+=(g++)
command -v make >/dev/null || packages+=(make)
[ -f /usr/include/gtest/gtest.h ] || packages+=(libgtest-dev)
[ -f /usr/include/ares.h ] || packages+=(libc-ares-dev)  # the resolver
[ -f /usr/include/idn2.h ] || packages+=(libidn2-dev)    # non-ASCII host names
command -v curl >/dev/null || packages+=(curl)
command -v openssl >/dev/null || packages+=(openssl)
command -v python3 >/dev/null || packages+=(python3)
command -v chromium >/dev/null || packages+=(chromium)  # the browser test
command -v promtool >/dev/null || packages+=(prometheus)  # promtool reads the /metrics page
bash packaging/apt-install.sh "${packages[@]}"  # prometheus (for promtool) has a service: not started

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" ${CMAKE_ARGS:-}
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j2 ${CTEST_ARGS:-}

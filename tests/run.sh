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
if [ ${#packages[@]} -gt 0 ]; then
  echo "installing: ${packages[*]}"
  # Debian starts a package's service on install (prometheus's) unless
  # policy-rc.d says no: the tests only run tools.
  own_policy=
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    own_policy=1
  fi
  rc=0
  apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${packages[@]}" || rc=$?
  [ -n "$own_policy" ] && rm -f /usr/sbin/policy-rc.d
  [ $rc = 0 ] || { echo "package install failed" >&2; exit 1; }
fi

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" ${CMAKE_ARGS:-}
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j2 ${CTEST_ARGS:-}

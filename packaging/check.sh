#!/usr/bin/env bash
# Builds the Debian package from this checkout, installs it, checks that the
# manual page renders without warnings and that systemd accepts the units,
# runs the installed binary with the packaged settings and fetches a page
# through it, then removes the package and checks that only its settings file
# is left (and nothing once purged). Run as root on a Debian machine; it
# installs what it needs. The proxy and the page's server run in a network
# namespace of their own, so the packaged port cannot clash with anything.
set -euo pipefail
cd "$(dirname "$0")/.."
PATH=$PATH:/usr/sbin:/sbin

if dpkg -s proxy >/dev/null 2>&1; then
  echo "a package named proxy is installed already; this check installs and removes its own" >&2
  exit 1
fi
packages=()
for tool in cmake:cmake g++:g++ make:make gzip:gzip dpkg-shlibdeps:dpkg-dev systemd-analyze:systemd man:man-db \
  curl:curl python3:python3 ip:iproute2 unshare:util-linux; do
  command -v "${tool%%:*}" >/dev/null || packages+=("${tool#*:}")
done
[ -f /usr/include/ares.h ] || packages+=(libc-ares-dev)
[ -f /usr/include/idn2.h ] || packages+=(libidn2-dev)
if [ ${#packages[@]} -gt 0 ]; then
  echo "installing: ${packages[*]}"
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${packages[@]}"
fi

build=${BUILD_DIR:-build-package}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPROXY_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
(cd "$build" && rm -f ./*.deb && cpack -G DEB >/dev/null)
deb=$(ls "$build"/proxy_*.deb)
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"

DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$(realpath "$deb")"
files=$(dpkg -L proxy)
trap 'dpkg --purge proxy >/dev/null 2>&1 || true' EXIT

warnings=$(man --warnings -l /usr/share/man/man1/proxy.1.gz 2>&1 >/dev/null)
[ -z "$warnings" ] || { echo "the manual page renders with warnings: $warnings" >&2; exit 1; }
systemd-analyze verify /lib/systemd/system/proxy.service
cp /lib/systemd/system/proxy@.service /tmp/proxy@1.service
systemd-analyze verify /tmp/proxy@1.service
rm /tmp/proxy@1.service

# The installed binary with the packaged settings, beside a page server.
page=$(mktemp -d)
echo "through the installed proxy" > "$page/index.html"
unshare -n bash -c '
  set -euo pipefail
  ip link set lo up
  set -a; . /etc/default/proxy; set +a
  python3 -m http.server --bind 127.0.0.1 18080 --directory "$1" >/dev/null 2>&1 & page=$!
  /usr/bin/proxy $PROXY_PORT $PROXY_OPTIONS >/dev/null & proxy=$!
  for i in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:18080/" && break; sleep 0.1; done
  got=$(curl -sS --retry 5 --retry-connrefused --retry-delay 1 -x "127.0.0.1:$PROXY_PORT" http://127.0.0.1:18080/)
  kill -TERM $proxy; wait $proxy
  kill $page; wait $page || true
  [ "$got" = "through the installed proxy" ] || { echo "fetched: $got" >&2; exit 1; }
' check "$page"
rm -rf "$page"

dpkg --remove proxy
left=$(for f in $files; do if [ -f "$f" ]; then echo "$f"; fi; done)
[ "$left" = /etc/default/proxy ] || { echo "left after removal: $left" >&2; exit 1; }
dpkg --purge proxy
[ ! -e /etc/default/proxy ] || { echo "the settings file outlived the purge" >&2; exit 1; }
trap - EXIT
echo "package check passed: $(basename "$deb")"

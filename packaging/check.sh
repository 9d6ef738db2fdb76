#!/usr/bin/env bash
# Builds the Debian package from this checkout, installs it, checks that the
# manual page renders without warnings, that systemd accepts the units, that
# logrotate reads the rotation snippet and that the fail2ban filter finds the
# refused credentials of an access log's lines (and only those),
# runs the installed binary with the packaged settings and fetches a page
# through it, then removes the package and checks that only its settings files
# (the conffiles) are left, and nothing once purged. Run as root on a Debian machine; it
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
  curl:curl python3:python3 ip:iproute2 unshare:util-linux logrotate:logrotate fail2ban-regex:fail2ban; do
  command -v "${tool%%:*}" >/dev/null || packages+=("${tool#*:}")
done
[ -f /usr/include/ares.h ] || packages+=(libc-ares-dev)
[ -f /usr/include/idn2.h ] || packages+=(libidn2-dev)
bash packaging/apt-install.sh "${packages[@]}"  # fail2ban has a service: not started

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
# Read the whole answer before looking in it: under pipefail, "grep -q" leaving
# at its first match would fail the pipe whenever logrotate is still writing.
rotation=$(logrotate --debug /etc/logrotate.d/proxy 2>&1) ||
  { echo "logrotate fails on /etc/logrotate.d/proxy: $rotation" >&2; exit 1; }
grep -q "/var/log/proxy/access.log" <<<"$rotation" ||
  { echo "logrotate does not read /etc/logrotate.d/proxy" >&2; exit 1; }
# Two refusals (IPv4, IPv6) among other outcomes: the filter finds exactly those.
sample=$(mktemp)
cat > "$sample" <<'LINES'
{"time":"2026-12-07T10:14:03.120Z","client":"192.0.2.7:51234","user":null,"method":"GET","target":"http://example.com/","host":"example.com","port":80,"status":407,"outcome":"auth","upstream":null,"pooled":false,"bytes_in":62,"bytes_out":120,"connect_ms":null,"duration_ms":0}
{"time":"2026-12-07T10:14:04.000Z","client":"[2001:db8::5]:40000","user":null,"method":"CONNECT","target":"example.com:443","host":"example.com","port":443,"status":407,"outcome":"auth","upstream":null,"pooled":false,"bytes_in":40,"bytes_out":120,"connect_ms":null,"duration_ms":1}
{"time":"2026-12-07T10:14:05.000Z","client":"192.0.2.8:51235","user":"alice","method":"GET","target":"http://auth.example/","host":"auth.example","port":80,"status":200,"outcome":"ok","upstream":"198.51.100.1:80","pooled":true,"bytes_in":80,"bytes_out":2000,"connect_ms":0,"duration_ms":12}
LINES
found=$(fail2ban-regex "$sample" /etc/fail2ban/filter.d/proxy-auth.conf | grep -E "^Lines: " || true)
rm -f "$sample"
case "$found" in
  "Lines: 3 lines, 0 ignored, 2 matched, 1 missed"*) ;;
  *) echo "the fail2ban filter does not find exactly the refused credentials: $found" >&2; exit 1 ;;
esac

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
left=$(for f in $files; do if [ -f "$f" ]; then echo "$f"; fi; done | sort)
[ "$left" = "$(sort packaging/conffiles)" ] || { echo "left after removal: $left" >&2; exit 1; }
dpkg --purge proxy
for f in $(cat packaging/conffiles); do
  [ ! -e "$f" ] || { echo "$f outlived the purge" >&2; exit 1; }
done
trap - EXIT
echo "package check passed: $(basename "$deb")"

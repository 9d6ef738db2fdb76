#!/usr/bin/env bash
# The proxy's benchmark beside five mature forward proxies, in one command:
#
#   bash bench/run.sh            # as root; full run, about 20-25 minutes
#   QUICK=1 bash bench/run.sh    # one short repetition (2,000 idle connections), about 2-3 minutes
#
# Installs what it needs from Debian (nginx as the origin; as peers nginx as a
# forward proxy, Privoxy, tinyproxy, Squid and Apache Traffic Server; wrk and
# ab as load, curl), builds the proxy (Release), writes its own configuration
# files into a scratch directory, starts its own instances on loopback only,
# runs every measurement against the direct connection, our proxy and each
# peer in turn (A B C ..., A B C ..., A B C ...), stops everything it started
# and writes a Markdown table of medians and ratios to bench/results.md and
# stdout (QUICK=1 only prints it).
#
# It never touches a system service: package installs run with a policy-rc.d
# that forbids starting services (unless the machine already has one), and
# only processes this script started are ever stopped, by their pid.
#
# Settings (environment): QUICK=1; BENCH_PORT=18100 (the origin's port; the
# proxies and the origin's status page listen on the next ports);
# BASELINES="name=/path/to/proxy ..." adds earlier builds of this proxy as
# further columns, measured in the same interleaved run (before/after
# comparisons; each name a letter-and-digit word); OURS_OPTIONS="..."
# options for our proxy in every measurement (for example
# OURS_OPTIONS="-p bench/ten_rules.policy", a policy of ten rules that lets
# the benchmark's traffic through, to show what checking it costs);
# BUILD_DIR=build-bench (relative to the repository); KEEP=1 keeps the
# scratch directory with every raw output.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
PATH=$PATH:/usr/sbin:/sbin
if [ "$(id -u)" != 0 ]; then
  echo "run as root: it installs packages and starts servers under their own users" >&2
  exit 1
fi
bench=$repo/bench

# ---------------------------------------------------------------- settings
if [ "${QUICK:-0}" = 1 ]; then
  reps=1; d_keepalive=3; d_1000=3; d_idle=3; ab_n=3000; downloads=5; mem_n=500; idle_n=${IDLE_N:-2000}
else
  reps=3; d_keepalive=10; d_1000=10; d_idle=5; ab_n=20000; downloads=20; mem_n=500; idle_n=${IDLE_N:-10000}
fi
origin_port=${BENCH_PORT:-18100}
declare -A port=([direct]=$origin_port [ours]=$((origin_port + 1)) [tinyproxy]=$((origin_port + 2))
  [squid]=$((origin_port + 3)) [nginxproxy]=$((origin_port + 4)) [privoxy]=$((origin_port + 5))
  [trafficserver]=$((origin_port + 6)))
# The origin's stub_status page: its count of accepted connections, read
# around a run, tells how many connections the proxies opened to it.
status_port=$((origin_port + 7))
targets=(direct ours nginxproxy privoxy tinyproxy squid trafficserver)
proxies=(ours nginxproxy privoxy tinyproxy squid trafficserver)
tunnels=(ours privoxy tinyproxy squid trafficserver)  # nginx has no CONNECT
declare -A baseline_bin=()
next_port=$((origin_port + 8))
for b in ${BASELINES:-}; do
  name=${b%%=*}
  baseline_bin[$name]=$(realpath "${b#*=}")
  port[$name]=$next_port
  next_port=$((next_port + 1))
  targets+=("$name"); proxies+=("$name"); tunnels+=("$name")
done
url_1k=http://127.0.0.1:$origin_port/1k
url_10m=http://127.0.0.1:$origin_port/10m

# ---------------------------------------------------------------- packages
packages=()
command -v nginx >/dev/null || packages+=(nginx)
command -v tinyproxy >/dev/null || packages+=(tinyproxy)
command -v squid >/dev/null || packages+=(squid)
command -v privoxy >/dev/null || [ -x /usr/sbin/privoxy ] || packages+=(privoxy)
command -v traffic_server >/dev/null || packages+=(trafficserver)
command -v bc >/dev/null || packages+=(bc)
command -v wrk >/dev/null || packages+=(wrk)
command -v ab >/dev/null || packages+=(apache2-utils)
command -v curl >/dev/null || packages+=(curl)
command -v python3 >/dev/null || packages+=(python3)
command -v cmake >/dev/null || packages+=(cmake)
command -v g++ >/dev/null || packages+=(g++)
command -v make >/dev/null || packages+=(make)
[ -f /usr/include/ares.h ] || packages+=(libc-ares-dev)
[ -f /usr/include/idn2.h ] || packages+=(libidn2-dev)
# The benchmark runs instances of its own: the system's services stay stopped.
APT_OPTIONS=--no-install-recommends bash packaging/apt-install.sh "${packages[@]}"

# ---------------------------------------------------------------- build
build=${BUILD_DIR:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPROXY_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target proxy >/dev/null
proxy_bin=$(cd "$build" && pwd)/bin/proxy

# ---------------------------------------------------------------- limits
# 10,000 idle connections need as many descriptors in the server, the
# holder and (for the direct case) nginx. Raise the hard limit where the
# machine allows it (root with CAP_SYS_RESOURCE), never lower it.
hard=$(ulimit -Hn)
if [ "$hard" != unlimited ] && [ "$hard" -lt 65536 ]; then
  ulimit -Hn 65536 2>/dev/null || true
  hard=$(ulimit -Hn)
fi
nofile=65536
[ "$hard" != unlimited ] && [ "$hard" -lt $nofile ] && nofile=$hard
ulimit -Sn "$nofile"
if [ $((idle_n + 600)) -gt "$nofile" ]; then
  idle_n=$((nofile - 600))
  echo "descriptor limit $nofile: holding $idle_n idle connections instead"
fi
# The holder stops opening connections once a server's resident memory
# passes 40% of what the machine has available, whatever the server does.
rss_cap_mib=$(awk '/MemAvailable/ { print int($2 * 0.4 / 1024) }' /proc/meminfo)

# ---------------------------------------------------------------- scratch
scratch=$(mktemp -d /tmp/proxy-bench.XXXXXX)
chmod 755 "$scratch"  # nginx workers, tinyproxy, squid and traffic_server run unprivileged
raw=$scratch/raw
mkdir -p "$raw" "$scratch/www" "$scratch/nginx/temp" "$scratch/nginxproxy/temp" "$scratch/tinyproxy" "$scratch/squid" \
  "$scratch/privoxy" "$scratch/trafficserver/etc" "$scratch/trafficserver/run" "$scratch/trafficserver/log" \
  "$scratch/trafficserver/cache"
head -c 1024 /dev/urandom > "$scratch/www/1k"
head -c 10485760 /dev/urandom > "$scratch/www/10m"
chmod 644 "$scratch/www/"*
# A block list of 100,000 domains, for the reload measurement.
seq 1 100000 | sed 's/.*/blocked-&.example/' > "$scratch/list100k"
chown nobody:nogroup "$scratch/tinyproxy"
chown proxy:proxy "$scratch/squid"
chown privoxy "$scratch/privoxy" 2>/dev/null || chown nobody "$scratch/privoxy"

# nginx, as the origin and as a forward proxy: one worker each (with two
# cores shared by everything, a second would only compete with the proxies
# and the load generator), no logs, endless keep-alive towards clients.
# nginx_conf DIR SERVER-BLOCK
nginx_conf() {
  cat > "$1/nginx.conf" <<EOF
worker_processes 1;
worker_rlimit_nofile $nofile;
pid $1/nginx.pid;
error_log $1/error.log warn;
daemon off;
events { worker_connections $((nofile - 100)); }
http {
  access_log off;
  keepalive_requests 100000000;
  keepalive_timeout 120s;
  default_type application/octet-stream;
  client_body_temp_path $1/temp;
  proxy_temp_path $1/temp;
  fastcgi_temp_path $1/temp;
  uwsgi_temp_path $1/temp;
  scgi_temp_path $1/temp;
$2
}
EOF
}
# The origin. A deep accept queue, so 1,000 connections opened at once are not
# dropped by it (the default of 511 would be the bottleneck).
nginx_conf "$scratch/nginx" "  sendfile on;
  tcp_nopush on;
  server {
    listen 127.0.0.1:$origin_port backlog=4096;
    listen [::1]:$origin_port backlog=4096;
    root $scratch/www;
  }
  server {
    listen 127.0.0.1:$status_port;
    location = /status { stub_status; }
  }"
# The forward proxy: the request's own host as the upstream, HTTP/1.1 to the
# origin. Upstreams named by variables have no keep-alive pool, so each
# request opens its origin connection anew.
nginx_conf "$scratch/nginxproxy" "  server {
    listen 127.0.0.1:${port[nginxproxy]} backlog=4096;
    location / {
      proxy_pass http://\$http_host\$request_uri;
      proxy_http_version 1.1;
      proxy_set_header Connection \"\";
      proxy_buffering off;
    }
  }"

# Privoxy with no filtering at all (no action or filter files), sharing
# connections to origins, with room for every client the runs open.
cat > "$scratch/privoxy/config" <<EOF
confdir $scratch/privoxy
logdir $scratch/privoxy
listen-address 127.0.0.1:${port[privoxy]}
toggle 0
enable-remote-toggle 0
enable-edit-actions 0
connection-sharing 1
keep-alive-timeout 120
socket-timeout 120
max-client-connections $((idle_n + 2000))
debug 0
EOF

# tinyproxy runs a thread per client, up to MaxClients.
cat > "$scratch/tinyproxy/tinyproxy.conf" <<EOF
User nobody
Group nogroup
Port ${port[tinyproxy]}
Listen 127.0.0.1
Timeout 600
MaxClients $((idle_n + 2000))
Allow 127.0.0.0/8
ConnectPort $origin_port
DisableViaHeader Yes
LogLevel Critical
LogFile "$scratch/tinyproxy/tinyproxy.log"
PidFile "$scratch/tinyproxy/tinyproxy.pid"
EOF

cat > "$scratch/squid/squid.conf" <<EOF
http_port 127.0.0.1:${port[squid]}
visible_hostname proxy-bench
acl loopback_clients src 127.0.0.0/8
acl CONNECT method CONNECT
acl origin_port port $origin_port
http_access deny CONNECT !origin_port
http_access allow loopback_clients
http_access deny all
cache deny all
cache_mem 0 MB
max_filedescriptors $nofile
via off
forwarded_for delete
access_log none
cache_store_log none
cache_log $scratch/squid/cache.log
pid_filename $scratch/squid/squid.pid
coredump_dir $scratch/squid
netdb_filename none
pinger_enable off
logfile_rotate 0
shutdown_lifetime 1 seconds
EOF

# Apache Traffic Server, started as traffic_server alone (no traffic_manager)
# with a layout of its own: TS_RUNROOT names a runroot.yaml that puts its
# configuration, run, log and cache directories under the scratch directory,
# so nothing of the system's instance (/etc/trafficserver, /var/...) is read
# or written. Only records the benchmark depends on are set; the rest keep
# their built-in defaults.
ts=$scratch/trafficserver
cat > "$ts/runroot.yaml" <<EOF
prefix: $ts
bindir: /usr/bin
libdir: /usr/lib/trafficserver
libexecdir: /usr/lib/trafficserver/modules
sysconfdir: $ts/etc
localstatedir: $ts/run
runtimedir: $ts/run
logdir: $ts/log
cachedir: $ts/cache
EOF
cat > "$ts/etc/records.config" <<EOF
# One network thread, which also accepts (like the other single-event-loop
# servers here), and the single task thread the server insists on; threads
# not pinned to cores, like every other process in the run.
CONFIG proxy.config.exec_thread.autoconfig INT 0
CONFIG proxy.config.exec_thread.limit INT 1
CONFIG proxy.config.exec_thread.affinity INT 0
CONFIG proxy.config.accept_threads INT 0
CONFIG proxy.config.task_threads INT 1
# Loopback only; CONNECT allowed to the origin's port alone.
CONFIG proxy.config.http.server_ports STRING ${port[trafficserver]}:ip-in=127.0.0.1
CONFIG proxy.config.http.connect_ports STRING $origin_port
# Accept a connection as soon as it is established, as the other servers do:
# by default the kernel holds it (TCP_DEFER_ACCEPT, 45 s) until the client
# sends, so idle clients would never reach the server and the idle-connection
# rows would measure the kernel instead.
CONFIG proxy.config.net.defer_accept INT 0
# A forward proxy without a cache: requests in absolute form go to the host
# they name, with no remap rule needed.
CONFIG proxy.config.http.cache.http INT 0
CONFIG proxy.config.url_remap.remap_required INT 0
# No Via or X-Forwarded-For lines, as the other peers are set up.
CONFIG proxy.config.http.insert_request_via_str INT 0
CONFIG proxy.config.http.insert_response_via_str INT 0
CONFIG proxy.config.http.insert_client_ip INT 0
CONFIG proxy.config.http.insert_squid_x_forwarded_for INT 0
# No access log, and no crash-log helper process beside the server.
CONFIG proxy.config.log.logging_enabled INT 0
CONFIG proxy.config.crash_log_helper STRING NULL
# Root starts it; it serves as the package's unprivileged user.
CONFIG proxy.config.admin.user_id STRING trafficserver
EOF
# No remap rules (not required above), and no cache storage: the server logs
# "Cache Disabled" and forwards every request.
: > "$ts/etc/remap.config"
: > "$ts/etc/storage.config"
# Loopback clients may use every method; every other address is refused.
cat > "$ts/etc/ip_allow.yaml" <<EOF
ip_allow:
  - apply: in
    ip_addrs: 127.0.0.0/8
    action: allow
    methods: ALL
EOF
chown -R trafficserver:trafficserver "$ts"

# ---------------------------------------------------------------- processes
declare -A pid=()  # what this script started, by name
holder_pid=
second_pid=  # a second process of ours on the same port
read -r -a ours_default <<<"${OURS_OPTIONS:-}"
ours_options=("${ours_default[@]}")

stop_pid() {
  local p=$1 i
  kill -TERM "$p" 2>/dev/null || return 0
  for i in $(seq 1 100); do
    kill -0 "$p" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$p" 2>/dev/null || true
  wait "$p" 2>/dev/null || true
}

cleanup() {
  local name
  [ -n "$holder_pid" ] && stop_pid "$holder_pid"
  [ -n "$second_pid" ] && stop_pid "$second_pid"
  for name in "${!pid[@]}"; do
    stop_pid "${pid[$name]}"
  done
  if [ "${KEEP:-0}" = 1 ]; then
    echo "scratch directory kept: $scratch"
  else
    rm -rf "$scratch"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# Connections the origin has accepted so far (nginx's stub_status counter,
# which counts the connection that reads it too).
origin_accepts() {
  curl -s -m 5 "http://127.0.0.1:$status_port/status" | awk 'NR == 3 && $1 ~ /^[0-9]+$/ { print $1 }'
}

wait_port() {
  local i
  for i in $(seq 1 100); do
    port_open "$1" && return 0
    sleep 0.1
  done
  echo "nothing listens on 127.0.0.1:$1 after 10 s" >&2
  return 1
}

start() {
  case $1 in
    direct) nginx -p "$scratch/nginx" -e "$scratch/nginx/error.log" -c "$scratch/nginx/nginx.conf" & ;;
    nginxproxy) nginx -p "$scratch/nginxproxy" -e "$scratch/nginxproxy/error.log" -c "$scratch/nginxproxy/nginx.conf" & ;;
    privoxy) "$(command -v privoxy || echo /usr/sbin/privoxy)" --no-daemon "$scratch/privoxy/config" \
      >"$scratch/privoxy/stdout" 2>&1 & ;;
    ours) "$proxy_bin" "${port[ours]}" "${ours_options[@]}" >/dev/null & ;;
    tinyproxy) tinyproxy -d -c "$scratch/tinyproxy/tinyproxy.conf" >"$scratch/tinyproxy/stdout" 2>&1 & ;;
    squid) squid -N -f "$scratch/squid/squid.conf" >"$scratch/squid/stdout" 2>&1 & ;;
    trafficserver) TS_RUNROOT=$ts/runroot.yaml traffic_server >"$ts/stdout" 2>&1 & ;;
    *) "${baseline_bin[$1]}" "${port[$1]}" >/dev/null & ;;  # an earlier build of ours
  esac
  pid[$1]=$!
  wait_port "${port[$1]}"
}

restart() {
  stop_pid "${pid[$1]}"
  unset "pid[$1]"
  start "$1"
}

for p in "${port[@]}" "$status_port"; do
  if port_open "$p"; then
    echo "port $p is taken already; choose others with BENCH_PORT=..." >&2
    exit 1
  fi
done
for t in "${targets[@]}"; do start "$t"; done

# Every peer must answer through both paths before anything is measured.
for t in "${proxies[@]}"; do
  modes=(plain)
  [[ " ${tunnels[*]} " == *" $t "* ]] && modes+=(tunnel)
  for mode in "${modes[@]}"; do
    flag=; [ $mode = tunnel ] && flag=-p
    got=$(curl -s -m 10 $flag -x "127.0.0.1:${port[$t]}" -o /dev/null -w '%{http_code} %{size_download}' "$url_1k" || true)
    if [ "$got" != "200 1024" ]; then
      echo "$t does not forward ($mode): got '$got'; see $scratch" >&2
      KEEP=1
      exit 1
    fi
  done
done
if [ -z "$(origin_accepts)" ]; then
  echo "the origin's status page on 127.0.0.1:$status_port does not answer; see $scratch" >&2
  KEEP=1
  exit 1
fi

# ---------------------------------------------------------------- measurements
# Each writes its raw output to $raw/<measurement>.<target>.<repetition>.

# The kernel's count of connections dropped because a listener's accept
# queue was full (machine-wide): a server that accepts too slowly shows here,
# and its clients see SYN retransmits of a second or more.
listen_overflows() {
  awk '/^TcpExt:/ { if (!h) { for (i = 1; i <= NF; i++) if ($i == "ListenOverflows") c = i; h = 1 } else print $c }' /proc/net/netstat
}

# CPU seconds used so far by a process and all its descendants (with the
# children they have reaped): user plus system time.
cpu_seconds() {
  python3 - "$1" <<'EOF'
import os, sys
root, parent, ticks = sys.argv[1], {}, {}
for pid in filter(str.isdigit, os.listdir("/proc")):
    try:
        fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    except OSError:
        continue
    parent[pid], ticks[pid] = fields[1], sum(int(x) for x in fields[11:15])
def inside(p):
    while p in parent and p != root:
        p = parent[p]
    return p == root
print(sum(t for p, t in ticks.items() if inside(p)) / os.sysconf("SC_CLK_TCK"))
EOF
}

wrk_run() {  # target connections seconds output
  local t=$1 c=$2 d=$3 out=$4 before cpu_before
  before=$(listen_overflows)
  cpu_before=$(cpu_seconds "${pid[$t]}")
  if [ "$t" = direct ]; then
    timeout $((d + 30)) wrk -t2 -c"$c" -d"${d}s" --timeout 5s --latency "$url_1k" >"$out" 2>&1 || true
  else
    BENCH_TARGET=$url_1k timeout $((d + 30)) wrk -t2 -c"$c" -d"${d}s" --timeout 5s --latency \
      -s "$bench/absolute_form.lua" "http://127.0.0.1:${port[$t]}/" >"$out" 2>&1 || true
  fi
  echo "listen_overflows $(( $(listen_overflows) - before ))" >>"$out"
  echo "cpu_seconds $(echo "$(cpu_seconds "${pid[$t]}") - $cpu_before" | bc)" >>"$out"
}

wrk6_run() {  # target output: keep-alive, 50 connections, client, proxy and origin all on ::1
  local t=$1 out=$2
  if [ "$t" = direct ]; then
    timeout $((d_keepalive + 30)) wrk -t2 -c50 -d"${d_keepalive}s" --timeout 5s --latency \
      "http://[::1]:$origin_port/1k" >"$out" 2>&1 || true
  else
    BENCH_TARGET="http://[::1]:$origin_port/1k" timeout $((d_keepalive + 30)) wrk -t2 -c50 -d"${d_keepalive}s" \
      --timeout 5s --latency -s "$bench/absolute_form.lua" "http://[::1]:${port[$t]}/" >"$out" 2>&1 || true
  fi
}

ab_run() {  # target output
  local proxy=() before after
  [ "$1" != direct ] && proxy=(-X "127.0.0.1:${port[$1]}")
  before=$(origin_accepts)
  timeout 120 ab -r -s 10 -n "$ab_n" -c 50 "${proxy[@]}" "$url_1k" >"$2" 2>&1 || true
  after=$(origin_accepts)
  # Nothing else reaches the origin during the run, so the difference, less
  # the second reading's own connection, is what the run opened to it.
  if [ -n "$before" ] && [ -n "$after" ]; then
    echo "origin_accepts $((after - before - 1))" >>"$2"
  fi
}

download_run() {  # target plain|tunnel output
  local via=()
  [ "$1" != direct ] && via=(-x "127.0.0.1:${port[$1]}")
  [ "$2" = tunnel ] && via+=(-p)
  # One curl, one reused connection (or tunnel), $downloads transfers.
  timeout 120 curl -s -m 60 "${via[@]}" -o /dev/null -w '%{size_download} %{time_total} %{http_code}\n' \
    "$url_10m?n=[1-$downloads]" >"$3" 2>&1 || true
}

memory_run() {  # target output
  # A fresh process, so memory that earlier loads left allocated does not hide the cost.
  restart "$1"
  timeout 90 python3 "$bench/hold_connections.py" memory --connect "127.0.0.1:${port[$1]}" \
    --target "$url_1k" --proxy-form --count "$mem_n" --pid "${pid[$1]}" \
    --max-rss-mib "$rss_cap_mib" >"$2" 2>&1 || true
}

idle_run() {  # target repetition
  local t=$1 r=$2 form=() i
  [ "$t" != direct ] && form=(--proxy-form)
  wrk_run "$t" 50 "$d_idle" "$raw/idle_base.$t.$r"
  python3 "$bench/hold_connections.py" hold --connect "127.0.0.1:${port[$t]}" --target "$url_1k" "${form[@]}" \
    --count "$idle_n" --sources 20 --pid "${pid[$t]}" --max-rss-mib "$rss_cap_mib" \
    --timeout 60 --hold-seconds 120 >"$raw/idle_hold.$t.$r" 2>&1 &
  holder_pid=$!
  for i in $(seq 1 700); do
    grep -qs '"ready"' "$raw/idle_hold.$t.$r" && break
    kill -0 "$holder_pid" 2>/dev/null || break
    sleep 0.1
  done
  wrk_run "$t" 50 "$d_idle" "$raw/idle_wrk.$t.$r"
  kill -USR1 "$holder_pid" 2>/dev/null || true
  for i in $(seq 1 700); do
    kill -0 "$holder_pid" 2>/dev/null || break
    sleep 0.1
  done
  stop_pid "$holder_pid"
  holder_pid=
}

reload_run() {  # output
  # Ours with the 100,000-line list, reloaded (SIGHUP) while one client asks in a loop.
  ours_options=("${ours_default[@]}" -b "$scratch/list100k")
  restart ours
  timeout 60 python3 "$bench/reload_stall.py" --connect "127.0.0.1:${port[ours]}" --target "$url_1k" \
    --pid "${pid[ours]}" >"$1" 2>&1 || true
  ours_options=("${ours_default[@]}")
  restart ours
}

processes_run() {  # repetition
  # A second process of ours listening on the same port: the kernel spreads
  # the clients between the two.
  "$proxy_bin" "${port[ours]}" "${ours_default[@]}" >/dev/null &
  second_pid=$!
  sleep 0.5
  wrk_run ours 50 "$d_keepalive" "$raw/two_keepalive.ours.$1"
  ab_run ours "$raw/two_close.ours.$1"
  stop_pid "$second_pid"
  second_pid=
}

started=$(date +%s)
for r in $(seq 1 "$reps"); do
  echo "repetition $r of $reps"
  echo "  keep-alive, 50 connections";  for t in "${targets[@]}"; do wrk_run "$t" 50 "$d_keepalive" "$raw/keepalive.$t.$r"; done
  echo "  no keep-alive (ab)";          for t in "${targets[@]}"; do ab_run "$t" "$raw/close.$t.$r"; done
  echo "  keep-alive over ::1";         for t in direct ours; do wrk6_run "$t" "$raw/keepalive6.$t.$r"; done
  echo "  10 MiB downloads";            for t in "${targets[@]}"; do download_run "$t" plain "$raw/download.$t.$r"; done
  echo "  10 MiB through CONNECT";      for t in "${tunnels[@]}"; do download_run "$t" tunnel "$raw/tunnel.$t.$r"; done
  echo "  memory per idle connection";  for t in "${proxies[@]}"; do memory_run "$t" "$raw/memory.$t.$r"; done
  echo "  1,000 connections";           for t in "${targets[@]}"; do wrk_run "$t" 1000 "$d_1000" "$raw/c1000.$t.$r"; done
  echo "  $idle_n idle connections";    for t in "${targets[@]}"; do idle_run "$t" "$r"; done
  echo "  blacklist reloads";           reload_run "$raw/reload.ours.$r"
  echo "  two processes of ours";       processes_run "$r"
done

cat > "$raw/meta" <<EOF
baselines=${!baseline_bin[*]}
reps=$reps
quick=${QUICK:-0}
seconds=$(( $(date +%s) - started ))
d_keepalive=$d_keepalive
d_1000=$d_1000
d_idle=$d_idle
ab_n=$ab_n
downloads=$downloads
mem_n=$mem_n
idle_n=$idle_n
nofile=$nofile
cpu=$(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)
cores=$(nproc)
kernel=$(uname -r)
date=$(date -u +%Y-%m-%d)
nginx=$(nginx -v 2>&1 | sed 's/.*nginx\///')
tinyproxy=$(tinyproxy -v 2>&1 | awk '{ print $2 }')
privoxy=$("$(command -v privoxy || echo /usr/sbin/privoxy)" --version 2>&1 | awk '{ print $3; exit }')
squid=$(squid -v | awk '/Version/ { print $NF; exit }')
trafficserver=$(traffic_server -V 2>&1 | awk '/^Traffic Server/ { print $3; exit }')
wrk=$(wrk -v 2>&1 | awk 'NR == 1 { print $2 }')
EOF

if [ "${QUICK:-0}" = 1 ]; then
  python3 "$bench/report.py" "$raw"
else
  python3 "$bench/report.py" "$raw" | tee "$bench/results.md"
  echo "written to bench/results.md"
fi

#!/usr/bin/env bash
# Forwarding benchmark: what a protected machine mostly does is send a name
# it has not seen on to an upstream. Every path here forwards to the same
# local upstream, Debian's unbound answering a zone of its own (never
# recursing) over plain DNS and over DNS over TLS with a certificate from a CA
# made here. In one run, asked by the same dnsperf commands on 127.0.0.1:
#
#   plain upstream   ours (hxsockfilterd + hxtarrowagent + dnsprotect.so), dnsdist
#   DNS over TLS     ours, dnsdist (TLS backend), unbound (forward-tls-upstream),
#                    stubby, knot-resolver (policy.TLS_FORWARD)
#
# Miss rows ask 500,000 distinct names that the upstream answers with TTL 0,
# so every query goes upstream; hit rows ask eight names with a day's TTL,
# answered from the forwarder's cache after the first (stubby has none).
#
#   bench/forwarding.sh          build (build/release), run, print the table
#
# Environment: HXT_BENCH_SECONDS (10) per dnsperf run, HXT_BENCH_RUNS (3)
# saturated runs per row (the table gives their median), HXT_BENCH_LIGHT_QPS
# (1000), HXT_BENCH_ROWS (all: "ours-udp dnsdist-udp ours-tls dnsdist-tls
# unbound-tls stubby-tls kresd-tls", each asked for misses and hits),
# HXT_BENCH_CURVE="1 10 100 1000" (misses over DNS over TLS, one run per number
# of dnsperf clients, ours and every TLS peer), HXT_BENCH_BUILD=DIR (use DIR's
# binaries, build nothing), HXT_BENCH_KEEP=1 (keep the logs),
# HXT_BENCH_BEFORE=DIR (our rows again from another build, DIR laid out like
# build/release, as rows "ours-udp-before" and "ours-tls-before": before/after
# figures from one run), HXT_BENCH_PERF=N (after the table, one more miss run
# of each of our rows under perf record -e cpu-clock -g attached to the agent;
# prints the top N symbols by self time, and the agent's context switches,
# system calls and mallocs per query of that run), HXT_BENCH_MEMORY=0 (leave out the
# memory row: the agent with the three reference plug-ins idle, without and
# with a block list of 1,000,000 names). Run it under flock when the machine
# is shared.
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${HXT_BENCH_BUILD:-$HERE/build/release}"
RUN_SECONDS="${HXT_BENCH_SECONDS:-10}"
RUNS="${HXT_BENCH_RUNS:-3}"
LIGHT_QPS="${HXT_BENCH_LIGHT_QPS:-1000}"
TLS_NAME=resolver.bench
TEST_NAME=hit-1.fwd.bench
ANSWER4=192.0.2.101
# shellcheck source=bench/benchlib.sh
. "$HERE/bench/benchlib.sh"

wanted=(dnsperf dnsdist dnsutils unbound stubby knot-resolver openssl)
[ -z "${HXT_BENCH_PERF:-}" ] || wanted+=(linux-perf)
ensure_tools "${wanted[@]}"
ulimit -n 8192 2>/dev/null || true
[ -n "${HXT_BENCH_BUILD:-}" ] ||
  build_targets hxtarrowagent hxsockfilterd hxt_fake_plugins_stage hxt_plugin_dnsprotect hxt_plugin_swg \
    hxt_plugin_clouddownloader

WORK="$(mktemp -d /tmp/hxt-forwarding.XXXXXX)"
QUERIES=""

# ---- the upstream ---------------------------------------------------------------

say "making a CA and a certificate for $TLS_NAME"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj "/CN=bench CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" \
  -keyout "$WORK/ca.key" -out "$WORK/ca.pem" 2>/dev/null
openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj "/CN=$TLS_NAME" \
  -keyout "$WORK/upstream.key" -out "$WORK/upstream.csr" 2>/dev/null
printf 'subjectAltName=DNS:%s\nextendedKeyUsage=serverAuth\n' "$TLS_NAME" >"$WORK/upstream.ext"
openssl x509 -req -in "$WORK/upstream.csr" -CA "$WORK/ca.pem" -CAkey "$WORK/ca.key" -CAcreateserial -days 2 \
  -extfile "$WORK/upstream.ext" -out "$WORK/upstream.pem" 2>/dev/null

# Where AppArmor confines /usr/sbin/unbound to the system service's files, a
# copy that its profile does not name reads ours.
UNBOUND="$(command -v unbound || echo /usr/sbin/unbound)"
cp "$UNBOUND" "$WORK/unbound.bin"
UNBOUND="$WORK/unbound.bin"

# unbound_server DIR PORT: the common head of an unbound configuration.
unbound_server() {
  cat <<EOF
server:
  interface: 127.0.0.1@$2
  do-ip6: no
  access-control: 127.0.0.0/8 allow
  do-daemonize: no
  username: ""
  chroot: ""
  directory: "$1"
  pidfile: "$1/unbound.pid"
  use-syslog: no
  logfile: ""
  verbosity: 0
  num-threads: 1
  module-config: "iterator"
  do-not-query-localhost: no
EOF
}

UP_PORT="$(free_port)"
UP_TLS_PORT="$(free_port)"
mkdir -p "$WORK/upstream"
{
  unbound_server "$WORK/upstream" "$UP_PORT"
  cat <<EOF
  interface: 127.0.0.1@$UP_TLS_PORT
  tls-port: $UP_TLS_PORT
  tls-service-key: "$WORK/upstream.key"
  tls-service-pem: "$WORK/upstream.pem"
  incoming-num-tcp: 1000
  local-zone: "." refuse
  local-zone: "fwd.bench." static
EOF
  # Every name under miss.fwd.bench gets the same A record with TTL 0.
  echo '  local-zone: "miss.fwd.bench." redirect'
  echo '  local-data: "miss.fwd.bench. 0 IN A 192.0.2.1"'
  for i in 1 2 3 4 5 6 7 8; do echo "  local-data: \"hit-$i.fwd.bench. 86400 IN A 192.0.2.$((100 + i))\""; done
  cat <<EOF
forward-zone:
  name: "."
  forward-addr: 127.0.0.1@9
remote-control:
  control-enable: no
EOF
} >"$WORK/upstream/unbound.conf"
say "starting the upstream (unbound) on 127.0.0.1:$UP_PORT and DNS over TLS on :$UP_TLS_PORT"
"$UNBOUND" -d -c "$WORK/upstream/unbound.conf" >"$WORK/upstream/log" 2>&1 &
UPSTREAM=$!
PIDS+=("$UPSTREAM")
wait_for answers_test_name "$UP_PORT" || die "the upstream does not answer: $(cat "$WORK/upstream/log")"

# Misses: 500,000 names, each asked once per pass through the file, so that
# neither a cache nor the merging of identical queries in flight answers them.
seq 500000 | awk '{ print "n" $1 ".miss.fwd.bench A" }' >"$WORK/miss.txt"
for i in 1 2 3 4 5 6 7 8; do echo "hit-$i.fwd.bench A"; done >"$WORK/hit.txt"

# ---- the forwarders ---------------------------------------------------------------

declare -A PORT SERVING LABEL
LABEL=([ours-udp]="ours, plain upstream" [dnsdist-udp]="dnsdist, plain" [ours-tls]="ours, DoT upstream"
  [dnsdist-tls]="dnsdist, DoT" [unbound-tls]="unbound, DoT" [stubby-tls]="stubby, DoT" [kresd-tls]="knot-resolver, DoT"
  [ours-udp-before]="ours, plain, before" [ours-tls-before]="ours, DoT, before")
read -r -a ROWS <<<"${HXT_BENCH_ROWS:-ours-udp dnsdist-udp ours-tls dnsdist-tls unbound-tls stubby-tls kresd-tls}"
if [ -n "${HXT_BENCH_BEFORE:-}" ]; then
  for row in "${ROWS[@]}"; do
    case "$row" in ours-udp | ours-tls) ROWS+=("$row-before") ;; esac
  done
fi

# ours NAME UPSTREAM-JSON DNS-MEMBERS [BUILD-DIR]: the daemon and the agent hosting
# dnsprotect.so with its cache on; the daemon passes through to the plain upstream.
start_ours() {
  local build="${4:-$BUILD}"
  dnsprotect_root "$WORK/$1" "{\"organization\":\"bench\",\"dns\":{\"upstreams\":[$2]${3:+,$3}}}" "$build"
  start_pair "$WORK/$1" "$UP_PORT" "$build"
  PORT[$1]="$PAIR_PORT" SERVING[$1]="$PAIR_AGENT $PAIR_DAEMON"
}

start_dnsdist() {  # start_dnsdist NAME SERVER-OPTIONS
  local port
  port="$(free_port)"
  cat >"$WORK/$1.conf" <<EOF
setSecurityPollSuffix("")
setLocal("127.0.0.1:$port")
newServer({$2})
-- Answers with TTL 0 are never kept (minTTL 1), the others are.
getPool(""):setCache(newPacketCache(10000, {minTTL=1}))
EOF
  dnsdist --supervised --disable-syslog -C "$WORK/$1.conf" >"$WORK/$1.log" 2>&1 </dev/null &
  PIDS+=("$!")
  PORT[$1]="$port" SERVING[$1]="$!"
}

start_unbound_tls() {
  local dir="$WORK/unbound-tls" port
  port="$(free_port)"
  mkdir -p "$dir"
  {
    unbound_server "$dir" "$port"
    cat <<EOF
  tls-cert-bundle: "$WORK/ca.pem"
forward-zone:
  name: "."
  forward-addr: 127.0.0.1@$UP_TLS_PORT#$TLS_NAME
  forward-tls-upstream: yes
remote-control:
  control-enable: no
EOF
  } >"$dir/unbound.conf"
  "$UNBOUND" -d -c "$dir/unbound.conf" >"$dir/log" 2>&1 &
  PIDS+=("$!")
  PORT[unbound-tls]="$port" SERVING[unbound-tls]="$!"
}

start_stubby() {
  local dir="$WORK/stubby" port
  port="$(free_port)"
  mkdir -p "$dir"
  cat >"$dir/stubby.yml" <<EOF
resolution_type: GETDNS_RESOLUTION_STUB
dns_transport_list:
  - GETDNS_TRANSPORT_TLS
tls_authentication: GETDNS_AUTHENTICATION_REQUIRED
tls_query_padding_blocksize: 128
tls_ca_file: "$WORK/ca.pem"
appdata_dir: "$dir"
idle_timeout: 10000
listen_addresses:
  - 127.0.0.1@$port
upstream_recursive_servers:
  - address_data: 127.0.0.1
    tls_port: $UP_TLS_PORT
    tls_auth_name: "$TLS_NAME"
EOF
  stubby -C "$dir/stubby.yml" >"$dir/log" 2>&1 </dev/null &
  PIDS+=("$!")
  PORT[stubby-tls]="$port" SERVING[stubby-tls]="$!"
}

start_kresd() {
  local dir="$WORK/kresd" port
  port="$(free_port)"
  mkdir -p "$dir"
  cat >"$dir/config.lua" <<EOF
net.listen('127.0.0.1', $port, { kind = 'dns' })
-- The upstream's zone is not signed, and nothing is fetched from elsewhere.
trust_anchors.remove('.')
modules.unload('ta_update')
modules.unload('priming')
modules.unload('detect_time_skew')
cache.open(64 * MB, 'lmdb://$dir/cache')
cache.min_ttl(0)
policy.add(policy.all(policy.TLS_FORWARD({{'127.0.0.1@$UP_TLS_PORT', hostname='$TLS_NAME', ca_file='$WORK/ca.pem'}})))
EOF
  kresd -n -q -c "$dir/config.lua" "$dir" >"$dir/log" 2>&1 </dev/null &
  PIDS+=("$!")
  PORT[kresd-tls]="$port" SERVING[kresd-tls]="$!"
}

# Like every forwarder here, ours keeps no answer with TTL 0 (its default
# floor is 5 s, as knot-resolver's).
OUR_CACHE='"cache":{"minTtl":0}'
for row in "${ROWS[@]}"; do
  say "starting ${LABEL[$row]}"
  build="$BUILD"
  [ "${row%-before}" = "$row" ] || build="$HXT_BENCH_BEFORE"
  case "$row" in
    ours-udp | ours-udp-before) start_ours "$row" "{\"address\":\"127.0.0.1:$UP_PORT\"}" "$OUR_CACHE" "$build" ;;
    ours-tls | ours-tls-before)
      start_ours "$row" "{\"address\":\"127.0.0.1:$UP_TLS_PORT\",\"transport\":\"tls\",\"tlsName\":\"$TLS_NAME\",\"caFile\":\"$WORK/ca.pem\"}" \
        "$OUR_CACHE,\"tlsProfile\":\"strict\",\"metrics\":{\"file\":\"dnsprotect.prom\",\"intervalMs\":500}" "$build"
      ;;
    dnsdist-udp) start_dnsdist dnsdist-udp "address=\"127.0.0.1:$UP_PORT\"" ;;
    dnsdist-tls)
      start_dnsdist dnsdist-tls \
        "address=\"127.0.0.1:$UP_TLS_PORT\", tls=\"openssl\", subjectName=\"$TLS_NAME\", caStore=\"$WORK/ca.pem\", validateCertificates=true"
      ;;
    unbound-tls) start_unbound_tls ;;
    stubby-tls) start_stubby ;;
    kresd-tls) start_kresd ;;
    *) die "unknown row $row" ;;
  esac
done
for row in "${ROWS[@]}"; do
  wait_for answers_test_name "${PORT[$row]}" || die "${LABEL[$row]} does not answer $TEST_NAME on 127.0.0.1:${PORT[$row]}"
done
sleep 1  # let the start-up settle before the idle figures

# tls_connections PID...: established TCP connections of these processes to
# the upstream's DNS-over-TLS port.
tls_connections() {
  local pids
  pids="$(printf 'pid=%s,|' "$@")"
  ss -Htnp state established "( dport = :$UP_TLS_PORT )" 2>/dev/null | grep -cE "${pids%|}" || true
}

plural() { [ "$1" = miss ] && echo misses || echo hits; }

# ---- the runs ---------------------------------------------------------------------

declare -A IDLE QPS_LIST TICKS_SUM UP_SUM DONE_SUM FAIL_SUM LOST_SUM P50 P99 AFTER CONNS
CASES=()
for row in "${ROWS[@]}"; do
  # shellcheck disable=SC2086
  IDLE[$row]="$(rss_kib ${SERVING[$row]})"
  for kind in miss hit; do
    CASES+=("$row/$kind")
    QPS_LIST[$row/$kind]="" TICKS_SUM[$row/$kind]=0 UP_SUM[$row/$kind]=0 DONE_SUM[$row/$kind]=0 FAIL_SUM[$row/$kind]=0
    LOST_SUM[$row/$kind]=0 CONNS[$row/$kind]=0
  done
done
# The saturated runs alternate between the rows so that other load on the
# machine falls on all of them alike; the TLS connections are counted half-way.
for run in $(seq "$RUNS"); do
  for c in "${CASES[@]}"; do
    row="${c%/*}" kind="${c#*/}"
    say "saturated run $run/$RUNS: ${LABEL[$row]}, $(plural "$kind")"
    QUERIES="$WORK/$kind.txt"
    out="$WORK/sat-${row}-$kind-$run.txt"
    # shellcheck disable=SC2086
    before="$(cpu_ticks ${SERVING[$row]})"
    upstream_before="$(cpu_ticks "$UPSTREAM")"
    saturated "${PORT[$row]}" "$out" &
    runner=$!
    sleep "$((RUN_SECONDS / 2))"
    # shellcheck disable=SC2086
    conns="$(tls_connections ${SERVING[$row]})"
    [ "$conns" -gt "${CONNS[$c]}" ] && CONNS[$c]="$conns"
    wait "$runner"
    # shellcheck disable=SC2086
    TICKS_SUM[$c]=$((TICKS_SUM[$c] + $(cpu_ticks ${SERVING[$row]}) - before))
    UP_SUM[$c]=$((UP_SUM[$c] + $(cpu_ticks "$UPSTREAM") - upstream_before))
    QPS_LIST[$c]="${QPS_LIST[$c]} $(qps "$out")"
    DONE_SUM[$c]=$((DONE_SUM[$c] + $(completed "$out")))
    LOST_SUM[$c]=$((LOST_SUM[$c] + $(lost "$out")))
    FAIL_SUM[$c]=$((FAIL_SUM[$c] + $(servfail "$out")))
  done
done
for c in "${CASES[@]}"; do
  row="${c%/*}" kind="${c#*/}"
  say "light run ($LIGHT_QPS queries/s): ${LABEL[$row]}, $(plural "$kind")"
  QUERIES="$WORK/$kind.txt"
  light "${PORT[$row]}" "$WORK/light-$row-$kind.txt"
  read -r P50[$c] P99[$c] < <(percentiles "$WORK/light-$row-$kind.txt")
done
for row in "${ROWS[@]}"; do
  # shellcheck disable=SC2086
  AFTER[$row]="$(rss_kib ${SERVING[$row]})"
done
# The cost curve: misses over DNS over TLS from 1 ... 1000 dnsperf clients,
# at least 50 queries in flight (one per client above that).
declare -A CURVE
QUERIES="$WORK/miss.txt"
for clients in ${HXT_BENCH_CURVE:-}; do
  inflight=$((clients > 50 ? clients : 50))
  for row in "${ROWS[@]}"; do
    [ "${row%-tls}" != "$row" ] || continue
    say "cost curve, $clients clients: ${LABEL[$row]}"
    out="$WORK/curve-$row-$clients.txt"
    # shellcheck disable=SC2086
    before="$(cpu_ticks ${SERVING[$row]})"
    saturated "${PORT[$row]}" "$out" -c "$clients" -q "$inflight"
    # shellcheck disable=SC2086
    CURVE[$row,$clients]="$(qps "$out") $(us_per_query $(($(cpu_ticks ${SERVING[$row]}) - before)) "$(completed "$out")") $(servfail "$out")"
  done
done

# One more miss run of each of our rows under perf, not counted in the table.
# Then one more miss run counting the agent's context switches, system
# calls and mallocs (a uprobe on libc's malloc, made here when missing) per
# query: counts that the machine's other load moves little.
PROFILED=()
declare -A COUNTS
if [ -n "${HXT_BENCH_PERF:-}" ]; then
  QUERIES="$WORK/miss.txt"
  LIBC="$(ldd "$BUILD/src/agent/hxtarrowagent" | awk '$1 ~ /^libc\.so/ { print $3 }')"
  events=context-switches,raw_syscalls:sys_enter
  made_probe=""
  if perf probe -l 2>/dev/null | grep -q probe_libc:malloc; then
    events="$events,probe_libc:malloc"
  elif perf probe -q -x "$LIBC" malloc 2>/dev/null; then
    events="$events,probe_libc:malloc" made_probe=1
  fi
  for row in "${ROWS[@]}"; do
    case "$row" in ours-*) ;; *) continue ;; esac
    say "profiling ${LABEL[$row]}, misses"
    agent="${SERVING[$row]%% *}"
    perf record -q -e cpu-clock -g -o "$WORK/perf-$row.data" -p "$agent" -- sleep "$RUN_SECONDS" >/dev/null 2>&1 &
    profiler=$!
    saturated "${PORT[$row]}" "$WORK/perf-run-$row.txt"
    wait "$profiler" || true
    # A run of its own: the malloc probe's traps would weigh in the profile.
    perf stat -x, -e "$events" -o "$WORK/stat-$row.txt" -p "$agent" -- sleep "$RUN_SECONDS" >/dev/null 2>&1 &
    counter=$!
    saturated "${PORT[$row]}" "$WORK/stat-run-$row.txt"
    wait "$counter" || true
    COUNTS[$row]="$(awk -F, -v n="$(completed "$WORK/stat-run-$row.txt")" \
      '$1 ~ /^[0-9]+$/ && n > 0 { printf "%s %.1f  ", $3, $1 / n }' "$WORK/stat-$row.txt")"
    PROFILED+=("$row")
  done
  [ -z "$made_probe" ] || perf probe -q -d probe_libc:malloc 2>/dev/null || true
fi

# The agent's resident memory with the three reference plug-ins (no
# upstream traffic, never redirected: idle), without and with a block list of
# 1,000,000 names (three labels each, one a line).
MEMORY=()
if [ "${HXT_BENCH_MEMORY:-1}" != 0 ]; then
  awk 'BEGIN { srand(7); for (i = 0; i < 1000000; i++) printf "b%x%x.list%d.example\n", i, int(rand() * 65536), i % 97 }' \
    >"$WORK/blocklist.txt"
  for list in none 1M; do
    root="$WORK/memory-$list"
    members=""
    [ "$list" = none ] || members=',"blockLists":["'"$WORK"'/blocklist.txt"]'
    dnsprotect_root "$root" "{\"organization\":\"bench\",\"dns\":{\"upstreams\":[{\"address\":\"127.0.0.1:$UP_PORT\"}]$members}}"
    rm -f "$(plugins_dir "$root")"/fake_*.so
    cp "$BUILD/plugins/swg/swg.so" "$BUILD/plugins/clouddownloader/clouddownloader.so" "$(plugins_dir "$root")/"
    say "memory: the agent with the reference plug-ins, block list: $list"
    start_pair "$root" "$UP_PORT"
    sleep 3  # the list is loaded; let the start settle
    MEMORY+=("$list $(rss_kib "$PAIR_AGENT")")
    kill "$PAIR_AGENT" "$PAIR_DAEMON" 2>/dev/null || true
    wait "$PAIR_AGENT" "$PAIR_DAEMON" 2>/dev/null || true
  done
fi

# ---- report -----------------------------------------------------------------------

declare -A QPS CPUQ
for c in "${CASES[@]}"; do
  # shellcheck disable=SC2086
  QPS[$c]="$(median ${QPS_LIST[$c]})"
  CPUQ[$c]="$(us_per_query "${TICKS_SUM[$c]}" "${DONE_SUM[$c]}")"
done
echo
echo "forwarding benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "dnsperf -s 127.0.0.1 -p PORT -d {miss,hit}.txt -l $RUN_SECONDS  (x$RUNS, 100 in flight); light: -Q $LIGHT_QPS -v"
echo "upstream: unbound on loopback, its CPU not in 'cpu us/q' but in 'up us/q' (how much of the load went upstream); misses: 500,000 distinct names with TTL 0; hits: 8 names with TTL 86400"
echo "qps: answers other than SERVFAIL per second; cpu: all processes of the path; tls conns: most seen half-way through a run"
echo
printf '%-22s %-5s %9s  %-22s %8s %8s %9s %8s %9s %9s %6s %9s %9s\n' path ask "qps(med)" "qps runs" "p50(us)" "p99(us)" \
  "cpu us/q" "up us/q" "rss idle" "rss after" lost servfail "tls conns"
for c in "${CASES[@]}"; do
  row="${c%/*}" kind="${c#*/}"
  printf '%-22s %-5s %9s  %-22s %8s %8s %9s %8s %8sM %8sM %6s %9s %9s\n' "${LABEL[$row]}" "$kind" "${QPS[$c]}" \
    "${QPS_LIST[$c]# }" "${P50[$c]}" "${P99[$c]}" "${CPUQ[$c]}" "$(us_per_query "${UP_SUM[$c]}" "${DONE_SUM[$c]}")" "$(mib "${IDLE[$row]}")" "$(mib "${AFTER[$row]}")" \
    "${LOST_SUM[$c]}" "${FAIL_SUM[$c]}" "$(case "$row" in *-tls | *-tls-before) echo "${CONNS[$c]}" ;; *) echo - ;; esac)"
done
# TLS connections ours made to the upstream, and how many resumed a session
# (from the plug-in's metrics file).
if [ -n "${PORT[ours-tls]:-}" ]; then
  prom="$(profile_dir "$WORK/ours-tls")/dnsprotect.prom"
  metric() { awk -v m="$1" '$1 == m { v = $2 } END { print (v == "" ? "?" : v) }' "$prom" 2>/dev/null || echo '?'; }
  echo "ours, DoT upstream: $(metric hxtarrow_dns_plugin_tls_connections_total) TLS connections made," \
    "$(metric hxtarrow_dns_plugin_tls_resumed_total) of them resumed"
fi
echo
# best KIND: the TLS peer with the highest rate for KIND.
best() {
  local row top="" topq=0
  for row in "${ROWS[@]}"; do
    [ "${row%-tls}" != "$row" ] && [ "$row" != ours-tls ] || continue
    if awk -v a="${QPS[$row/$1]}" -v b="$topq" 'BEGIN { exit !(a > b) }'; then top="$row" topq="${QPS[$row/$1]}"; fi
  done
  echo "$top"
}
compare() {  # compare A B KIND
  echo "${LABEL[$1]} vs ${LABEL[$2]} ($(plural "$3")): qps $(ratio "${QPS[$1/$3]}" "${QPS[$2/$3]}"), cpu/query" \
    "$(ratio "${CPUQ[$1/$3]}" "${CPUQ[$2/$3]}"), p50 $(ratio "${P50[$1/$3]}" "${P50[$2/$3]}"), p99 $(ratio "${P99[$1/$3]}" "${P99[$2/$3]}")"
}
for kind in miss hit; do
  [ -n "${QPS[ours-udp/$kind]:-}" ] && [ -n "${QPS[dnsdist-udp/$kind]:-}" ] && compare ours-udp dnsdist-udp "$kind"
  [ -n "${QPS[ours-udp-before/$kind]:-}" ] && compare ours-udp ours-udp-before "$kind"
  [ -n "${QPS[ours-tls-before/$kind]:-}" ] && compare ours-tls ours-tls-before "$kind"
  if [ -n "${QPS[ours-tls/$kind]:-}" ]; then
    for row in "${ROWS[@]}"; do
      [ "${row%-tls}" != "$row" ] && [ "$row" != ours-tls ] && compare ours-tls "$row" "$kind"
    done
    top="$(best "$kind")"
    [ -n "$top" ] && echo "best DoT peer for $(plural "$kind"): ${LABEL[$top]}"
  fi
done
if [ -n "${HXT_BENCH_CURVE:-}" ]; then
  echo
  echo "cost curve, misses over DNS over TLS: dnsperf -c CLIENTS -q max(CLIENTS,50), one run of $RUN_SECONDS s per point (qps, cpu us/q, servfail)"
  printf '%8s' clients
  for row in "${ROWS[@]}"; do [ "${row%-tls}" != "$row" ] && printf ' %26s' "${LABEL[$row]}"; done
  echo
  for clients in $HXT_BENCH_CURVE; do
    printf '%8s' "$clients"
    for row in "${ROWS[@]}"; do [ "${row%-tls}" != "$row" ] && printf ' %26s' "${CURVE[$row,$clients]}"; done
    echo
  done
fi
if [ "${#MEMORY[@]}" -gt 0 ]; then
  echo
  echo "memory: hxtarrowagent with dnsprotect.so, swg.so and clouddownloader.so, idle (VmRSS)"
  base=""
  for entry in "${MEMORY[@]}"; do
    read -r list kib <<<"$entry"
    [ -n "$base" ] || base="$kib"
    printf '  block list %-5s %8sM  (%+.1fM)\n' "$list" "$(mib "$kib")" "$(awk -v a="$kib" -v b="$base" 'BEGIN { print (a - b) / 1024 }')"
  done
fi
if [ "${#PROFILED[@]}" -gt 0 ]; then
  echo
  echo "per query of a saturated miss run (the agent, perf stat):"
  for row in "${PROFILED[@]}"; do printf '  %-22s %s\n' "${LABEL[$row]}" "${COUNTS[$row]}"; done
fi
for row in "${PROFILED[@]}"; do
  echo
  echo "profile of the agent, ${LABEL[$row]}, misses (perf record -e cpu-clock -g, self time, top $HXT_BENCH_PERF):"
  perf report -i "$WORK/perf-$row.data" --no-children --sort dso,symbol --stdio 2>/dev/null |
    grep -E "^ +[0-9.]+%" | sed -E "s/[[:space:]]+-[[:space:]]+-[[:space:]]*$//" | head -n "$HXT_BENCH_PERF" ||
    true  # head leaves perf report a closed pipe
done

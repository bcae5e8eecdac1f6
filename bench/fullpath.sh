#!/usr/bin/env bash
# Whole-path DNS benchmark: dnsperf against the filter daemon's stub, which
# redirects to the agent's listener, which hands every query to the reference
# DNS-protection plug-in (dnsprotect.so) answering locally: the test name from
# its cache, the two unknown names from its block list. Measured in the same
# run, with the same dnsperf commands, against two baselines: the plain zone
# responder answering directly, and dnsdist (no packet cache) forwarding to that
# responder; beside them dnsdist with its packet cache. Further rows, each with
# an agent and a daemon of its own: the fake DNS plug-in answering from a small
# zone inside Send (the row to compare with an earlier build, whose fake
# plug-in answers from its own thread), and dnsprotect.so forwarding every
# query to the responder (cache off).
#
#   bench/fullpath.sh            build (build/release), run, print the table
#
# Environment: HXT_BENCH_SECONDS (10) per dnsperf run, HXT_BENCH_RUNS (3)
# saturated runs per path (the table gives their median), HXT_BENCH_LIGHT_QPS
# (2000), HXT_BENCH_KEEP=1 keeps the temporary root and the logs,
# HXT_BENCH_PER_CLIENT=N sets the daemon's MaxPendingPerClient.
# Optional parts, off by default to keep a run at about eight minutes (with the attribution pairs):
#   HXT_BENCH_PATHS="ours dnsdist"   only these rows (ours noattr fake responder
#                                    dnsdist dpupstream dnsdistcache)
#   HXT_BENCH_SOCKETS=N              after the runs, one program opens N sockets
#                                    (10000), each asking once through our
#                                    stub: the daemon's memory and CPU for it
#   HXT_BENCH_TCP=1                  our path and dnsdist over TCP (dnsperf -m tcp)
#   HXT_BENCH_CURVE="1 10 100 1000"  one run per number of dnsperf clients
#   HXT_BENCH_BEFORE=DIR             an earlier build's daemon, agent, fake
#                                    plug-in and dnsprotect.so (DIR laid out
#                                    like build/release): a row beside the main
#                                    one and a row beside the fake plug-in's
#   HXT_BENCH_ATTR_PAIRS=N           attribution on against off: N pairs of
#                                    saturated runs of the two daemons, at one
#                                    socket and at 1,000 sockets (-c 1000 -q 200;
#                                    default 3 when the row noattr runs, else 0)
#   HXT_BENCH_PERF=N                 one more run under perf record; top N lines
#   HXT_BENCH_BUILD=DIR              use DIR's binaries, build nothing
#   HXT_BENCH_QUICK=1                a check that everything runs (under a
#                                    minute): 2 s runs, one of each, the rows ours
#                                    and noattr, one pair, 1,000 sockets; the
#                                    variables above still win
# Everything listens on 127.0.0.1 only; the daemon's pass-through resolver is
# the zone responder, never the machine's.
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${HXT_BENCH_BUILD:-$HERE/build/release}"
if [ "${HXT_BENCH_QUICK:-0}" = 1 ]; then
  : "${HXT_BENCH_SECONDS:=2}" "${HXT_BENCH_RUNS:=1}" "${HXT_BENCH_PATHS:=ours noattr}" "${HXT_BENCH_ATTR_PAIRS:=1}"
  : "${HXT_BENCH_SOCKETS:=1000}"
fi
RUN_SECONDS="${HXT_BENCH_SECONDS:-10}"
RUNS="${HXT_BENCH_RUNS:-3}"
LIGHT_QPS="${HXT_BENCH_LIGHT_QPS:-2000}"
TEST_NAME="test-name.hxt.example"
ANSWER4="192.0.2.10"
ANSWER6="2001:db8::10"
# shellcheck source=bench/benchlib.sh
. "$HERE/bench/benchlib.sh"
QUERIES=""  # set once WORK exists

# ---- the run ------------------------------------------------------------------

wanted=(dnsperf dnsdist dnsutils)
[ -z "${HXT_BENCH_PERF:-}" ] || wanted+=(linux-perf)
ensure_tools "${wanted[@]}"
ulimit -Sn 8192 2>/dev/null || true  # the cost curve's 1,000 dnsperf sockets (the hard limit stays)
[ -n "${HXT_BENCH_BUILD:-}" ] ||
  build_targets hxtarrowagent hxsockfilterd hxtarrowctl hxt_fake_plugins_stage hxt_zone_responder hxt_plugin_dnsprotect

WORK="$(mktemp -d /tmp/hxt-fullpath.XXXXXX)"
QUERIES="$WORK/queries.txt"
ROOT="$WORK/root"
PLUGINS="$(plugins_dir "$ROOT")"
PROFILE="$(profile_dir "$ROOT")"
make_root "$ROOT"
printf '{"organization":"bench"}\n' >"$PROFILE/OrgInfo.json"
for module in "$BUILD/tests/plugins/Plugins"/*.so; do cp "$module" "$PLUGINS/"; done

# The plug-in's zone, its redirect (IPv4 only: the stub listens on 127.0.0.1
# only), no call log (it would grow with every query), and answers given inside
# Send (an earlier build's fake ignores that line and answers from its thread).
cat >"$WORK/plugin-script.txt" <<EOF
forget-calls
answer-on-caller
record $TEST_NAME $ANSWER4
record $TEST_NAME $ANSWER6
redirect {"version":1,"ignore_pids":[],"dns4":{"redirect":true,"whitelist":[],"resolvers":[]},"dns6":{"redirect":false,"whitelist":[],"resolvers":[]}}
protection {"version":1,"dns4":{"protection_state":"protected"},"client_display_name":"Bench","user_name":"bench","last_policy_sync_time":"0","log_upload_enabled":"false"}
EOF

# The test name's two records and two unknown names: half the answers are NXDOMAIN.
cat >"$WORK/queries.txt" <<EOF
$TEST_NAME A
$TEST_NAME AAAA
missing-1.hxt.example A
missing-2.hxt.example AAAA
EOF

say "starting the zone responder"
"$BUILD/bench/hxt_zone_responder" --listen 127.0.0.1:0 --record "$TEST_NAME" "$ANSWER4" \
  --record "$TEST_NAME" "$ANSWER6" >"$WORK/responder.port" 2>"$WORK/responder.log" &
RESPONDER=$!
PIDS+=("$RESPONDER")
wait_for test -s "$WORK/responder.port" || die "the responder did not start: $(cat "$WORK/responder.log")"
RESPONDER_PORT="$(head -n 1 "$WORK/responder.port")"

say "starting dnsdist"
DNSDIST_PORT="$(free_port)"
cat >"$WORK/dnsdist.conf" <<EOF
-- A plain forwarder: no packet cache, no console, no security polling.
setSecurityPollSuffix("")
setLocal("127.0.0.1:$DNSDIST_PORT")
newServer({address="127.0.0.1:$RESPONDER_PORT"})
EOF
dnsdist --supervised --disable-syslog -C "$WORK/dnsdist.conf" >"$WORK/dnsdist.log" 2>&1 </dev/null &
DNSDIST=$!
PIDS+=("$DNSDIST")

say "starting dnsdist with its packet cache"
DNSDIST_CACHE_PORT="$(free_port)"
cat >"$WORK/dnsdist-cache.conf" <<EOF
setSecurityPollSuffix("")
setLocal("127.0.0.1:$DNSDIST_CACHE_PORT")
newServer({address="127.0.0.1:$RESPONDER_PORT"})
getPool(""):setCache(newPacketCache(10000))
EOF
dnsdist --supervised --disable-syslog -C "$WORK/dnsdist-cache.conf" >"$WORK/dnsdist-cache.log" 2>&1 </dev/null &
DNSDIST_CACHE=$!
PIDS+=("$DNSDIST_CACHE")

# start_dnsprotect NAME DNS-MEMBERS [BUILD-DIR]: an agent hosting dnsprotect.so
# (and the fake SWG plug-in and cloud downloader) behind a daemon of its own,
# all from BUILD-DIR ($BUILD by default), in the root $WORK/NAME, the zone
# responder its upstream; sets DP_PORT, DP_AGENT, DP_DAEMON.
start_dnsprotect() {
  local root="$WORK/$1"
  dnsprotect_root "$root" "$(printf '{"organization":"bench","dns":{"upstreams":[{"address":"127.0.0.1:%s"}],%s}}' \
    "$RESPONDER_PORT" "$2")" "${3:-$BUILD}"
  printf 'missing-1.hxt.example\nmissing-2.hxt.example\n' >"$(profile_dir "$root")/blocklist.txt"
  start_pair "$root" "$RESPONDER_PORT" "${3:-$BUILD}"
  DP_PORT="$PAIR_PORT" DP_AGENT="$PAIR_AGENT" DP_DAEMON="$PAIR_DAEMON"
}
say "starting two agents with dnsprotect.so"
start_dnsprotect dplocal '"blockLists":["blocklist.txt"]'
STUB_PORT="$DP_PORT" AGENT="$DP_AGENT" DAEMON="$DP_DAEMON" AGENT_LOG="$WORK/dplocal/agent.log" ROOT_DPLOCAL="$WORK/dplocal"
start_dnsprotect dpupstream '"cache":{"maxEntries":0}'
DPU_PORT="$DP_PORT" DPU_SERVING="$DP_AGENT $DP_DAEMON"
# The main row's pair once more, its daemon not telling which program asked.
PAIR_DAEMON_ARGS="--attribution off" start_dnsprotect dpnoattr '"blockLists":["blocklist.txt"]'
NOATTR_PORT="$DP_PORT" NOATTR_AGENT="$DP_AGENT" NOATTR_DAEMON="$DP_DAEMON"
BEFORE_DP_PORT="" BEFORE_DP_SERVING=""
if [ -n "${HXT_BENCH_BEFORE:-}" ]; then
  start_dnsprotect dpbefore '"blockLists":["blocklist.txt"]' "$HXT_BENCH_BEFORE"
  BEFORE_DP_PORT="$DP_PORT" BEFORE_DP_SERVING="$DP_AGENT $DP_DAEMON"
fi

# start_ours ROOT BUILD-DIR: the daemon and the agent with the fake plug-in in
# ROOT (made like $ROOT), from the binaries of BUILD-DIR; sets OURS_PORT,
# OURS_AGENT, OURS_DAEMON.
start_ours() {
  local root="$1" build="$2" module
  if [ "$root" != "$ROOT" ]; then
    make_root "$root"
    cp "$PROFILE/OrgInfo.json" "$(profile_dir "$root")/"
    for module in "$build/tests/plugins/Plugins"/*.so; do cp "$module" "$(plugins_dir "$root")/"; done
  fi
  say "starting hxsockfilterd and hxtarrowagent in $root"
  start_pair "$root" "$RESPONDER_PORT" "$build" HXT_FAKE_DNS_SCRIPT="$WORK/plugin-script.txt"
  OURS_PORT="$PAIR_PORT" OURS_AGENT="$PAIR_AGENT" OURS_DAEMON="$PAIR_DAEMON"
}
start_ours "$ROOT" "$BUILD"
FAKE_PORT="$OURS_PORT" FAKE_SERVING="$OURS_AGENT $OURS_DAEMON"
BEFORE_PORT="" BEFORE_SERVING=""
if [ -n "${HXT_BENCH_BEFORE:-}" ]; then
  start_ours "$WORK/before" "$HXT_BENCH_BEFORE"
  BEFORE_PORT="$OURS_PORT" BEFORE_SERVING="$OURS_AGENT $OURS_DAEMON"
  wait_for answers_test_name "$BEFORE_PORT" || die "the earlier build does not answer $TEST_NAME"
fi

for port in "$RESPONDER_PORT" "$DNSDIST_PORT" "$STUB_PORT" "$DNSDIST_CACHE_PORT" "$FAKE_PORT" "$DPU_PORT" "$NOATTR_PORT" \
  ${BEFORE_DP_PORT:+"$BEFORE_DP_PORT"}; do
  wait_for answers_test_name "$port" || die "127.0.0.1:$port does not answer $TEST_NAME with $ANSWER4"
done
# The first answers filled dnsprotect's cache: the responder is idle from here on.
AGENT_LOG_BEFORE="$(grep -c . "$AGENT_LOG")"
sleep 1  # let the start-up settle before the idle figures

read -r -a PATHS <<<"${HXT_BENCH_PATHS:-ours noattr fake responder dnsdist dpupstream dnsdistcache}"
[ "${HXT_BENCH_TCP:-0}" = 1 ] && PATHS+=(ourstcp dnsdisttcp)
if [ -n "$BEFORE_PORT" ]; then  # right after the main row and the fake plug-in's
  with_before=()
  for p in "${PATHS[@]}"; do
    with_before+=("$p")
    [ "$p" = ours ] && with_before+=(beforedp)
    [ "$p" = fake ] && with_before+=(before)
  done
  PATHS=("${with_before[@]}")
fi
declare -A PORT=([ours]="$STUB_PORT" [noattr]="$NOATTR_PORT" [beforedp]="$BEFORE_DP_PORT" [fake]="$FAKE_PORT" [before]="$BEFORE_PORT" [ourstcp]="$STUB_PORT" [dnsdisttcp]="$DNSDIST_PORT" [responder]="$RESPONDER_PORT" [dnsdist]="$DNSDIST_PORT"
  [dpupstream]="$DPU_PORT" [dnsdistcache]="$DNSDIST_CACHE_PORT")
declare -A SERVING=([ours]="$AGENT $DAEMON" [noattr]="$NOATTR_AGENT $NOATTR_DAEMON" [beforedp]="$BEFORE_DP_SERVING" [fake]="$FAKE_SERVING" [before]="$BEFORE_SERVING" [ourstcp]="$AGENT $DAEMON" [dnsdisttcp]="$DNSDIST $RESPONDER" [responder]="$RESPONDER" [dnsdist]="$DNSDIST $RESPONDER"
  [dpupstream]="$DPU_SERVING $RESPONDER" [dnsdistcache]="$DNSDIST_CACHE $RESPONDER")
declare -A MODE=([ourstcp]="-m tcp" [dnsdisttcp]="-m tcp")
declare -A LABEL=([ours]="agent+daemon+dnsprotect" [noattr]="ours, attribution off" [beforedp]="dnsprotect, earlier" [fake]="fake plug-in" [before]="fake, earlier build" [ourstcp]="ours, TCP" [dnsdisttcp]="dnsdist+resp., TCP" [responder]="zone responder" [dnsdist]="dnsdist+responder"
  [dpupstream]="dnsprotect upstream" [dnsdistcache]="dnsdist cache+resp.")
declare -A IDLE QPS_LIST TICKS_SUM DONE_SUM LOST_SUM FAIL_SUM P50 P99 AFTER
IDLE_AGENT="$(rss_kib "$AGENT")"
IDLE_AGENT_ANON="$(anon_kib "$AGENT")"
IDLE_DAEMON="$(rss_kib "$DAEMON")"
for p in "${PATHS[@]}"; do
  # shellcheck disable=SC2086
  IDLE[$p]="$(rss_kib ${SERVING[$p]})"
  QPS_LIST[$p]=""; TICKS_SUM[$p]=0; DONE_SUM[$p]=0; LOST_SUM[$p]=0; FAIL_SUM[$p]=0
done
AGENT_TICKS=0
DAEMON_TICKS=0
NOATTR_DAEMON_TICKS=0
PASSED_THROUGH_TICKS=0  # the responder's CPU during our runs: redirection must leave it idle

# The saturated runs alternate between the paths so that the other load on
# the machine falls on all of them alike.
for run in $(seq "$RUNS"); do
  for p in "${PATHS[@]}"; do
    say "saturated run $run/$RUNS: ${LABEL[$p]}"
    out="$WORK/sat-$p-$run.txt"
    # shellcheck disable=SC2086
    before="$(cpu_ticks ${SERVING[$p]})"
    agent_before="$(cpu_ticks "$AGENT")"
    daemon_before="$(cpu_ticks "$DAEMON")"
    noattr_before="$(cpu_ticks "$NOATTR_DAEMON")"
    responder_before="$(cpu_ticks "$RESPONDER")"
    # shellcheck disable=SC2086
    saturated "${PORT[$p]}" "$out" ${MODE[$p]:-}
    # shellcheck disable=SC2086
    TICKS_SUM[$p]=$((TICKS_SUM[$p] + $(cpu_ticks ${SERVING[$p]}) - before))
    if [ "$p" = ours ]; then
      AGENT_TICKS=$((AGENT_TICKS + $(cpu_ticks "$AGENT") - agent_before))
      DAEMON_TICKS=$((DAEMON_TICKS + $(cpu_ticks "$DAEMON") - daemon_before))
      PASSED_THROUGH_TICKS=$((PASSED_THROUGH_TICKS + $(cpu_ticks "$RESPONDER") - responder_before))
    fi
    [ "$p" = noattr ] && NOATTR_DAEMON_TICKS=$((NOATTR_DAEMON_TICKS + $(cpu_ticks "$NOATTR_DAEMON") - noattr_before))
    QPS_LIST[$p]="${QPS_LIST[$p]} $(qps "$out")"
    DONE_SUM[$p]=$((DONE_SUM[$p] + $(completed "$out")))
    LOST_SUM[$p]=$((LOST_SUM[$p] + $(lost "$out")))
    FAIL_SUM[$p]=$((FAIL_SUM[$p] + $(servfail "$out")))
  done
done
# The cost curve: one saturated run per number of dnsperf clients (sockets)
# for our path and dnsdist; at least 50 queries in flight, one per client
# above that up to 200: dnsperf's sockets are all one user's, and beyond the
# daemon's 256 per user the excess is dropped and dnsperf waits them out.
declare -A CURVE
for clients in ${HXT_BENCH_CURVE:-}; do
  inflight=$((clients > 200 ? 200 : clients > 50 ? clients : 50))
  for p in ours dnsdist; do
    say "cost curve, $clients clients: ${LABEL[$p]}"
    out="$WORK/curve-$p-$clients.txt"
    # shellcheck disable=SC2086
    before="$(cpu_ticks ${SERVING[$p]})"
    saturated "${PORT[$p]}" "$out" -c "$clients" -q "$inflight"
    # shellcheck disable=SC2086
    CURVE[$p,$clients]="$(qps "$out") $(($(cpu_ticks ${SERVING[$p]}) - before)) $(completed "$out") $(servfail "$out")"
  done
done

# Attribution on against off: the main row's daemon and the one without
# attribution (each behind an agent of its own), in pairs of saturated runs at
# each load, the order flipping from pair to pair (on off, off on, ...) so that
# a drift in the machine's other load falls on both alike. Each pair gives the
# ratio of the two daemons' own CPU per query (/proc/PID/stat of the daemon
# alone); the median of those ratios is the figure, their spread the noise.
ATTR_PAIRS="${HXT_BENCH_ATTR_PAIRS:-$([[ " ${PATHS[*]} " == *" noattr "* ]] && echo 3 || echo 0)}"
# The 1,000 sockets are all one user's, and the daemon keeps at most 256 of a
# user's queries in flight (MaxPendingPerUser) and drops the rest: with more in
# flight, dnsperf waits for dropped queries, and a run after another on the
# same daemon was seen to cost up to three times as much per query.
ATTR_LOADS=(one thousand)
declare -A ATTR_ARGS=([one]="" [thousand]="-c 1000 -q 200")
declare -A ATTR_LABEL=([one]="1 socket, 100 in flight" [thousand]="1,000 sockets, 200 in flight")
declare -A ATTR_AIM=([one]=1.05 [thousand]=1.02)
declare -A ATTR_RATIOS ATTR_TICKS ATTR_DONE ATTR_QPS ATTR_FAIL PAIR_FIGURES
attr_run() {  # attr_run LOAD on|off PAIR: one saturated run, its figures added up
  local load="$1" side="$2" daemon port out ticks
  if [ "$side" = on ]; then daemon="$DAEMON" port="$STUB_PORT"; else daemon="$NOATTR_DAEMON" port="$NOATTR_PORT"; fi
  say "attribution $side, ${ATTR_LABEL[$load]}: pair $3/$ATTR_PAIRS"
  out="$WORK/attr-$load-$side-$3.txt"
  ticks="$(cpu_ticks "$daemon")"
  # shellcheck disable=SC2086
  saturated "$port" "$out" ${ATTR_ARGS[$load]}
  ticks=$(($(cpu_ticks "$daemon") - ticks))
  ATTR_TICKS[$load,$side]=$((${ATTR_TICKS[$load,$side]:-0} + ticks))
  ATTR_DONE[$load,$side]=$((${ATTR_DONE[$load,$side]:-0} + $(completed "$out")))
  ATTR_FAIL[$load,$side]=$((${ATTR_FAIL[$load,$side]:-0} + $(servfail "$out")))
  ATTR_QPS[$load,$side]="${ATTR_QPS[$load,$side]:-} $(qps "$out")"
  PAIR_FIGURES[$side]="$ticks $(completed "$out")"
}
# settle PID...: waits until the processes used no CPU for 0.3 s (at most 6 s):
# what a run left behind (a thousand sockets' queries that dnsperf abandoned
# at its end) must not be counted to the next run.
settle() {
  local before
  for _ in $(seq 20); do
    before="$(cpu_ticks "$@")"
    sleep 0.3
    [ "$(cpu_ticks "$@")" = "$before" ] && return 0
  done
}
# The pairs of one load all before the other's.
for load in "${ATTR_LOADS[@]}"; do
  for pair in $(seq "$ATTR_PAIRS"); do
    PAIR_FIGURES=()
    if [ $((pair % 2)) = 1 ]; then order=(on off); else order=(off on); fi
    for side in "${order[@]}"; do
      settle "$AGENT" "$DAEMON" "$NOATTR_AGENT" "$NOATTR_DAEMON"
      attr_run "$load" "$side" "$pair"
    done
    ATTR_RATIOS[$load]="${ATTR_RATIOS[$load]:-} $(awk -v on="${PAIR_FIGURES[on]}" -v off="${PAIR_FIGURES[off]}" '
      BEGIN { split(on, a, " "); split(off, b, " ")
              if (a[2] == 0 || b[1] == 0 || b[2] == 0) print "-"; else printf "%.1f", 100 * (a[1] / a[2]) / (b[1] / b[2]) }')"
  done
done
ATTR_RSS="$(mib "$(rss_kib "$DAEMON")") MiB on, $(mib "$(rss_kib "$NOATTR_DAEMON")") MiB off"

if [ -n "${HXT_BENCH_PERF:-}" ]; then
  # One more saturated run of our path with the profiler attached to the
  # agent and the daemon; its figures are not in the table.
  say "profiled run: ${LABEL[ours]}"
  perf record -q -g -o "$WORK/perf.data" -p "$AGENT,$DAEMON" -- sleep "$RUN_SECONDS" >/dev/null 2>&1 &
  PERF=$!
  saturated "${PORT[ours]}" "$WORK/perf-run.txt"
  wait "$PERF" || true
fi
for p in "${PATHS[@]}"; do
  say "light run ($LIGHT_QPS queries/s): ${LABEL[$p]}"
  out="$WORK/light-$p.txt"
  # shellcheck disable=SC2086
  light "${PORT[$p]}" "$out" ${MODE[$p]:-}
  read -r p50 p99 < <(percentiles "$out")
  P50[$p]="$p50"
  P99[$p]="$p99"
done
for p in "${PATHS[@]}"; do
  # shellcheck disable=SC2086
  AFTER[$p]="$(rss_kib ${SERVING[$p]})"
done
AFTER_AGENT="$(rss_kib "$AGENT")"
AFTER_DAEMON="$(rss_kib "$DAEMON")"
# Many sockets of one program: each asks once and stays open, so that the
# daemon's map of sockets to processes and its program table hold them all;
# against the main row's daemon and the one with attribution off.
SOCKETS="${HXT_BENCH_SOCKETS:-10000}"
SOCKETS_REPORT=""
many_sockets() {  # many_sockets PORT DAEMON-PID LABEL: appends to SOCKETS_REPORT
  local port="$1" daemon="$2" ticks rss answered
  say "$SOCKETS sockets of one program asking once each ($3)"
  ticks="$(cpu_ticks "$daemon")"
  rss="$(rss_kib "$daemon")"
  answered="$( (ulimit -Sn $((SOCKETS + 64)) && python3 - "$port" "$SOCKETS" <<'PY'
import socket, struct, sys
port, count = int(sys.argv[1]), int(sys.argv[2])
held, answered = [], 0
for i in range(count):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(2)
    held.append(s)
    name = b"".join(bytes([len(l)]) + l for l in b"test-name.hxt.example".split(b".")) + b"\0"
    s.sendto(struct.pack(">HHHHHH", i & 0xFFFF, 0x0100, 1, 0, 0, 0) + name + b"\0\1\0\1", ("127.0.0.1", port))
    try:
        s.recv(512)
        answered += 1
    except OSError:
        pass
print(answered)
PY
  ) || echo 0)"
  SOCKETS_REPORT="$SOCKETS_REPORT$SOCKETS sockets of one program, one query each, $3: $answered answered;"
  SOCKETS_REPORT="$SOCKETS_REPORT hxsockfilterd $(us_per_query $(($(cpu_ticks "$daemon") - ticks)) "$SOCKETS") us/query,"
  SOCKETS_REPORT="$SOCKETS_REPORT resident $(mib "$rss") MiB before, $(mib "$(rss_kib "$daemon")") MiB with them open
"
}
if [ "$SOCKETS" -gt 0 ] && command -v python3 >/dev/null; then
  many_sockets "$STUB_PORT" "$DAEMON" "attribution on"
  many_sockets "$NOATTR_PORT" "$NOATTR_DAEMON" "attribution off"
fi
AGENT_LOG_LINES=$(($(grep -c . "$AGENT_LOG") - AGENT_LOG_BEFORE))

# ---- report -------------------------------------------------------------------

declare -A QPS CPUQ
for p in "${PATHS[@]}"; do
  # shellcheck disable=SC2086
  QPS[$p]="$(median ${QPS_LIST[$p]})"
  CPUQ[$p]="$(us_per_query "${TICKS_SUM[$p]}" "${DONE_SUM[$p]}")"
done

echo
echo "whole-path DNS benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "dnsperf -s 127.0.0.1 -p PORT -d queries.txt -l $RUN_SECONDS  (x$RUNS, 100 in flight; queries.txt: $TEST_NAME A and AAAA, two NXDOMAIN names)"
echo "dnsperf -s 127.0.0.1 -p PORT -d queries.txt -l $RUN_SECONDS -Q $LIGHT_QPS -v"
echo "hxsockfilterd MaxPendingPerClient: ${HXT_BENCH_PER_CLIENT:-default (256)}"
echo "qps: answers other than SERVFAIL per second; lost and servfail: totals over the saturated runs"
echo
printf '%-22s %9s  %-22s %8s %8s %9s %9s %9s %7s %9s\n' path "qps(med)" "qps runs" "p50(us)" "p99(us)" "cpu us/q" \
  "rss idle" "rss after" lost servfail
for p in "${PATHS[@]}"; do
  printf '%-22s %9s  %-22s %8s %8s %9s %8sM %8sM %7s %9s\n' "${LABEL[$p]}" "${QPS[$p]}" "${QPS_LIST[$p]# }" \
    "${P50[$p]}" "${P99[$p]}" "${CPUQ[$p]}" "$(mib "${IDLE[$p]}")" "$(mib "${AFTER[$p]}")" "${LOST_SUM[$p]}" \
    "${FAIL_SUM[$p]}"
done
echo
echo "our path: agent $(us_per_query "$AGENT_TICKS" "${DONE_SUM[ours]}") us/query, hxsockfilterd $(us_per_query "$DAEMON_TICKS" "${DONE_SUM[ours]}") us/query;" \
  "agent resident $(mib "$IDLE_AGENT") MiB idle ($(mib "$IDLE_AGENT_ANON") MiB of it its own, the rest shared libraries' pages), $(mib "$AFTER_AGENT") MiB after;" \
  "hxsockfilterd $(mib "$IDLE_DAEMON") MiB idle, $(mib "$AFTER_DAEMON") MiB after; agent log grew by $AGENT_LOG_LINES lines;" \
  "zone responder busy $(us_per_query "$PASSED_THROUGH_TICKS" "${DONE_SUM[ours]}") us/query during our runs (0: nothing passed through)"
if [ -n "${QPS[noattr]:-}" ]; then
  echo "attribution: hxsockfilterd $(us_per_query "$DAEMON_TICKS" "${DONE_SUM[ours]}") us/query on," \
    "$(us_per_query "$NOATTR_DAEMON_TICKS" "${DONE_SUM[noattr]}") us/query off: daemon cpu/query" \
    "$(awk -v a="$DAEMON_TICKS" -v an="${DONE_SUM[ours]}" -v b="$NOATTR_DAEMON_TICKS" -v bn="${DONE_SUM[noattr]}" \
      'BEGIN { if (an == 0 || bn == 0 || b == 0) print "-"; else printf "%.1f%%", 100 * (a / an) / (b / bn) }')" \
    "(aim at most 105%); resident $(mib "$AFTER_DAEMON") MiB on, $(mib "$(rss_kib "$NOATTR_DAEMON")") MiB off after the runs"
fi
[ -z "$SOCKETS_REPORT" ] || printf '%s' "$SOCKETS_REPORT"
echo "programs seen by the main row's daemon:"
HXT_ROOT="$ROOT_DPLOCAL" "$BUILD/tools/hxtarrowctl" top --once 2>&1 | head -n 8 || true
compare() {  # compare A B: A's figures as a share of B's
  echo "${LABEL[$1]} vs ${LABEL[$2]}: qps $(ratio "${QPS[$1]}" "${QPS[$2]}"), p50 $(ratio "${P50[$1]}" "${P50[$2]}")," \
    "p99 $(ratio "${P99[$1]}" "${P99[$2]}"), cpu/query $(ratio "${CPUQ[$1]}" "${CPUQ[$2]}")"
}
for b in responder dnsdist dnsdistcache; do
  [ -n "${QPS[$b]:-}" ] && compare ours "$b"
done
[ -n "${QPS[fake]:-}" ] && [ -n "${QPS[dnsdist]:-}" ] && compare fake dnsdist
[ -n "${QPS[noattr]:-}" ] && compare ours noattr
[ -n "${QPS[beforedp]:-}" ] && compare ours beforedp
[ -n "${QPS[before]:-}" ] && compare fake before
[ -n "${QPS[dpupstream]:-}" ] && [ -n "${QPS[dnsdist]:-}" ] && compare dpupstream dnsdist
aim() { awk -v a="$1" -v b="$2" -v f="$3" 'BEGIN { if (a == "" || b == "" || a == "-" || b == "-") print "-"; else print (a <= f * b) ? "met" : "NOT met" }'; }
echo "aims: qps at least dnsdist's: $(aim "${QPS[dnsdist]:-}" "${QPS[ours]}" 1);" \
  "cpu/query at most dnsdist's: $(aim "${CPUQ[ours]}" "${CPUQ[dnsdist]:-}" 1);" \
  "p50 within 1.2x dnsdist's: $(aim "${P50[ours]}" "${P50[dnsdist]:-}" 1.2);" \
  "agent at most 8 MiB idle: $(aim "$IDLE_AGENT" 8192 1); hxsockfilterd at most 4 MiB idle: $(aim "$IDLE_DAEMON" 4096 1);" \
  "no SERVFAIL: $([ "${FAIL_SUM[ours]}" = 0 ] && echo met || echo "NOT met")"
if [ -n "${HXT_BENCH_CURVE:-}" ]; then
  echo
  echo "cost curve: dnsperf -c CLIENTS -q min(max(CLIENTS,50),200), one run of $RUN_SECONDS s per point"
  printf '%8s %12s %12s %9s %12s %12s %9s\n' clients "ours qps" "ours us/q" servfail "dnsdist qps" "dnsdist us/q" "cpu ratio"
  for clients in $HXT_BENCH_CURVE; do
    read -r oq ot od of <<<"${CURVE[ours,$clients]}"
    read -r dq dt dd _ <<<"${CURVE[dnsdist,$clients]}"
    ou="$(us_per_query "$ot" "$od")"
    du="$(us_per_query "$dt" "$dd")"
    printf '%8s %12s %12s %9s %12s %12s %9s\n' "$clients" "$oq" "$ou" "$of" "$dq" "$du" "$(ratio "$ou" "$du")"
  done
fi
if [ "$ATTR_PAIRS" -gt 0 ]; then
  echo
  echo "attribution on against off: hxsockfilterd's own cpu per query, $ATTR_PAIRS pair(s) of $RUN_SECONDS s" \
    "saturated runs per load, in turn (on off, off on, ...); ratio: on as a share of off, the median of the pairs' ratios"
  printf '%-32s %8s %8s %9s %9s %10s  %-28s %s\n' load "on us/q" "off us/q" "on qps" "off qps" "ratio(med)" \
    "pairs' ratios (%)" aim
  for load in "${ATTR_LOADS[@]}"; do
    # shellcheck disable=SC2086
    med="$(printf '%s\n' ${ATTR_RATIOS[$load]} | grep -v '^-$' | sort -g |
      awk '{ v[NR] = $1 } END { if (NR == 0) print "-"; else printf "%.1f", (v[int((NR + 1) / 2)] + v[int(NR / 2) + 1]) / 2 }')"
    verdict="$(awk -v m="$med" -v f="${ATTR_AIM[$load]}" 'BEGIN { if (m == "-") print "-"; else print (m <= 100 * f) ? "met" : "NOT met" }')"
    # shellcheck disable=SC2086
    printf '%-32s %8s %8s %9s %9s %9s%%  %-28s at most %.0f%%: %s\n' "${ATTR_LABEL[$load]}" \
      "$(us_per_query "${ATTR_TICKS[$load,on]}" "${ATTR_DONE[$load,on]}")" \
      "$(us_per_query "${ATTR_TICKS[$load,off]}" "${ATTR_DONE[$load,off]}")" \
      "$(median ${ATTR_QPS[$load,on]})" "$(median ${ATTR_QPS[$load,off]})" "$med" "${ATTR_RATIOS[$load]# }" \
      "$(awk -v f="${ATTR_AIM[$load]}" 'BEGIN { print 100 * f }')" "$verdict"
    [ "${ATTR_FAIL[$load,on]}${ATTR_FAIL[$load,off]}" = 00 ] ||
      echo "  SERVFAIL: ${ATTR_FAIL[$load,on]} on, ${ATTR_FAIL[$load,off]} off"
  done
  echo "hxsockfilterd resident after these runs: $ATTR_RSS"
fi
if [ -n "${HXT_BENCH_PERF:-}" ]; then
  echo
  echo "profile of agent and daemon during one saturated run (self time, top $HXT_BENCH_PERF):"
  perf report -i "$WORK/perf.data" --no-children --sort comm,dso,symbol --stdio 2>/dev/null |
    grep -E "^ +[0-9.]+%" | sed -E "s/[[:space:]]+-[[:space:]]+-[[:space:]]*$//" | head -n "$HXT_BENCH_PERF" ||
    true  # head leaves perf report a closed pipe
fi

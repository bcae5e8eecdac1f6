# Shared by the benchmark scripts (sourced): process bookkeeping, dnsperf runs
# and their figures, /proc readings. The sourcing script sets BUILD, WORK (a
# temporary folder, removed on exit unless HXT_BENCH_KEEP=1), QUERIES (the
# dnsperf query file), RUN_SECONDS, LIGHT_QPS and TEST_NAME/ANSWER4 for
# answers_test_name.
TICKS="$(getconf CLK_TCK)"

say() { printf '== %s\n' "$*" >&2; }
die() { printf '%s: %s\n' "$(basename "$0")" "$*" >&2; exit 1; }

# ---- tools and build --------------------------------------------------------

# ensure_tools PACKAGE...: installs the Debian packages that are missing.
ensure_tools() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ "${#missing[@]}" -eq 0 ] && return 0
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || die "need root to install: ${missing[*]}"
    sudo=(sudo)
  fi
  say "installing ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# build_targets TARGET...: builds them in $BUILD.
build_targets() {
  say "building in $BUILD"
  cmake -S "$HERE" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHXT_BUILD_TESTS=ON >/dev/null
  cmake --build "$BUILD" -j "$(nproc 2>/dev/null || echo 2)" \
    --target "$@" >/dev/null
}

# ---- processes --------------------------------------------------------------

WORK=""
PIDS=()  # started here, stopped in reverse order on exit

cleanup() {
  local i pid
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do
    pid="${PIDS[$i]}"
    kill -TERM "$pid" 2>/dev/null || continue
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  if [ -n "$WORK" ]; then
    if [ "${HXT_BENCH_KEEP:-0}" = 1 ]; then say "kept $WORK"; else rm -rf "$WORK"; fi
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A port free for UDP and TCP on 127.0.0.1 at the time of asking.
free_port() {
  local port
  for _ in $(seq 100); do
    port=$((20000 + RANDOM % 40000))
    if [ -z "$(ss -Hlnu "sport = :$port")" ] && [ -z "$(ss -Hlnt "sport = :$port")" ]; then
      echo "$port"
      return 0
    fi
  done
  die "no free port"
}

# wait_for CONDITION-COMMAND... : polls for up to 30 s.
wait_for() {
  for _ in $(seq 300); do "$@" && return 0; sleep 0.1; done
  return 1
}

answers() {  # answers PORT: dig's short answer for the test name's A record
  dig @127.0.0.1 -p "$1" "$TEST_NAME" A +short +tries=1 +time=1 2>/dev/null
}
answers_test_name() { [ "$(answers "$1")" = "$ANSWER4" ]; }

# ---- /proc figures ------------------------------------------------------------

cpu_ticks() {  # cpu_ticks PID...: utime + stime of all the processes' threads
  local total=0 pid stat
  for pid in "$@"; do
    stat="$(cat "/proc/$pid/stat")"
    stat="${stat##*) }"  # the fields after the command name, from state (3rd) on
    read -r -a f <<<"$stat"
    total=$((total + f[11] + f[12]))  # fields 14 and 15
  done
  echo "$total"
}

rss_kib() {  # rss_kib PID...: VmRSS summed, KiB
  local total=0 pid
  for pid in "$@"; do
    total=$((total + $(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status")))
  done
  echo "$total"
}

anon_kib() {  # anon_kib PID: RssAnon, KiB: the process's own pages, without the libraries' file pages
  awk '/^RssAnon:/ { print $2 }' "/proc/$1/status"
}

# ---- dnsperf ------------------------------------------------------------------

# saturated PORT OUT: one run at dnsperf's default 100 queries in flight.
# Further arguments go to dnsperf (-m tcp, -c CLIENTS ...).
saturated() {
  local port="$1" out="$2"
  shift 2
  dnsperf -s 127.0.0.1 -p "$port" -d "$QUERIES" -l "$RUN_SECONDS" "$@" >"$out" 2>&1 ||
    die "dnsperf failed: $(cat "$out")"
}
# light PORT OUT: a paced run with a line per query.
light() {
  local port="$1" out="$2"
  shift 2
  dnsperf -s 127.0.0.1 -p "$port" -d "$QUERIES" -l "$RUN_SECONDS" -Q "$LIGHT_QPS" -v "$@" >"$out" 2>&1 ||
    die "dnsperf failed: $(tail -n 20 "$out")"
}
completed() { awk '/Queries completed:/ { print $3 }' "$1"; }
lost() { awk '/Queries lost:/ { print $3 }' "$1"; }
servfail() { awk '/Response codes:/ { for (i = 3; i < NF; i++) if ($i == "SERVFAIL") n = $(i + 1) } END { print n + 0 }' "$1"; }
# Answers other than SERVFAIL per second: the daemon refuses queries beyond its
# per-client limit with an immediate SERVFAIL, which would flatter its rate.
qps() {
  awk '/Queries completed:/ { done = $3 } /Run time \(s\):/ { t = $4 }
       /Response codes:/ { for (i = 3; i < NF; i++) if ($i == "SERVFAIL") bad = $(i + 1) }
       END { printf "%.0f", (done - bad) / t }' "$1"
}

# percentiles OUT: "p50 p99" in microseconds from the per-query lines
# ("> RCODE NAME TYPE SECONDS"; a lost query's line, "> T NAME TYPE", has no time).
percentiles() {
  awk '/^> / && NF >= 5 && $NF ~ /^[0-9.]+$/ { print $NF * 1e6 }' "$1" | sort -g | awk '
    { v[NR] = $1 }
    END {
      if (NR == 0) { print "- -"; exit }
      i50 = int(NR * 0.50 + 0.999999); i99 = int(NR * 0.99 + 0.999999)
      printf "%.0f %.0f\n", v[i50], v[i99]
    }'
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# ---- figures -------------------------------------------------------------------

mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
us_per_query() { awk -v t="$1" -v n="$2" -v hz="$TICKS" 'BEGIN { if (n == 0) print "-"; else printf "%.1f", t * 1e6 / hz / n }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b == 0 || a == "-" || b == "-") print "-"; else printf "%.0f%%", 100 * a / b }'; }

# ---- our path -------------------------------------------------------------------

plugins_dir() { printf '%s/opt/Truvane/Truvane Helixor Client/Plugins' "$1"; }
profile_dir() { printf '%s/var/opt/Truvane/Truvane Helixor Client/Tarrow' "$1"; }

# make_root DIR: a private root the agent starts in: a machine id, the registry
# recording the runtime the plug-ins need (with HXT_BENCH_PER_CLIENT, the
# daemon's MaxPendingPerClient) and empty plug-in and profile folders.
make_root() {
  local root="$1"
  mkdir -p "$root/etc/opt/truvane" "$(plugins_dir "$root")" "$(profile_dir "$root")" "$root/run"
  od -An -N16 -tx1 /dev/urandom | tr -d ' \n' >"$root/etc/machine-id"
  echo >>"$root/etc/machine-id"
  cat >"$root/etc/opt/truvane/registry.reg" <<'REG'
REGEDIT4

; The runtime the plug-ins need, recorded as present.
[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\NET Framework Setup\NDP\v4\Full]
"Install"=dword:00000001
"Release"=dword:00080ff4
"Version"="4.8.09037"
REG
  if [ -n "${HXT_BENCH_PER_CLIENT:-}" ]; then
    printf '\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Truvane\\Truvane Helixor Client\\SocketFilter]\n"MaxPendingPerClient"=dword:%08x\n' \
      "$HXT_BENCH_PER_CLIENT" >>"$root/etc/opt/truvane/registry.reg"
  fi
}

# dnsprotect_root DIR ORGINFO [BUILD-DIR]: make_root with dnsprotect.so (and
# the fake SWG plug-in and cloud downloader) from BUILD-DIR ($BUILD) and the
# profile ORGINFO (JSON text).
dnsprotect_root() {
  local root="$1" build="${3:-$BUILD}"
  make_root "$root"
  cp "$build/tests/plugins/Plugins/fake_swg.so" "$build/tests/plugins/Plugins/fake_cloud_downloader.so" \
    "$build/plugins/dnsprotect/dnsprotect.so" "$(plugins_dir "$root")/"
  printf '%s\n' "$2" >"$(profile_dir "$root")/OrgInfo.json"
}

# start_pair ROOT PASS-PORT [BUILD-DIR] [VAR=VALUE...]: hxsockfilterd in stub
# mode on a free port of 127.0.0.1, passing through to 127.0.0.1:PASS-PORT
# (never the machine's resolvers), and hxtarrowagent with the given extra
# environment, both from BUILD-DIR ($BUILD), in ROOT; waits until the agent
# redirects. Sets PAIR_PORT, PAIR_AGENT, PAIR_DAEMON; logs in ROOT. The
# daemon's further options come from PAIR_DAEMON_ARGS (word-split), if set.
start_pair() {
  local root="$1" pass="$2" build="${3:-$BUILD}" port
  shift 3 2>/dev/null || shift $#
  port="$(free_port)"
  HXT_ROOT="$root" HXT_LOG=stderr "$build/sockfilter/hxsockfilterd" --stub4 "127.0.0.1:$port" --stub6 off \
    --resolvers "127.0.0.1:$pass" ${PAIR_DAEMON_ARGS:-} 2>"$root/hxsockfilterd.log" &
  PAIR_DAEMON=$!
  PIDS+=("$PAIR_DAEMON")
  wait_for grep -qs "stub mode:" "$root/hxsockfilterd.log" || die "hxsockfilterd did not start: $(cat "$root/hxsockfilterd.log")"
  env HXT_ROOT="$root" HXT_LOG=stderr HXT_IPC_PORT="$(free_port)" "$@" "$build/src/agent/hxtarrowagent" \
    2>"$root/agent.log" &
  PAIR_AGENT=$!
  PIDS+=("$PAIR_AGENT")
  wait_for grep -qs "IPv4 DNS redirection: ACTIVATED" "$root/agent.log" ||
    die "redirection not active: $(tail -n 30 "$root/agent.log")"
  PAIR_PORT="$port"
}

#!/usr/bin/env bash
# The Debian package on this machine, as root: lintian; dpkg -i; the installed
# daemon and agent started by their units' ExecStart lines (as systemd would,
# whether or not it runs here) and asked by dig through the daemon's stub, with
# a local resolver of the test's own behind it; dpkg -r stops both and leaves
# the machine's DNS as it was (and takes a transparent-mode daemon in a network
# namespace, with its nftables table); dpkg -P leaves none of the package's files.
#
# usage: tests/package/package_test.sh PATH_TO_DEB
# Prints PASS or FAIL: reason as its last line; exits 0 only on PASS.
set -uo pipefail
# With pipefail, `grep -q` ending a pipeline early would fail it by the
# writer's SIGPIPE: matches go to /dev/null instead.

DEB="$(realpath "$1")"
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
# The installed system's paths, whatever the caller's environment says.
unset HXT_ROOT
PKG=hxtarrowagent
UNITS=/lib/systemd/system
PROGRAMS="/opt/Truvane/Truvane Helixor Client"
REGISTRY=/etc/opt/truvane/registry.reg
CONTROL=/run/hxsockfilterd.sock
STUB_PORT=15335
WORK="$(mktemp -d /tmp/hxt-package-test.XXXXXX)"
NETNS="hxt-pkgtest-$$"
FILTER_PID="" AGENT_PID="" DEMO_RESOLVER_PID="" INSTALLED="" NETNS_PID="" NETNS_MADE=""

say() { printf '== package test, %3d s: %s\n' "$SECONDS" "$*" >&2; }

cleanup() {
  local pid
  for pid in "$AGENT_PID" "$FILTER_PID" "$NETNS_PID" "$DEMO_RESOLVER_PID"; do
    [ -n "$pid" ] && { kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; }
  done
  [ -n "$INSTALLED" ] && DEBIAN_FRONTEND=noninteractive dpkg -P "$PKG" >/dev/null 2>&1
  [ -n "$NETNS_MADE" ] && ip netns del "$NETNS" 2>/dev/null
  rm -rf "$WORK"
}

fail() {
  echo "package test: FAIL: $*"
  for log in "$WORK"/*.log; do
    [ -s "$log" ] && { echo "--- $log"; tail -n 30 "$log"; }
  done
  cleanup
  exit 1
}

# ended PID: the child has exited (gone, or a zombie not yet reaped).
ended() { [ ! -e "/proc/$1" ] || [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" = Z ]; }

# wait_for SECONDS COMMAND...: until COMMAND succeeds, at most SECONDS.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.2
  done
}

# exec_start UNIT: the unit's ExecStart= command as words, in EXEC.
exec_start() {
  local line
  line="$(sed -n 's/^ExecStart=[-@:+!]*//p' "$UNITS/$1")"
  [ -n "$line" ] || return 1
  eval "EXEC=($line)"
}

[ "$(id -u)" -eq 0 ] || fail "needs root (dpkg -i)"
if dpkg-query -W -f='${Status}' "$PKG" 2>/dev/null | grep installed >/dev/null || [ -e "$REGISTRY" ] || [ -e "$CONTROL" ]; then
  fail "$PKG is installed or has left files on this machine; the test needs a machine without it"
fi

resolv_before="$(ls -l /etc/resolv.conf; cat /etc/resolv.conf 2>&1)"
nft_before="$(nft list tables 2>&1)"
# The package's paths that exist before it comes: shared folders such as /usr/bin.
dpkg-deb --fsys-tarfile "$DEB" | tar -t | sed 's|^\./|/|; s|/$||' | grep -v '^/\?$' > "$WORK/paths"
while read -r path; do [ -e "$path" ] && echo "$path"; done < "$WORK/paths" > "$WORK/existing"

say "lintian"
lintian --fail-on error,warning "$DEB" > "$WORK/lintian.log" 2>&1 || fail "lintian: $(cat "$WORK/lintian.log")"

say "dpkg -i"
INSTALLED=yes
DEBIAN_FRONTEND=noninteractive dpkg -i "$DEB" > "$WORK/dpkg.log" 2>&1 || fail "dpkg -i failed"
ldconfig -p | grep 'libhx_sock_fltr_api.so.1 ' >/dev/null || fail "the filter library is not in ld.so's cache"
[ -f "$REGISTRY" ] || fail "postinst wrote no registry store"

# The daemon's stub on a spare port, passing through to the test's resolver:
# configured in the registry store, where the daemon reads its settings, so
# that the unit's command line is used as it is.
source "$HERE/tools/demo/demo.sh"
DEMO_PLAIN_PORT=15300 DEMO_TLS_PORT=18530
cat >> "$REGISTRY" <<REG

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Truvane\\Truvane Helixor Client\\SocketFilter]
"StubAddress4"="127.0.0.1:$STUB_PORT"
"StubAddress6"=""
"PassThroughResolvers"="127.0.0.1:$DEMO_PLAIN_PORT"
REG
demo_certificates "$WORK"
demo_resolver_config "$WORK"
demo_start_resolver "$WORK" || fail "the local resolver did not start"
# The organisation profile: the DNS plug-in asks the same resolver.
demo_profile "" "$WORK"

say "starting the units' programs"
exec_start hxsockfilterd.service || fail "no ExecStart in hxsockfilterd.service"
[ "${EXEC[0]}" = "$PROGRAMS/hxsockfilterd" ] || fail "hxsockfilterd.service runs ${EXEC[0]}"
setsid "${EXEC[@]}" > "$WORK/hxsockfilterd.log" 2>&1 &
FILTER_PID=$!
wait_for 20 test -S "$CONTROL" || fail "hxsockfilterd made no control socket"
exec_start hxtarrowagent.service || fail "no ExecStart in hxtarrowagent.service"
[ "${EXEC[0]}" = "$PROGRAMS/hxtarrowagent" ] || fail "hxtarrowagent.service runs ${EXEC[0]}"
HXT_LOG=stderr setsid "${EXEC[@]}" > "$WORK/hxtarrowagent.log" 2>&1 &
AGENT_PID=$!

# A second daemon in transparent mode, in a network namespace of the test's
# own so that the machine's DNS is not redirected: its nftables table must go
# with it when the package is removed.
ns_tables() { ip netns exec "$NETNS" nft list tables 2>&1; }
if ip netns add "$NETNS" 2>/dev/null; then
  NETNS_MADE=yes
  ip -n "$NETNS" link set lo up
  ip netns exec "$NETNS" "$PROGRAMS/hxsockfilterd" --mode transparent --stub4 off --stub6 off \
    --control "$WORK/transparent.sock" > "$WORK/transparent.log" 2>&1 &
  NETNS_PID=$!
  wait_for 20 eval 'ns_tables | grep hxsockfilterd >/dev/null' || fail "no nftables table in transparent mode: $(ns_tables)"
else
  say "no network namespace could be made: transparent mode is not tried"
fi

dig_stub() { dig +time=2 +tries=1 @127.0.0.1 -p "$STUB_PORT" "$@" 2>&1; }
answered() { dig_stub example.com A | grep 'status: NOERROR' >/dev/null; }
# The block list's name comes back refused only once the agent and its DNS
# plug-in carry the queries; before that the daemon passes it through.
blocked() { dig_stub ads.example.com A | grep 'status: NXDOMAIN' >/dev/null; }
wait_for 20 answered || fail "no answer through the stub: $(dig_stub example.com A)"
wait_for 60 blocked || fail "the agent's DNS plug-in never answered: $(dig_stub ads.example.com A)"
answered || fail "example.com is not answered through the agent: $(dig_stub example.com A)"
hxtarrowctl status > "$WORK/status.log" 2>&1 || fail "hxtarrowctl status failed"
hxtarrowctl metrics > "$WORK/metrics.log" 2>&1 || fail "hxtarrowctl metrics failed"
grep -q '^hxtarrow_dns_requests_total{family="ipv4",transport="udp"} [1-9]' "$WORK/metrics.log" ||
  fail "the metrics count no IPv4 request"

say "dpkg -r"
DEBIAN_FRONTEND=noninteractive dpkg -r "$PKG" >> "$WORK/dpkg.log" 2>&1 || fail "dpkg -r failed"
ended "$AGENT_PID" || fail "hxtarrowagent still runs after dpkg -r"
ended "$FILTER_PID" || fail "hxsockfilterd still runs after dpkg -r"
if [ -n "$NETNS_PID" ]; then
  ended "$NETNS_PID" || fail "hxsockfilterd in transparent mode still runs after dpkg -r"
  [ -z "$(ns_tables)" ] || fail "nftables tables left in the namespace: $(ns_tables)"
fi
wait "$AGENT_PID" "$FILTER_PID" $NETNS_PID 2>/dev/null
AGENT_PID="" FILTER_PID="" NETNS_PID=""
for exe in /proc/[0-9]*/exe; do
  [[ "$(readlink "$exe" 2>/dev/null)" == "$PROGRAMS"/* ]] && fail "${exe%/exe} still runs $(readlink "$exe")"
done
[ ! -e "$CONTROL" ] || fail "$CONTROL is left"
[ "$(ls -l /etc/resolv.conf; cat /etc/resolv.conf 2>&1)" = "$resolv_before" ] || fail "/etc/resolv.conf changed"
[ "$(nft list tables 2>&1)" = "$nft_before" ] || fail "nft tables changed: $(nft list tables 2>&1)"

say "dpkg -P"
DEBIAN_FRONTEND=noninteractive dpkg -P "$PKG" >> "$WORK/dpkg.log" 2>&1 || fail "dpkg -P failed"
INSTALLED=""
while read -r path; do
  grep -qxF "$path" "$WORK/existing" && continue
  [ -e "$path" ] || [ -L "$path" ] && fail "$path is left after dpkg -P"
done < "$WORK/paths"
for path in /etc/opt/truvane /var/opt/Truvane; do
  [ -e "$path" ] && fail "$path is left after dpkg -P"
done
while read -r path; do
  [ -e "$path" ] || fail "$path, there before the package, is gone after dpkg -P"
done < "$WORK/existing"
leftover="$(find /etc/systemd /var/lib/systemd -name 'hx*' 2>/dev/null)"
[ -z "$leftover" ] || fail "systemd state left: $leftover"

cleanup
echo "package test: PASS"

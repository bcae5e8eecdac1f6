#!/usr/bin/env bash
# DNS protection on Windows end to end under Wine: hxsockfilterd.exe as a
# service of its own with its stub on loopback, the agent as a service whose
# filter library opens it over the named pipe, and dig on Linux (Wine's
# sockets are the host's) answered by dnsprotect.dll through that path.
#   - the NRPT rule is written once the stub listens and gone after a stop;
#   - a process the pipe does not admit is refused (Wine runs every process
#     as one user, S-1-5-21-0-0-0-1000: without ControlGroup that user is
#     neither SYSTEM nor the agent's service, with ControlGroup=Administrators
#     its token's group is admitted);
#   - the VPN record of hxvpnstate.exe reaches dnsprotect.dll through the
#     service: a tunnel carrying all DNS shows as "disabledDueToVpn" in the
#     status of hxtarrowctl (the Linux client, over the loopback IPC port)
#     and hxtarrowctl.exe, a disconnected one as "protected" again;
#   - the agent stopped by `sc stop` ends with exit code 0;
#   - the agent killed: the daemon passes queries through;
#   - the daemon killed: Wine's service manager runs no recovery actions, so
#     the rule is still there; the recovery command the SCM would run removes
#     it within 2 s (as after a third failure, where the restart waits a
#     minute, so the rule's absence is seen before a stub writes it again),
#     as after a first failure it puts the daemon back at once, and
#     --uninstall removes the rule.
#   tests/win/sockfilter_e2e.sh WINDOWS_BUILD_DIR LINUX_HXTARROWCTL
# The resolver (unbound, on a free loopback port) is the plug-in's upstream
# and the daemon's pass-through resolver; nothing leaves the machine.
set -euo pipefail

build="$(cd "$1" && pwd)"
ctl="$2"
export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}" WINEDEBUG="${WINEDEBUG:--all}"
unset HXT_ROOT HXT_OBJECT_NAMESPACE HXT_SOCKFILTER_CONTROL
service=hxsockfilterd
port=62722
deadline_s=60

E2E_NAME="sockfilter e2e"
# shellcheck source=tests/win/wine_e2e.sh
. "$(dirname "${BASH_SOURCE[0]}")/wine_e2e.sh"
command -v unbound >/dev/null && command -v dig >/dev/null || fail "unbound and dig are needed (./hxt installs them)"
[ -x "$ctl" ] || fail "no hxtarrowctl at $ctl"
wine_e2e_start

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
resolver_port="$(free_port)"
stub_port="$(free_port)"
work="$(mktemp -d)"
drive="$WINEPREFIX/drive_c"
install="$drive/Program Files (x86)/Truvane/Truvane Helixor Client"
profile="$drive/ProgramData/Truvane/Truvane Helixor Client/Tarrow"
daemon_exe='C:\Program Files (x86)\Truvane\Truvane Helixor Client\hxsockfilterd.exe'
key='HKLM\SOFTWARE\Truvane\Truvane Helixor Client\SocketFilter'
nrpt='HKLM\SYSTEM\CurrentControlSet\Services\Dnscache\Parameters\DnsPolicyConfig'
resolver_pid=""
recover_pid=""

cleanup() {
  [ -n "$recover_pid" ] && kill "$recover_pid" 2>/dev/null || true
  sc stop hxtarrowagent >/dev/null || true
  sc delete hxtarrowagent >/dev/null || true
  wine "$daemon_exe" --uninstall >/dev/null 2>&1 || true
  wine reg delete "$key" /f >/dev/null 2>&1 || true
  [ -n "$resolver_pid" ] && kill "$resolver_pid" 2>/dev/null || true
  wineserver -k || true
  rm -rf "$work"
}
trap cleanup EXIT

cat > "$work/unbound.conf" <<CONF
server:
  interface: 127.0.0.1@$resolver_port
  do-ip6: no
  access-control: 127.0.0.0/8 allow
  do-daemonize: no
  username: ""
  chroot: ""
  directory: "$work"
  pidfile: ""
  use-syslog: no
  module-config: "iterator"
  local-zone: "." refuse
  local-zone: "example.test." static
  local-data: "www.example.test. 60 IN A 192.0.2.7"
  local-data: "ads.example.test. 60 IN A 192.0.2.66"
CONF
unbound -d -c "$work/unbound.conf" >"$work/unbound.log" 2>&1 &
resolver_pid=$!
answer() { dig +time=2 +tries=1 "$@" 2>/dev/null; }
resolver_up() { answer @127.0.0.1 -p "$resolver_port" www.example.test A +short | grep -qx 192.0.2.7; }
wait_for "the test resolver" resolver_up

mkdir -p "$install/Plugins" "$profile"
cp "$build/sockfilter/hxsockfilterd.exe" "$build/src/agent/hxtarrowagent.exe" \
   "$build"/sockfilter/*hx_sock_fltr_api*.dll "$install/"
rm -f "$install"/Plugins/*.dll
for plugin in dnsprotect swg clouddownloader; do cp "$build/plugins/$plugin/$plugin.dll" "$install/Plugins/"; done
echo '0.0.0.0 ads.example.test' > "$profile/blocked.txt"
printf '{"organization":"E2E Org","dns":{"upstreams":[{"address":"127.0.0.1:%s"}],%s}}\n' "$resolver_port" \
  '"blockLists":["blocked.txt"],"healthCheckIntervalMs":100,"queryTimeoutMs":2000' > "$profile/OrgInfo.json"
ndp='HKLM\SOFTWARE\Microsoft\NET Framework Setup\NDP\v4\Full'
wine reg add "$ndp" /v Install /t REG_DWORD /d 1 /f >/dev/null 2>&1
wine reg add "$ndp" /v Release /t REG_DWORD /d 528372 /f >/dev/null 2>&1
wine reg add "$ndp" /v Version /t REG_SZ /d 4.8.09037 /f >/dev/null 2>&1
wine reg delete "$key" /f >/dev/null 2>&1 || true
wine reg add "$key" /v StubAddress4 /t REG_SZ /d "127.0.0.1:$stub_port" /f >/dev/null 2>&1
wine reg add "$key" /v StubAddress6 /t REG_SZ /d "[::1]:$stub_port" /f >/dev/null 2>&1
wine reg add "$key" /v PassThroughResolvers /t REG_SZ /d "127.0.0.1:$resolver_port" /f >/dev/null 2>&1

rule_present() { wine reg query "$nrpt" /s 2>/dev/null | tr -d '\r' | grep -q 'GenericDNSServers.*127\.0\.0\.1;::1'; }
rule_absent() { ! rule_present; }
daemon_status() { wine "$daemon_exe" --status 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }
start_daemon() {
  service=hxsockfilterd
  sc start "$service" >/dev/null || true
  state_is 4
}

sc delete hxtarrowagent >/dev/null || true  # leftovers of an interrupted run
wine "$daemon_exe" --uninstall >/dev/null 2>&1 || true
wine "$daemon_exe" --install >/dev/null 2>&1 || fail "hxsockfilterd.exe --install"

# Without ControlGroup the pipe admits SYSTEM and the agent's service only.
wait_for "the daemon's service to run" start_daemon
wait_for "the NRPT rule" rule_present
out="$(daemon_status)" && fail "a process of Wine's user was admitted: $out"
grep -Eq 'refused|no access' <<<"$out" || fail "unexpected refusal: $out"
say "NRPT rule written; a client of an identity the pipe does not admit refused ($out)"
passes() { answer @127.0.0.1 -p "$stub_port" ads.example.test A +short | grep -qx 192.0.2.66; }
wait_for "pass-through with no agent" passes
sc stop "$service" >/dev/null
wait_for "the daemon's service to stop" state_is 1
wait_for "the NRPT rule to go" rule_absent
say "stopped: the NRPT rule is gone"

# Wine's user holds Administrators: as ControlGroup, the agent's process is admitted.
wine reg add "$key" /v ControlGroup /t REG_SZ /d Administrators /f >/dev/null 2>&1
wait_for "the daemon's service to run again" start_daemon
sc create hxtarrowagent binPath= 'C:\Program Files (x86)\Truvane\Truvane Helixor Client\hxtarrowagent.exe' \
  >/dev/null || fail "sc create hxtarrowagent"
service=hxtarrowagent
start_agent() { sc start hxtarrowagent >/dev/null || true; state_is 4; }
wait_for "the agent's service to run" start_agent
connected() { out="$(daemon_status)" && grep -q 'agent connected' <<<"$out"; }
wait_for "the agent to open the filter over the pipe" connected
say "the agent opened the filter: $out"
blocked() { answer @127.0.0.1 -p "$stub_port" ads.example.test A | grep -q 'status: NXDOMAIN'; }
wait_for "dnsprotect.dll to block ads.example.test" blocked
out="$(answer @127.0.0.1 -p "$stub_port" www.example.test A +short)"
[ "$out" = 192.0.2.7 ] || fail "www.example.test through the agent: $out"
out="$(answer +tcp @::1 -p "$stub_port" ads.example.test A)"
grep -q 'status: NXDOMAIN' <<<"$out" || fail "TCP over IPv6 through the agent: $out"
say "dig answered by dnsprotect.dll through the stub, the pipe and the agent (UDP, TCP, IPv4, IPv6)"
# The per-program table over the same pipe; dig's blocked answers carry EDE 15.
out="$(wine "$build/tools/hxtarrowctl.exe" top --json 2>&1 | tr -d '\r')" || fail "hxtarrowctl.exe top: $out"
grep -q '"blocked":"[1-9]' <<<"$out" || fail "hxtarrowctl.exe top counted no blocked answer: $out"
say "hxtarrowctl.exe top --json read the daemon's per-program counts over the pipe"

# The VPN agent's side. A pulse reaches the service only while it waits, so
# each state is published until the status shows it.
tool() { wine "$build/tools/$1.exe" "${@:2}" 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }
publish_shows() {
  tool hxvpnstate set --tunnel "$1" --tunnel-all-dns >/dev/null || fail "hxvpnstate.exe set --tunnel $1"
  out="$("$ctl" status 2>&1)" && grep -Eq "DNS protection: +IPv4 $2," <<<"$out"
}
out="$("$ctl" status --json 2>&1)" && grep -q '"AgentStatus":"ok"' <<<"$out" || fail "status document: $out"
wait_for "the connected tunnel in the status" publish_shows connected disabledDueToVpn
out="$(tool hxtarrowctl status)" && grep -Eq 'DNS protection: +IPv4 disabledDueToVpn,' <<<"$out" ||
  fail "hxtarrowctl.exe status: $out"
wait_for "the disconnected tunnel in the status" publish_shows disconnected protected
out="$(tool hxvpnstate show)" && grep -q 'tunnel state: *disconnected (4)' <<<"$out" || fail "hxvpnstate.exe show: $out"
say "hxvpnstate.exe's tunnel in the status of hxtarrowctl and hxtarrowctl.exe, and back"
sc stop hxtarrowagent >/dev/null
wait_for "the agent's service to stop" state_is 1
exit_code="$(query WIN32_EXIT_CODE)"
[ "$exit_code" = 0 ] || fail "the agent stopped with exit code $exit_code"
wait_for "the agent's service to run again" start_agent
wait_for "the agent to open the filter again" connected
say "sc stop: the agent ended with exit code 0; started again"

wine taskkill /f /im hxtarrowagent.exe >/dev/null 2>&1 || fail "taskkill the agent"
wait_for "pass-through after the agent died" passes
say "agent killed: the daemon passes queries through"

wine taskkill /f /im hxsockfilterd.exe >/dev/null 2>&1 || fail "taskkill the daemon"
rule_present || fail "the rule went without the recovery command"
# What the SCM runs on a crash (--install's recovery actions; Wine does not).
# The third failure's: the rule goes at once, the restart comes a minute later.
started="$EPOCHREALTIME"
wine "$daemon_exe" --recover 3 >/dev/null 2>&1 &
recover_pid=$!
deadline_s=2 wait_for "the recovery command to remove the NRPT rule" rule_absent
took_ms=$(( (${EPOCHREALTIME/./} - ${started/./}) / 1000 ))
[ "$took_ms" -le 2000 ] || fail "the recovery command took $took_ms ms to remove the NRPT rule"
# Wine's service manager still calls the killed daemon running; its stub tells.
stub_answers() { answer @127.0.0.1 -p "$stub_port" www.example.test A +short | grep -qx 192.0.2.7; }
! stub_answers || fail "a stub answered before the third failure's delay"
say "the recovery command removed the NRPT rule within $took_ms ms, the daemon still down"
kill "$recover_pid" 2>/dev/null || true
recover_pid=""
# The first failure's: the rule goes and the daemon comes back at once.
wine "$daemon_exe" --recover 1 >/dev/null 2>&1 || fail "the recovery command"
wait_for "the recovered daemon's stub" stub_answers
wait_for "the NRPT rule after recovery" rule_present
wine "$daemon_exe" --uninstall >/dev/null 2>&1 || fail "hxsockfilterd.exe --uninstall"
rule_absent || fail "the NRPT rule survived --uninstall"
say "daemon killed: recovered by its recovery command; uninstalled: the rule is gone"
trap - EXIT
cleanup
say "passed"

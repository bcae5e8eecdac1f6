#!/usr/bin/env bash
# The Windows service end to end under Wine's service manager: install it,
# start it, read its status from Linux over the loopback IPC port (Wine's
# sockets are the host's), publish a VPN state with hxvpnstate.exe and see it
# in the status, read the status with hxtarrowctl.exe too, stop the service,
# read its exit code, delete it.
#   tests/win/service_e2e.sh WINDOWS_BUILD_DIR LINUX_HXTARROWCTL
# The Wine prefix is WINEPREFIX, or WINDOWS_BUILD_DIR/wineprefix. The plug-ins
# are the stand-ins of e2e_plugin.dll (tests/win/e2eplugin.cpp).
set -euo pipefail

build="$(cd "$1" && pwd)"
ctl="$2"
export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}" WINEDEBUG="${WINEDEBUG:--all}"
unset HXT_ROOT HXT_OBJECT_NAMESPACE  # the tools use the installed system's VPN objects, as the service does
service=hxtarrowagent
port=62722
deadline_s=60

E2E_NAME="service e2e"
# shellcheck source=tests/win/wine_e2e.sh
. "$(dirname "${BASH_SOURCE[0]}")/wine_e2e.sh"
[ -x "$ctl" ] || fail "no hxtarrowctl at $ctl"
wine_e2e_start

drive="$WINEPREFIX/drive_c"
install="$drive/Program Files (x86)/Truvane/Truvane Helixor Client"  # where the agent looks for its plug-ins
profile="$drive/ProgramData/Truvane/Truvane Helixor Client/Tarrow"
mkdir -p "$install/Plugins" "$profile"
# The agent and the socket-filter library it imports by name.
cp "$build/src/agent/hxtarrowagent.exe" "$build"/sockfilter/*hx_sock_fltr_api*.dll "$install/"
cp "$build/tests/win/e2e_plugin.dll" "$install/Plugins/"
echo '{}' > "$profile/OrgInfo.json"
ndp='HKLM\SOFTWARE\Microsoft\NET Framework Setup\NDP\v4\Full'
wine reg add "$ndp" /v Install /t REG_DWORD /d 1 /f >/dev/null 2>&1
wine reg add "$ndp" /v Release /t REG_DWORD /d 528372 /f >/dev/null 2>&1
wine reg add "$ndp" /v Version /t REG_SZ /d 4.8.09037 /f >/dev/null 2>&1

cleanup() {
  sc stop "$service" >/dev/null || true
  sc delete "$service" >/dev/null || true
  wineserver -k || true
}
trap cleanup EXIT

sc delete "$service" >/dev/null || true  # a leftover of an interrupted run
sc create "$service" binPath= 'C:\Program Files (x86)\Truvane\Truvane Helixor Client\hxtarrowagent.exe' \
  >/dev/null || fail "sc create"
# A start that fails is tried again until the deadline, as a user would.
start_until_running() {
  local state
  state="$(query STATE)"
  [ "$state" = 4 ] && return 0
  [ "$state" = 2 ] && return 1  # start pending: wait
  sc start "$service" >/dev/null || say "sc start failed (state $state); trying again"
  state_is 4
}
wait_for "the service to run" start_until_running
say "running; asking its status on 127.0.0.1:$port"

status_ok() {
  out="$("$ctl" status 2>&1)" || return 1
  grep -Eq 'Agent status: +ok' <<<"$out"
}
wait_for "status \"ok\"" status_ok
printf '%s\n' "$out" >&2
json="$("$ctl" status --json)"
grep -q '"AgentStatus":"ok"' <<<"$json" || fail "status document: $json"

# The VPN agent's side: a connected tunnel turns the DNS protection's state
# (the stand-in's) to "disabledDueToVpn", a disconnected one back. A pulse
# reaches the service only while it waits, so each is published until seen.
tool() { wine "$build/tools/$1.exe" "${@:2}" 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }
publish_shows() {
  tool hxvpnstate set --tunnel "$1" >/dev/null || fail "hxvpnstate.exe set --tunnel $1"
  out="$("$ctl" status 2>&1)" && grep -Eq "DNS protection: +IPv4 $2," <<<"$out"
}
wait_for "the connected tunnel in the status" publish_shows connected disabledDueToVpn
say "hxvpnstate.exe published a connected tunnel; the status shows it"
out="$(tool hxtarrowctl status)" || fail "hxtarrowctl.exe status: $out"
printf '%s\n' "$out" >&2
grep -Eq 'Agent status: +ok' <<<"$out" && grep -Eq 'DNS protection: +IPv4 disabledDueToVpn,' <<<"$out" ||
  fail "hxtarrowctl.exe status: $out"
wait_for "the disconnected tunnel in the status" publish_shows disconnected protected
shown="$(tool hxvpnstate show)" || fail "hxvpnstate.exe show: $shown"
grep -q 'tunnel state: *disconnected (4)' <<<"$shown" || fail "hxvpnstate.exe show: $shown"

sc stop "$service" >/dev/null
wait_for "the service to stop" state_is 1
exit_code="$(query WIN32_EXIT_CODE)"
[ "$exit_code" = 0 ] || fail "the service stopped with exit code $exit_code"
sc delete "$service" >/dev/null || fail "sc delete"
trap - EXIT
wineserver -k || true
say "passed: installed, started, status \"ok\" with the plug-ins loaded, the VPN state of hxvpnstate.exe in the"
say "status of hxtarrowctl and hxtarrowctl.exe, stopped with exit code 0, deleted"

#!/usr/bin/env bash
# The Windows installer end to end under Wine's msiexec: install it quietly,
# see both services running (the agent's and hxsockfilterd's, with its NRPT
# rule written) and the recovery steps done, the installed hxtarrowctl.exe
# reading the status, then stop the agent, uninstall, and check that neither
# a file, a folder, a service nor the NRPT rule is left. Wine does not run
# rollback actions, so the daemon's is only checked to be one.
#   tests/win/msi_e2e.sh WINDOWS_BUILD_DIR MSI
# The Wine prefix is WINEPREFIX, or WINDOWS_BUILD_DIR/wineprefix.
set -euo pipefail

build="$(cd "$1" && pwd)"
msi="$(cd "$(dirname "$2")" && pwd)/$(basename "$2")"
export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}" WINEDEBUG="${WINEDEBUG:--all}"
unset HXT_ROOT HXT_OBJECT_NAMESPACE
service=hxtarrowagent
port=62722
deadline_s=60

E2E_NAME="msi e2e"
# shellcheck source=tests/win/wine_e2e.sh
. "$(dirname "${BASH_SOURCE[0]}")/wine_e2e.sh"
[ -f "$msi" ] || fail "no installer at $msi"
# Wine's msiexec does not run rollback actions: what is checked is that the
# daemon's is one (deferred rollback, as LocalSystem, return ignored).
actions="$(msiinfo export "$msi" CustomAction | tr -d '\r')"
grep -q $'^RollbackDaemonService\t3410\thxsockfilterd.exe\t--uninstall' <<<"$actions" ||
  fail "the daemon's rollback action is missing or not a deferred rollback one: $actions"
wine_e2e_start

drive="$WINEPREFIX/drive_c"
install="$drive/Program Files (x86)/Truvane"
data="$drive/ProgramData/Truvane"
# What the service end to end copied by hand into the same places goes
# first: whatever is there after the uninstall is then the installer's.
sc stop "$service" >/dev/null || true
sc delete "$service" >/dev/null || true
sc stop hxsockfilterd >/dev/null || true
sc delete hxsockfilterd >/dev/null || true
rm -rf "$install" "$data"
# The daemon's stub on a free loopback port, not 53, and its pass-through
# resolver on loopback too: the test sends it nothing, but nothing it could
# send would leave the machine.
key='HKLM\SOFTWARE\Truvane\Truvane Helixor Client\SocketFilter'
nrpt='HKLM\SYSTEM\CurrentControlSet\Services\Dnscache\Parameters\DnsPolicyConfig'
stub_port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
wine reg delete "$nrpt" /f >/dev/null 2>&1 || true
wine reg add "$key" /v StubAddress4 /t REG_SZ /d "127.0.0.1:$stub_port" /f >/dev/null 2>&1
wine reg add "$key" /v StubAddress6 /t REG_SZ /d "[::1]:$stub_port" /f >/dev/null 2>&1
wine reg add "$key" /v PassThroughResolvers /t REG_SZ /d "127.0.0.1:9" /f >/dev/null 2>&1
rule_present() { wine reg query "$nrpt" /s 2>/dev/null | tr -d '\r' | grep -q 'GenericDNSServers.*127\.0\.0\.1;::1'; }
# The plug-in runtime, which a Windows machine has and the service checks for.
ndp='HKLM\SOFTWARE\Microsoft\NET Framework Setup\NDP\v4\Full'
wine reg add "$ndp" /v Install /t REG_DWORD /d 1 /f >/dev/null 2>&1
wine reg add "$ndp" /v Release /t REG_DWORD /d 528372 /f >/dev/null 2>&1
wine reg add "$ndp" /v Version /t REG_SZ /d 4.8.09037 /f >/dev/null 2>&1

log="$build/msi-e2e-install.log"
cleanup() {
  wine msiexec /x "$msi" /qn >/dev/null 2>&1 || true
  wine reg delete "$key" /f >/dev/null 2>&1 || true
  wineserver -k || true
}
trap cleanup EXIT

wine msiexec /i "$msi" /qn /l*v "$(winepath -w "$log")" >/dev/null 2>&1 ||
  fail "msiexec /i ended with $? (log: $log)"
for file in hxtarrowagent.exe hxsockfilterd.exe hxtarrowctl.exe hxvpnstate.exe hxtsvcrecovery.exe \
            libhx_sock_fltr_api.dll Plugins/dnsprotect.dll Plugins/swg.dll Plugins/clouddownloader.dll; do
  [ -f "$install/Truvane Helixor Client/$file" ] || fail "not installed: $file"
done
[ -d "$data/Truvane Helixor Client/Tarrow" ] || fail "no profile folder"
# The installer starts the service; the start pending state passes.
wait_for "the installed service to run" state_is 4
# Wine's service manager takes recovery actions without keeping them (it
# cannot show them back): what is checked here is that the installer's step
# ran and succeeded. Wine's msiexec may return before its log is all
# written, so the log is waited on.
step_ended() { tr -d '\r' <"$log" | grep -q "Action ended .*: $1\. Return value 1\."; }
for step in SetServiceRecovery InstallDaemonService; do
  wait_for "the installer's step $step to succeed (log: $log)" step_ended "$step"
done
service=hxsockfilterd
wait_for "the installed daemon's service to run" state_is 4
wait_for "the daemon's NRPT rule" rule_present
service=hxtarrowagent
say "installed and running, the daemon too with its NRPT rule; the recovery steps done"

ctl() { wine "$install/Truvane Helixor Client/hxtarrowctl.exe" "$@" 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }
# The runtime found, the profile folder the installer made still empty.
status_answers() { out="$(ctl status)" && grep -Eq 'Agent status: +noOrginfo' <<<"$out"; }
wait_for "the installed hxtarrowctl.exe to read status \"noOrginfo\"" status_answers
printf '%s\n' "$out" >&2

sc stop "$service" >/dev/null || fail "sc stop"
wait_for "the service to stop" state_is 1
# The daemon is left running: the uninstall stops it and removes the rule.
wine msiexec /x "$msi" /qn >/dev/null 2>&1 || fail "msiexec /x ended with $?"
trap - EXIT
wine reg delete "$key" /f >/dev/null 2>&1 || true
for name in "$service" hxsockfilterd; do
  query="$(sc query "$name")" && fail "the service $name is still registered: $query"
done
! rule_present || fail "the NRPT rule is left after the uninstall"
left="$(find "$install" "$data" 2>/dev/null || true)"
[ -z "$left" ] || fail "left after the uninstall: $left"
wineserver -k || true
say "passed: installed by msiexec, both services running, NRPT rule written, recovery steps done, status"
say "read by the installed hxtarrowctl.exe, uninstalled, no file, folder, service or NRPT rule left"

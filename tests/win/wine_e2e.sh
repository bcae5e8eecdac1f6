# Shared by the Windows end-to-end scripts (sourced): messages, Wine's `sc`,
# polling with a deadline, and one fresh Wine server for the script's wine
# commands. The sourcing script sets WINEPREFIX, `service`, `port`,
# `deadline_s` and E2E_NAME (its name in messages).

say() { printf '== %s: %s\n' "$E2E_NAME" "$*" >&2; }
fail() { say "FAILED: $*"; exit 1; }
sc() { wine sc "$@" 2>/dev/null | tr -d '\r'; return "${PIPESTATUS[0]}"; }
# The value of FIELD in `sc query` (STATE is "4  RUNNING" → 4).
query() { sc query "$service" | awk -v f="$1" '$1 == f { print $3; exit }'; }
state_is() { [ "$(query STATE)" = "$1" ]; }
# Polls a command until it succeeds or the deadline passes.
wait_for() {
  local what="$1"; shift
  local end=$((SECONDS + deadline_s))
  until "$@"; do
    [ "$SECONDS" -lt "$end" ] || fail "timed out waiting for $what"
    sleep 0.5
  done
}

# wine_e2e_start: refuses a taken IPC port (the service could not serve it),
# makes the prefix when it is missing, and starts one Wine server afresh.
# Wine's service manager, when it has lived through the prefix's creation,
# fails every start: RegisterServiceCtrlHandlerExW answers 1060 in the
# service. One started afresh does not, so the suite's server ends first.
wine_e2e_start() {
  if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    fail "127.0.0.1:$port is taken already; the service could not serve it"
  fi
  [ -d "$WINEPREFIX/drive_c" ] || { say "creating the Wine prefix"; wineboot -i >/dev/null 2>&1; }
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  wineserver -p  # one server for every wine command that follows
}

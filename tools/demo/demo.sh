# The offline demo that `./hxt run` starts (sourced by ./hxt, which defines `say`).
#
# Everything stays on this machine: a local unbound answers the demo zone
# (demozone.conf) over plain DNS on 127.0.0.1:5300 and over DNS over TLS on
# 127.0.0.1:8530, with a certificate for "resolver.demo" from a CA made here,
# and refuses every other name without asking anyone. The profile points the
# DNS plug-in at that resolver, and hxsockfilterd passes what is not
# redirected to it too.

DEMO_SOURCE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
DEMO_PLAIN_PORT=5300
DEMO_TLS_PORT=8530
DEMO_TLS_NAME=resolver.demo
DEMO_STUB_PORT=5335

demo_plugins_dir() { printf '%s/opt/Truvane/Truvane Helixor Client/Plugins' "$1"; }
demo_profile_dir() { printf '%s/var/opt/Truvane/Truvane Helixor Client/Tarrow' "$1"; }

# demo_install_plugins BUILD ROOT: the plug-in modules the build made, and
# nothing else (a module left from an earlier run, such as a test fake, would
# offer an id twice). The agent is not running, so nothing is replaced in use.
demo_install_plugins() {
  local build="$1" root="$2" plugins
  plugins="$(demo_plugins_dir "$root")"
  mkdir -p "$plugins"
  rm -f "$plugins"/*.so
  cmake --install "$build" --prefix "$root" --component plugins >/dev/null
  say "installed plug-ins: $(cd "$plugins" && echo *.so)"
}

# demo_certificates DIR: a CA and the resolver's certificate, made once.
demo_certificates() {
  local dir="$1"
  [ -s "$dir/ca.pem" ] && [ -s "$dir/resolver.pem" ] && [ -s "$dir/resolver.key" ] && return 0
  say "making the demo CA and the certificate for $DEMO_TLS_NAME in $dir"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 3650 \
    -subj "/CN=hxtarrowagent demo CA" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" -keyout "$dir/ca.key" -out "$dir/ca.pem" 2>/dev/null
  openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj "/CN=$DEMO_TLS_NAME" \
    -keyout "$dir/resolver.key" -out "$dir/resolver.csr" 2>/dev/null
  printf 'subjectAltName=DNS:%s\nbasicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\n' \
    "$DEMO_TLS_NAME" > "$dir/resolver.ext"
  openssl x509 -req -in "$dir/resolver.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" -CAcreateserial \
    -days 825 -extfile "$dir/resolver.ext" -out "$dir/resolver.pem" 2>/dev/null
  rm -f "$dir/resolver.csr" "$dir/resolver.ext"
}

# demo_resolver_config DIR: unbound's configuration, written on every run.
demo_resolver_config() {
  local dir="$1"
  cat > "$dir/unbound.conf" <<CONF
# Written by ./hxt run: the demo resolver. Loopback only, never recursing.
server:
  verbosity: 1
  interface: 127.0.0.1@$DEMO_PLAIN_PORT
  interface: 127.0.0.1@$DEMO_TLS_PORT
  tls-port: $DEMO_TLS_PORT
  tls-service-key: "$dir/resolver.key"
  tls-service-pem: "$dir/resolver.pem"
  do-ip6: no
  access-control: 127.0.0.0/8 allow
  do-daemonize: no
  username: ""
  chroot: ""
  directory: "$dir"
  pidfile: "$dir/unbound.pid"
  use-syslog: no
  logfile: ""
  log-queries: yes
  num-threads: 1
  # No validation: nothing to fetch trust anchors for.
  module-config: "iterator"
  # Every name outside the demo zones is refused, so nothing is ever looked up elsewhere.
  local-zone: "." refuse
  include: "$DEMO_SOURCE/demozone.conf"
  # And were anything looked up, it would go to the discard port on loopback.
  do-not-query-localhost: no
forward-zone:
  name: "."
  forward-addr: 127.0.0.1@9
remote-control:
  control-enable: no
CONF
}

# demo_profile ROOT DIR: the organisation profile and its block list, written
# when absent (or when the profile is the placeholder of older checkouts) so
# that edits survive.
demo_profile() {
  local root="$1" dir="$2" profile location
  profile="$(demo_profile_dir "$root")"
  mkdir -p "$profile" "$dir/updates"
  [ -f "$profile/blocklist.txt" ] || cp "$DEMO_SOURCE/blocklist.txt" "$profile/blocklist.txt"
  if [ -f "$profile/OrgInfo.json" ] && grep -q '"dns"' "$profile/OrgInfo.json"; then return 0; fi
  location="file://$(printf '%s' "$dir/updates" | sed 's/%/%25/g; s/ /%20/g')"
  cat > "$profile/OrgInfo.json" <<JSON
{
  "organization": "demo",
  "dns": {
    "upstreams": [
      {"address": "127.0.0.1:$DEMO_TLS_PORT", "transport": "tls", "tlsName": "$DEMO_TLS_NAME", "caFile": "$dir/ca.pem"},
      {"address": "127.0.0.1:$DEMO_PLAIN_PORT", "transport": "udp"}
    ],
    "blockLists": ["blocklist.txt"],
    "allowList": [],
    "blockResponse": "nxdomain",
    "blockTtl": 60,
    "localDomains": [],
    "queryTimeoutMs": 2000
  },
  "swg": {"enabled": false},
  "updates": {"location": "$location"}
}
JSON
}

# demo_unbound DIR: the unbound binary to run. Where AppArmor is on, Debian
# confines /usr/sbin/unbound to the system service's files under /etc/unbound
# and /var/lib/unbound, so the demo's own instance, which reads its files in
# the private root, runs from a copy that the service's profile does not name.
demo_unbound() {
  local dir="$1" binary
  binary="$(command -v unbound || echo /usr/sbin/unbound)"
  if [ "$(cat /sys/module/apparmor/parameters/enabled 2>/dev/null)" = Y ] && [ -f /etc/apparmor.d/usr.sbin.unbound ]; then
    cp -f "$binary" "$dir/unbound.bin"
    binary="$dir/unbound.bin"
  fi
  printf '%s' "$binary"
}

# demo_start_resolver DIR: starts unbound in a session of its own (Ctrl-C
# reaches only the agent) and waits until it answers; sets DEMO_RESOLVER_PID.
demo_start_resolver() {
  local dir="$1" _
  if ss -Htuln 2>/dev/null | grep -qE "127\.0\.0\.1:($DEMO_PLAIN_PORT|$DEMO_TLS_PORT)\b"; then
    echo "hxt: port $DEMO_PLAIN_PORT or $DEMO_TLS_PORT on 127.0.0.1 is taken; the demo resolver needs both" >&2
    return 1
  fi
  unbound-checkconf "$dir/unbound.conf" >/dev/null
  setsid "$(demo_unbound "$dir")" -d -c "$dir/unbound.conf" > "$dir/unbound.log" 2>&1 &
  DEMO_RESOLVER_PID=$!
  for _ in $(seq 100); do
    if dig +short +time=1 +tries=1 @127.0.0.1 -p "$DEMO_PLAIN_PORT" example.com A 2>/dev/null | grep -q .; then
      say "demo resolver (unbound) answers on 127.0.0.1:$DEMO_PLAIN_PORT and DNS over TLS on 127.0.0.1:$DEMO_TLS_PORT; log $dir/unbound.log"
      return 0
    fi
    kill -0 "$DEMO_RESOLVER_PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "hxt: the demo resolver did not start; its log:" >&2
  tail -n 20 "$dir/unbound.log" >&2
  return 1
}

# demo_stop DIR PID...: ends the demo's background processes in the order
# given, then shows the resolver's own count of what it asked elsewhere.
demo_stop() {
  local dir="$1" pid
  shift
  for pid in "$@"; do
    [ -n "$pid" ] || continue
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  if [ -f "$dir/unbound.log" ]; then
    grep -o 'server stats for thread 0: [^,]*queries.*recursions' "$dir/unbound.log" | tail -n 1 |
      sed 's/^server stats for thread 0: /== demo resolver: /' >&2 || true
  fi
}

# demo_hints ROOT DIR HAS_DNS_PLUGIN: what to try.
demo_hints() {
  local root="$1" dir="$2" dns="$3" ctl="$HERE/build/release/tools/hxtarrowctl"
  cat >&2 <<HINTS

== The demo runs offline: the only upstream is the local resolver. Try, in another terminal:
   dig @127.0.0.1 -p $DEMO_STUB_PORT example.com           # a real answer from the demo zone
   dig @127.0.0.1 -p $DEMO_STUB_PORT ads.example.com       # on the block list ($(demo_profile_dir "$root")/blocklist.txt)
   dig @::1 -p $DEMO_STUB_PORT +tcp www.example.com AAAA  # over TCP, to the stub on [::1]
   dig @127.0.0.1 -p $DEMO_STUB_PORT example.info          # outside the demo zones: refused, never looked up
   dig @127.0.0.1 -p $DEMO_PLAIN_PORT ads.example.com       # the resolver itself does answer it
   dig +tls +tls-ca=$dir/ca.pem +tls-hostname=$DEMO_TLS_NAME @127.0.0.1 -p $DEMO_TLS_PORT example.com
   $ctl status
   $ctl watch                 # state and statistics as they change
HINTS
  if [ "$dns" != yes ]; then
    cat >&2 <<WARN
== The DNS-protection plug-in (dnsprotect.so) was not built, so the agent cannot start: only the
   resolver and hxsockfilterd run, and the stub passes every query to the resolver unfiltered
   (nothing is blocked, and hxtarrowctl finds no agent). Ctrl-C stops the demo.
WARN
  fi
  echo >&2
}

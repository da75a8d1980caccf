#!/usr/bin/env bash
# scripts/nginx.sh keeps its certificate while it is valid for the host and not about to expire,
# and makes a new one otherwise: clients given its path must keep trusting a restarted host.
set -uo pipefail
nginx_sh=$1
work=$(mktemp -d)
failed=0
stop() { [ -f "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null && sleep 0.2; }
trap 'stop; rm -rf "$work"' EXIT

# Starts the host for HOST, stops it, and prints the certificate's fingerprint.
serve() {
  local port
  port=$("$nginx_sh" free-port) || return 1
  "$nginx_sh" "$work" "$port" "$1" >/dev/null || return 1
  stop
  openssl x509 -in "$work/cert.pem" -noout -fingerprint -sha256
}

expect() { # NAME WANTED(same|new) BEFORE AFTER
  local got=new
  [ "$3" = "$4" ] && got=same
  if [ "$got" = "$2" ]; then echo "ok: $1"; else echo "FAILED: $1 (certificate $got)"; failed=1; fi
}

first=$(serve downloads.pelorin.test) || exit 1
again=$(serve downloads.pelorin.test) || exit 1
expect "restarted for the same host" same "$first" "$again"
other=$(serve mirror.pelorin.test) || exit 1
expect "restarted for another host" new "$again" "$other"
exit "$failed"

#!/usr/bin/env bash
# A forward proxy on loopback for the demo and the benchmarks: Debian's squid.
#   scripts/squid.sh WORK PORT   listen on 127.0.0.1:PORT in the background, tunnelling HTTPS
#                                (CONNECT) to port 443 and any port above 1023
# Stop it with `kill "$(cat WORK/squid.pid)"`. Configuration, pid and logs (access.log: one line
# per tunnel, written when it closes) stay in WORK. It caches nothing, and names are looked up
# only at a name server on 127.0.0.1, so nothing it does leaves the machine.
set -euo pipefail

[ $# -eq 2 ] || {
  sed -n 's/^#   //p' "$0" >&2
  exit 2
}
work=$(realpath -m "$1")
port=$2
mkdir -p "$work"
rm -f "$work/cache.log" "$work/squid.pid"
cat >"$work/squid.conf" <<CONF
http_port 127.0.0.1:$port
pid_filename $work/squid.pid
access_log stdio:$work/access.log
cache_log $work/cache.log
coredump_dir $work
cache deny all
cache_store_log none
netdb_filename none
pinger_enable off
shutdown_lifetime 0 seconds
visible_hostname pelorin-demo-proxy
dns_nameservers 127.0.0.1
acl SSL_ports port 443 1024-65535
acl CONNECT method CONNECT
http_access deny CONNECT !SSL_ports
http_access allow localhost
http_access deny all
CONF
# Started by root, squid runs as Debian's "proxy" user, which must own its folder.
[ "$(id -u)" -ne 0 ] || chown -R proxy: "$work"

# A service name of its own: squid names its shared memory by it.
squid -N -n "pelorin$port" -f "$work/squid.conf" >"$work/squid.out" 2>&1 &
for _ in $(seq 1 100); do
  if grep -q "Accepting HTTP Socket connections" "$work/cache.log" 2>/dev/null && [ -s "$work/squid.pid" ]; then
    exit 0
  fi
  kill -0 $! 2>/dev/null || break
  sleep 0.1
done
echo "squid.sh: squid did not start (see $work/cache.log)" >&2
exit 1

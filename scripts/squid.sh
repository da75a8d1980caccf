#!/usr/bin/env bash
# A forward proxy on loopback for the demo, the tests and the benchmarks: Debian's squid.
#   scripts/squid.sh WORK PORT [--resolve HOST] [--user USER:PASSWORD]
#       listen on 127.0.0.1:PORT in the background, tunnelling HTTPS (CONNECT) to port 443 and
#       any port above 1023
#   --resolve HOST        resolve HOST to 127.0.0.1 (a hosts file of its own): then that name
#                         reaches loopback only through the proxy
#   --user USER:PASSWORD  every request must carry these credentials (Basic)
# Stop it with `kill "$(cat WORK/squid.pid)"`. Configuration, pid and logs (access.log: one line
# per tunnel, written when it closes) stay in WORK. It caches nothing, and other names are looked
# up only at a name server on 127.0.0.1, so nothing it does leaves the machine.
set -euo pipefail

usage() {
  sed -n '/^#   scripts/,/^#   --user/s/^# //p' "$0" >&2
  exit 2
}
[ $# -ge 2 ] || usage
work=$(realpath -m "$1")
port=$2
shift 2
resolve="" user=""
while [ $# -gt 0 ]; do
  case $1 in
    --resolve) resolve=${2:?--resolve needs a host} ;;
    --user) user=${2:?--user needs USER:PASSWORD} ;;
    *) usage ;;
  esac
  shift 2
done

mkdir -p "$work"
rm -f "$work/cache.log" "$work/squid.pid"
: >"$work/hosts"
[ -z "$resolve" ] || echo "127.0.0.1 $resolve" >"$work/hosts"
access=""
if [ -n "$user" ]; then
  echo "${user%%:*}:$(openssl passwd -apr1 "${user#*:}")" >"$work/passwords"
  access="auth_param basic program /usr/lib/squid/basic_ncsa_auth $work/passwords
acl known proxy_auth REQUIRED
http_access deny !known"
fi
cat >"$work/squid.conf" <<CONF
http_port 127.0.0.1:$port
pid_filename $work/squid.pid
access_log stdio:$work/access.log
cache_log $work/cache.log
coredump_dir $work
hosts_file $work/hosts
cache deny all
cache_store_log none
netdb_filename none
pinger_enable off
shutdown_lifetime 0 seconds
visible_hostname pelorin-proxy
dns_nameservers 127.0.0.1
acl SSL_ports port 443 1024-65535
acl CONNECT method CONNECT
http_access deny CONNECT !SSL_ports
$access
http_access allow localhost
http_access deny all
CONF
# Started by root, squid runs as Debian's "proxy" user, which must own its folder.
[ "$(id -u)" -ne 0 ] || chown -R proxy: "$work"

# A service name of its own: squid names its shared memory by it.
squid -N -n "pelorin$port" -f "$work/squid.conf" >"$work/squid.out" 2>&1 &
for _ in $(seq 1 300); do
  if grep -q "Accepting HTTP Socket connections" "$work/cache.log" 2>/dev/null && [ -s "$work/squid.pid" ]; then
    exit 0
  fi
  kill -0 $! 2>/dev/null || break
  sleep 0.1
done
echo "squid.sh: squid did not start (see $work/cache.log)" >&2
exit 1

#!/usr/bin/env bash
# A SOCKS 5 proxy on loopback for the tests: Debian's dante-server, without authentication.
#   scripts/dante.sh WORK PORT --resolve HOST
#       listen on 127.0.0.1:PORT in the background, in a mount namespace of its own whose
#       /etc/hosts resolves HOST (and nothing else) to 127.0.0.1: that name reaches loopback only
#       through the proxy
# Stop it with `kill "$(cat WORK/danted.pid)"`. Configuration, pid and log (danted.log: each
# request as received, "ATYP: 3" for one by name) stay in WORK.
set -euo pipefail

if [ $# -ne 4 ] || [ "$3" != --resolve ]; then
  sed -n '/^#   scripts/,/^#       through/s/^# //p' "$0" >&2
  exit 2
fi
work=$(realpath -m "$1")
port=$2
mkdir -p "$work"
rm -f "$work/danted.pid" "$work/danted.log"
echo "127.0.0.1 $4" >"$work/hosts"
# In its own namespace it is root, and stays so: its children need no other account.
cat >"$work/danted.conf" <<CONF
debug: 1
logoutput: $work/danted.log
internal: 127.0.0.1 port = $port
external: 127.0.0.1
clientmethod: none
socksmethod: none
user.privileged: root
user.unprivileged: root
client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }
socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }
CONF

# Root makes a mount namespace; anyone else a user namespace that maps them to root, with one.
namespace=(unshare --mount --propagation private)
[ "$(id -u)" -eq 0 ] || namespace=(unshare --user --map-root-user --mount)
# shellcheck disable=SC2016 # the command line expands its arguments in the namespace
"${namespace[@]}" sh -c 'mount --bind "$1/hosts" /etc/hosts && exec danted -f "$1/danted.conf" -p "$1/danted.pid"' \
  sh "$work" >"$work/danted.out" 2>&1 &
for _ in $(seq 1 300); do
  if grep -q "running" "$work/danted.log" 2>/dev/null && [ -s "$work/danted.pid" ]; then
    exit 0
  fi
  kill -0 $! 2>/dev/null || break
  sleep 0.1
done
echo "dante.sh: danted did not start (see $work/danted.log)" >&2
exit 1

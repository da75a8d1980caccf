#!/usr/bin/env bash
# The distribution host on loopback for the demo and the benchmarks.
#   scripts/nginx.sh WORK PORT HOST [ROOT]   serve ROOT (default WORK/www) over TLS 1.2/1.3 on
#                                            127.0.0.1:PORT under the name HOST, in the background
#   scripts/nginx.sh free-port               print a loopback port that nothing listens on
# NGINX_LIMIT_RATE, when set, caps each response at that many bytes per second.
# Stop it with `kill "$(cat WORK/nginx.pid)"`. The certificate WORK/cert.pem, self-signed for HOST,
# is the clients' trust store; it is kept while it is valid for HOST, so clients that were given
# its path keep trusting a restarted server. Configuration, pid, logs and temporary folders stay
# in WORK.
set -euo pipefail

if [ "${1:-}" = free-port ]; then
  for _ in $(seq 1 200); do
    port=$((20000 + RANDOM % 40000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      exit 0
    fi
  done
  echo "nginx.sh: found no free loopback port" >&2
  exit 1
fi

[ $# -eq 3 ] || [ $# -eq 4 ] || {
  sed -n 's/^#   //p' "$0" >&2
  exit 2
}
work=$(realpath -m "$1")
port=$2
host=$3
root=$(realpath -m "${4:-$work/www}")
mkdir -p "$work" "$root" "$work/temp"
chmod a+rx "$root"

# One question per call: given -checkend too, openssl 3.0 never prints the host check's answer.
certificate_fits() {
  openssl x509 -in "$work/cert.pem" -noout -checkend 3600 >/dev/null 2>&1 &&
    openssl x509 -in "$work/cert.pem" -noout -checkhost "$host" 2>/dev/null | grep -q "does match"
}
if ! certificate_fits; then
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 \
    -subj "/CN=$host" -addext "subjectAltName=DNS:$host" \
    -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
fi
chmod 600 "$work/key.pem"
chmod 644 "$work/cert.pem"

# Started by root, nginx's workers run as nobody, which must be able to read what they serve:
# the files themselves (the caller's job) and every folder above them. Where nobody cannot get
# there (a clone inside root's own 0700 home), the workers stay root.
user=""
if [ "$(id -u)" -eq 0 ]; then
  if runuser -u nobody -- test -x "$root" 2>/dev/null; then
    user="user nobody nogroup;"
  else
    user="user root root;"
  fi
fi
cat >"$work/nginx.conf" <<CONF
$user
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 64; }
http {
  access_log off;
  default_type application/octet-stream;
  client_body_temp_path $work/temp/body;
  proxy_temp_path $work/temp/proxy;
  fastcgi_temp_path $work/temp/fastcgi;
  uwsgi_temp_path $work/temp/uwsgi;
  scgi_temp_path $work/temp/scgi;
  server {
    listen 127.0.0.1:$port ssl;
    server_name $host;
    ssl_certificate $work/cert.pem;
    ssl_certificate_key $work/key.pem;
    ssl_protocols TLSv1.2 TLSv1.3;
    root $root;
    ${NGINX_LIMIT_RATE:+limit_rate $NGINX_LIMIT_RATE;}
  }
}
CONF

nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log"

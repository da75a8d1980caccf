#!/usr/bin/env bash
# The distribution host on loopback for the demo and the benchmarks.
#   scripts/nginx.sh WORK PORT HOST [ROOT]   serve ROOT (default WORK/www) over TLS 1.2/1.3 on
#                                            127.0.0.1:PORT under the name HOST, in the background
#   scripts/nginx.sh WORK PORT HOST --edge ORIGIN_WORK ORIGIN_PORT
#                                            a caching edge for HOST on 127.0.0.1:PORT in front
#                                            of the host started as ORIGIN_WORK ORIGIN_PORT HOST,
#                                            presenting and trusting that host's certificate
#   scripts/nginx.sh free-port               print a loopback port that nothing listens on
# NGINX_LIMIT_RATE, when set, caps each response at that many bytes per second.
# The edge caches slices of NGINX_EDGE_SLICE bytes (default 1m; empty: whole responses) under the
# key NGINX_EDGE_KEY (default $uri$is_args$args$slice_range) in WORK/cache, the manifest for 5
# seconds only, and logs each request and each slice with its range and $upstream_cache_status in
# WORK/access.log.
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

edge=""
if [ $# -eq 6 ] && [ "$4" = --edge ]; then
  edge=1
elif [ $# -ne 3 ] && [ $# -ne 4 ]; then
  sed -n 's/^#   //p' "$0" >&2
  exit 2
fi
work=$(realpath -m "$1")
port=$2
host=$3
mkdir -p "$work/temp"
if [ -n "$edge" ]; then
  origin=$(realpath -m "$5")
  origin_port=$6
  root=$work
  [ -f "$origin/cert.pem" ] || {
    echo "nginx.sh: start the host in $origin first: the edge presents its certificate" >&2
    exit 1
  }
else
  origin=$work
  root=$(realpath -m "${4:-$work/www}")
  mkdir -p "$root"
  chmod a+rx "$root"
fi

# One question per call: given -checkend too, openssl 3.0 never prints the host check's answer.
certificate_fits() {
  openssl x509 -in "$work/cert.pem" -noout -checkend 3600 >/dev/null 2>&1 &&
    openssl x509 -in "$work/cert.pem" -noout -checkhost "$host" 2>/dev/null | grep -q "does match"
}
if [ -z "$edge" ] && ! certificate_fits; then
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 \
    -subj "/CN=$host" -addext "subjectAltName=DNS:$host" \
    -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
fi
chmod 600 "$origin/key.pem"
chmod 644 "$origin/cert.pem"

# Started by root, nginx's workers run as nobody, which must be able to read what they serve
# (the edge: its cache): the files themselves (the caller's job) and every folder above them.
# Where nobody cannot get there (a clone inside root's own 0700 home), the workers stay root.
user=""
if [ "$(id -u)" -eq 0 ]; then
  if runuser -u nobody -- test -x "$root" 2>/dev/null; then
    user="user nobody nogroup;"
  else
    user="user root root;"
  fi
fi
server_conf="root $root;" http_conf=""
if [ -n "$edge" ]; then
  # Ranges are fetched and cached as aligned slices, so that any "Range: bytes=N-" is answered
  # exactly from blocks that every request shares; a block being fetched is fetched once, the
  # others wait for it. The manifest changes in place: kept briefly.
  slice=${NGINX_EDGE_SLICE-1m}
  http_conf="proxy_cache_path $work/cache levels=1:2 keys_zone=edge:1m use_temp_path=off;
  log_format edge '\$request_uri range=\"\$http_range\" slice=\"\$upstream_http_content_range\" status=\$status cache=\$upstream_cache_status';"
  server_conf="proxy_set_header Host $host;
    proxy_ssl_server_name on;
    proxy_ssl_name $host;
    proxy_ssl_verify on;
    proxy_ssl_trusted_certificate $origin/cert.pem;
    proxy_cache edge;
    proxy_cache_lock on;
    proxy_cache_key ${NGINX_EDGE_KEY-\$uri\$is_args\$args\$slice_range};
    proxy_cache_valid 200 206 10m;
    ${slice:+slice $slice; proxy_set_header Range \$slice_range;}
    location / { proxy_pass https://127.0.0.1:$origin_port; }
    location = /desktop-releases/installer/stable/latest.json {
      proxy_pass https://127.0.0.1:$origin_port;
      proxy_cache_valid 200 206 5s;
    }
    log_subrequest on;
    access_log $work/access.log edge;"
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
  $http_conf
  server {
    listen 127.0.0.1:$port ssl;
    server_name $host;
    ssl_certificate $origin/cert.pem;
    ssl_certificate_key $origin/key.pem;
    ssl_protocols TLSv1.2 TLSv1.3;
    $server_conf
    ${NGINX_LIMIT_RATE:+limit_rate $NGINX_LIMIT_RATE;}
  }
}
CONF

nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log"
# The master writes its pid file only once it is in the background, and callers stop it by that
# file: return when it is there.
for _ in $(seq 1 100); do
  [ -s "$work/nginx.pid" ] && exit 0
  sleep 0.05
done
echo "nginx.sh: nginx wrote no $work/nginx.pid (see $work/error.log)" >&2
exit 1

#!/usr/bin/env bash
# Downloads a 1 GiB file over loopback TLS from nginx, with the Downloader and with the curl
# command-line tool side by side, and prints one line per figure: name, ours, reference, ratio,
# target. Everything it makes (file, certificate, nginx configuration, pid, logs) stays under
# BUILD_DIR/bench-download (default build/bench-download); the 1 GiB file is kept for next time.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build}
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j2 --target download_bench >/dev/null
bench="$(realpath "$build")/bench/download_bench"
work="$(realpath "$build")/bench-download"
mkdir -p "$work/www" "$work/temp"
# nginx's workers run as nobody when started by root: the files they serve must be readable.
chmod 755 "$work" "$work/www"

big="$work/www/big.bin"
if [ "$(stat -c %s "$big" 2>/dev/null || echo 0)" != 1073741824 ]; then
  echo "making a 1 GiB file of random bytes..." >&2
  head -c 1073741824 /dev/urandom >"$big.part"
  mv "$big.part" "$big"
fi
chmod 644 "$big"

host=$("$bench" host)
port=$("$bench" free-port)
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 \
  -subj "/CN=$host" -addext "subjectAltName=DNS:$host" \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
chmod 600 "$work/key.pem"

user=""
[ "$(id -u)" -eq 0 ] && user="user nobody nogroup;"
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
    root $work/www;
  }
}
CONF

nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log"
trap 'kill "$(cat "$work/nginx.pid")" 2>/dev/null || true' EXIT

"$bench" measure "$port" "$work"

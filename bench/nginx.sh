#!/usr/bin/env bash
# Serves WORK/www over TLS on 127.0.0.1:PORT with nginx, under the name HOST, until
# `kill "$(cat WORK/nginx.pid)"`. Makes a self-signed certificate WORK/cert.pem for HOST (the
# trust store of the clients) and keeps the configuration, pid and logs in WORK.
#   bench/nginx.sh WORK PORT HOST
set -euo pipefail
work=$(realpath "$1")
port=$2
host=$3
mkdir -p "$work/www" "$work/temp"
# nginx's workers run as nobody when started by root: what they serve must be readable.
chmod 755 "$work" "$work/www"

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

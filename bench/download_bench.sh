#!/usr/bin/env bash
# Downloads a 1 GiB file over loopback TLS from nginx, with the Downloader and with the curl
# command-line tool side by side, directly and through squid on loopback, measures cancels in every stage of a transfer against an
# in-process test server, and prints one line per figure: name, ours, reference, ratio, target.
# Everything it makes (file, certificate, nginx and squid configuration, pids, logs) stays under
# BUILD_DIR/bench-download (default build/bench-download); the 1 GiB file is kept for next time.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build}
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j2 --target download_bench >/dev/null
bench="$(realpath "$build")/bin/download_bench"
work="$(realpath "$build")/bench-download"
mkdir -p "$work/www"

big="$work/www/big.bin"
if [ "$(stat -c %s "$big" 2>/dev/null || echo 0)" != 1073741824 ]; then
  echo "making a 1 GiB file of random bytes..." >&2
  head -c 1073741824 /dev/urandom >"$big.part"
  mv "$big.part" "$big"
fi
chmod 644 "$big"

port=$("$bench" free-port)
proxy_port=$("$bench" free-port)
trap 'kill "$(cat "$work/nginx.pid")" "$(cat "$work/squid/squid.pid")" 2>/dev/null || true' EXIT
scripts/nginx.sh "$work" "$port" "$("$bench" host)"
scripts/squid.sh "$work/squid" "$proxy_port"

"$bench" measure "$port" "$work" "$proxy_port"

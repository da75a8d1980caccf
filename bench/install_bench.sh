#!/usr/bin/env bash
# One whole installation of a ~512 MiB image from nginx over loopback TLS, beside the same steps
# done by the standard tools (curl, openssl dgst, the stand-in hdiutil and ditto, and the stand-in
# checks), and prints one line per figure: name, ours, reference, ratio, target. Everything stays
# under BUILD_DIR/bench-install (default build/bench-install); the release is kept for next time.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build}
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j2 --target install_bench >/dev/null
bench="$(realpath "$build")/bin/install_bench"
work="$(realpath "$build")/bench-install"
mkdir -p "$work"

echo "preparing the release (once)..." >&2
"$bench" prepare "$work"
port=$(scripts/nginx.sh free-port)
scripts/nginx.sh "$work" "$port" "$("$bench" host)"
trap 'kill "$(cat "$work/nginx.pid")" 2>/dev/null || true' EXIT

"$bench" measure "$work" "$port"

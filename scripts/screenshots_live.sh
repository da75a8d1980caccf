#!/usr/bin/env bash
# The real program against a local distribution host, seen on a virtual X display. It builds the
# program for that host in BUILD_DIR (default build-live: the host's address and trust store are
# compiled in), publishes a sample release with the release tool, serves it with nginx over TLS
# on loopback (slowly, so that the download shows), presses Return with xdotool and takes
# screenshots of the ready, working, done and failed states, in Simplified Chinese and English.
#   scripts/screenshots_live.sh [BUILD_DIR [OUT_DIR]]      (OUT_DIR default: BUILD_DIR/screenshots)
# Each language installs into a home folder of its own under a temporary folder.
set -euo pipefail
host=downloads.pelorin.example
port=${PELORIN_LIVE_PORT:-18443}
app="Pelorin Code.app"

# Inside xvfb-run: a screenshot of the program's window.
shoot() {
  eval "$(xdotool getwindowgeometry --shell "$window")"
  import -window root "$1.full.png"
  convert "$1.full.png" -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$1"
  rm -f "$1.full.png"
}

# Inside xvfb-run: start the program in FOLDER, show it, press Return, follow the run.
if [ "${1:-}" = "--run" ]; then
  folder=$2 out=$3 expect=$4
  "$folder/PelorinInstaller" &
  pid=$!
  trap 'kill $pid 2>/dev/null || true' EXIT
  window=$(xdotool search --sync --onlyvisible --name 'Pelorin' | head -n 1)
  sleep 1
  [ "$expect" = "done" ] && shoot "$out-ready.png"
  xdotool windowfocus --sync "$window"
  xdotool key Return
  if [ "$expect" = "done" ]; then
    sleep 3
    shoot "$out-working.png"
    for _ in $(seq 1200); do [ -e "$HOME/Applications/$app" ] && break; sleep 0.1; done
    [ -e "$HOME/Applications/$app" ] || { echo "no installation in $HOME/Applications" >&2; exit 1; }
  fi
  sleep 2
  shoot "$out-$expect.png"
  exit 0
fi

cd "$(dirname "$0")/.."
build=$(realpath -m "${1:-build-live}")
out=$(realpath -m "${2:-$build/screenshots}")
live=$build/live
mkdir -p "$live" "$out"
work=$(mktemp -d)
chmod 755 "$work"
cleanup() {
  [ -f "$live/nginx.pid" ] && kill "$(cat "$live/nginx.pid")" 2>/dev/null
  # An interrupted run may leave its disk image mounted.
  for mount in $(grep -o " $work/[^ ]*" /proc/mounts || true); do fusermount3 -u "$mount" || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# The host's certificate (made by scripts/nginx.sh) is the program's trust store; its path is
# compiled in.
cmake -S . -B "$build" -G Ninja -DPELORIN_CONNECT_TO="$host:443:127.0.0.1:$port" \
  -DPELORIN_CA_FILE="$live/cert.pem" >/dev/null
cmake --build "$build" --target pelorin-release >/dev/null
[ -f "$live/keys/anchor.pem" ] || "$build/bin/pelorin-release" keygen "$live/keys" >/dev/null
cmake -S . -B "$build" -DPELORIN_ANCHOR_KEY="$live/keys/anchor.pem" >/dev/null
cmake --build "$build" --target PelorinInstaller standins >/dev/null

mkdir -p "$work/www"
"$build/bin/pelorin-release" publish --version 1.4.0 --minimum-system 5.0.0 \
  --key "$live/keys/signing-key.pem" --out "$work/www" --sample universal >/dev/null
chmod -R a+rX "$work/www"
image_bytes=$(stat -c %s "$work/www/desktop-releases/1.4.0/app-arm64.dmg")

# The download takes about eight seconds.
NGINX_LIMIT_RATE=$((image_bytes / 8 + 1)) scripts/nginx.sh "$live" "$port" "$host" "$work/www"

bundle=PelorinInstaller_PelorinInstaller.bundle
mkdir -m 0700 "$work/runtime"
export XDG_RUNTIME_DIR=$work/runtime
unset XDG_DATA_HOME
for language in zh-hans en; do
  folder=$work/$language
  mkdir "$folder" "$work/home-$language"
  for file in PelorinInstaller hdiutil ditto codesign spctl anchor.pem; do
    cp "$build/bin/$file" "$folder/"
  done
  cp -r "$build/bin/$bundle" "$folder/"
  # Chinese wins whenever the bundle has it, so English needs a bundle without it.
  [ "$language" = en ] && rm -rf "$folder/$bundle/zh-hans.lproj"
  HOME=$work/home-$language xvfb-run -a -s "-screen 0 800x600x24 -noreset" \
    "$0" --run "$folder" "$out/$language" "done"
done

# With the host gone, a run fails.
kill "$(cat "$live/nginx.pid")"
rm -f "$live/nginx.pid"
for language in zh-hans en; do
  HOME=$work/home-$language xvfb-run -a -s "-screen 0 800x600x24 -noreset" \
    "$0" --run "$work/$language" "$out/$language" failed
done
ls "$out"/*-{ready,working,done,failed}.png

#!/usr/bin/env bash
# Screenshots of the real window in each state (ready, preparing, working, done, failed and the
# quit alert), in Simplified Chinese and in English, each on its own virtual X display.
#   scripts/screenshots.sh [BUILD_DIR [OUT_DIR]]     (default: build, BUILD_DIR/screenshots)
# The window is the program's own controller and views; the run behind it is scripted
# (tests/app/screens.cpp), so no network and no install takes place.
set -euo pipefail

if [ "${1:-}" = "--shoot" ]; then
  # Inside xvfb-run: start one state, wait for its window, take the screen, crop to the window.
  program=$2 state=$3 png=$4
  "$program" "$state" &
  pid=$!
  trap 'kill $pid 2>/dev/null || true' EXIT
  window=$(xdotool search --sync --onlyvisible --name 'Pelorin' | head -n 1)
  sleep 1
  eval "$(xdotool getwindowgeometry --shell "$window")"
  import -window root "$png.full.png"
  if [ "$state" = alert ]; then
    mv "$png.full.png" "$png"
  else
    convert "$png.full.png" -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$png"
    rm -f "$png.full.png"
  fi
  exit 0
fi

cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
out=$(realpath -m "${2:-$build/screenshots}")
cmake --build "$build" --target app_screens >/dev/null
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -m 0700 "$work/runtime"
export XDG_RUNTIME_DIR=$work/runtime

bundle=PelorinInstaller_PelorinInstaller.bundle
for language in zh-hans en; do
  mkdir "$work/$language"
  cp "$build/bin/app_screens" "$work/$language/"
  cp -r "$build/bin/$bundle" "$work/$language/"
  # Chinese wins whenever the bundle has it, so English needs a bundle without it.
  [ "$language" = en ] && rm -rf "$work/$language/$bundle/zh-hans.lproj"
  for state in ready preparing working "done" failed alert; do
    xvfb-run -a -s "-screen 0 800x600x24 -noreset" "$0" --shoot "$work/$language/app_screens" "$state" \
      "$out/$language-$state.png"
    echo "$out/$language-$state.png"
  done
done

#!/usr/bin/env bash
# The main thread's CPU time per GiB downloaded while the window shows progress. The real
# installer (the demo build, build-demo/ or DEMO_BUILD) runs on a virtual display and installs a
# release of about 1 GiB from the demo's nginx on loopback; from the moment the image file starts
# to grow until it is complete, it reads the main thread's CPU time (/proc/PID/task/PID/schedstat,
# nanoseconds) and the whole process's (/proc/PID/stat, user + system). The reference is the whole
# process over the same interval, whose CPU time is the transfer's cost (TLS, writing, progress);
# the ratio is the share of it spent on the main thread, which only moves the progress bar. Both
# are read over the same interval, so neither side runs before the other; each round's session
# (image, installed copy) goes as soon as its figures are taken, and the reference of the odd
# rounds against that of the even ones measures the bench itself. The release is kept in
# build-demo/bench-ui for the next run.
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${ROUNDS:-12}
[ $((rounds % 2)) -eq 0 ] || rounds=$((rounds + 1)) # as many odd rounds as even ones
source scripts/demo_lib.sh
demo_build >/dev/null
work=$DEMO_BUILD/bench-ui
version=9.0.0

# A sample application carrying 1 GiB of random bytes: incompressible, so the image is as large.
www=$work/www
if [ ! -f "$www/desktop-releases/installer/stable/latest.json" ]; then
  echo "publishing a 1 GiB release (once)..." >&2
  rm -rf "$work/app"
  mkdir -p "$work"
  "$DEMO_BIN/pelorin-release" sample --arch universal "$work/app/$DEMO_APP_NAME"
  head -c 1073741824 /dev/urandom >"$work/app/$DEMO_APP_NAME/Contents/Resources/payload.bin"
  demo_publish "$www.part" "$version" "$work/app/$DEMO_APP_NAME"
  rm -rf "$work/app" "$www"
  mv "$www.part" "$www"
fi
image_bytes=$(stat -c %s "$www/desktop-releases/$version/app-arm64.dmg")

cleanup() {
  set +e # every step runs, whatever the one before did
  demo_stop_app
  demo_unmount_leftovers
  demo_stop_display
  demo_stop_host
  rm -rf "$work/session"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP
demo_start_host "$www"
demo_start_display
ticks=$(getconf CLK_TCK)

# CPU nanoseconds of the main thread and of the whole process.
main_ns() { cut -d' ' -f1 "/proc/$DEMO_APP_PID/task/$DEMO_APP_PID/schedstat"; }
process_ns() {
  local fields
  read -ra fields <<<"$(sed 's/.*) //' "/proc/$DEMO_APP_PID/stat")"
  echo $(((fields[11] + fields[12]) * 1000000000 / ticks))
}

mains=() processes=()
# Round 0 warms up, its figures dropped: the first run meets memory and caches cold.
for round in $(seq 0 "$rounds"); do
  rm -rf "$work/session"
  demo_session "$work/session"
  demo_start_app
  demo_press_return
  image="" size0=""
  for _ in $(seq 1 6000); do
    for file in "$DEMO_SUPPORT"/*.dmg; do [ -e "$file" ] && image=$file; done
    if [ -n "$image" ] && [ "$(stat -c %s "$image")" -gt 0 ]; then
      size0=$(stat -c %s "$image") main0=$(main_ns) process0=$(process_ns) start=$EPOCHREALTIME
      break
    fi
    sleep 0.01
  done
  [ -n "$size0" ] || demo_fail "the download did not start"
  while [ "$(stat -c %s "$image" 2>/dev/null || echo "$image_bytes")" -lt "$image_bytes" ]; do
    sleep 0.01
  done
  main1=$(main_ns) process1=$(process_ns) end=$EPOCHREALTIME
  demo_wait_for_run
  [ "$(demo_installed_version)" = "$version" ] || demo_fail "round $round did not install"
  demo_stop_app
  rm -rf "$work/session" # the next round fills the memory just freed
  [ "$round" -gt 0 ] || continue
  gib=$(awk -v b="$((image_bytes - size0))" 'BEGIN { print b / 1073741824 }')
  mains+=("$(awk -v n="$((main1 - main0))" -v g="$gib" 'BEGIN { printf "%.3f", n / 1e6 / g }')")
  processes+=("$(awk -v n="$((process1 - process0))" -v g="$gib" 'BEGIN { printf "%.3f", n / 1e6 / g }')")
  echo "round $round: $gib GiB in $(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }') s," \
    "main thread ${mains[-1]} ms/GiB, process ${processes[-1]} ms/GiB" >&2
done

median() { printf '%s\n' "$@" | sort -g | sed -n "$((($# + 1) / 2))p"; }
main=$(median "${mains[@]}")
process=$(median "${processes[@]}")
ratio=$(awk -v a="$main" -v b="$process" 'BEGIN { printf "%.4f", a / b }')
figure="main thread CPU per GiB (ms) vs process"
target="ratio <= 0.10"
odd=() even=()
for i in "${!processes[@]}"; do
  if ((i % 2)); then even+=("${processes[i]}"); else odd+=("${processes[i]}"); fi
done
first=$(median "${odd[@]}") second=$(median "${even[@]}")
self=$(awk -v a="$second" -v b="$first" 'BEGIN { printf "%.4f", a / b }')
echo "the installer's window downloading a $((image_bytes >> 20)) MiB image, median of $rounds rounds"
row() {
  printf '%-44s %12s %12s %10s   %s\n' "$@"
  [ -z "${BENCH_ROWS:-}" ] || printf '%s\t%s\t%s\t%s\t%s\n' "$@" >>"$BENCH_ROWS"
}
printf '%-44s %12s %12s %10s   %s\n' figure ours reference ratio target
row "reference vs itself" "$second" "$first" "$self" "0.95 <= ratio <= 1.05"
row "$figure" "$main" "$process" "$ratio" "$target"
echo
if awk -v r="$self" 'BEGIN { exit !(r >= 0.95 && r <= 1.05) }'; then
  echo "the reference came to $self of itself: the ratios hold"
else
  echo "figures not to be trusted: the reference came to $self of itself, outside 0.95-1.05, so" \
    "the machine was not idle or the rounds did not meet memory alike"
  exit 1
fi

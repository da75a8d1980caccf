#pragma once

#include <array>
#include <cstdio>
#include <cstdlib>
#include <optional>

// One figure of a benchmark, also appended to the file named by $BENCH_ROWS (if set) as one
// tab-separated line "figure ours reference ratio target", from which bench/run_all.sh makes its
// table. A figure without a reference has "-" there and as its ratio.
inline void benchRow(const char* figure, double ours, std::optional<double> reference,
                     const char* target) {
  const char* rows = std::getenv("BENCH_ROWS");
  if (!rows || !*rows) return;
  FILE* file = std::fopen(rows, "a");
  if (!file) return;
  if (reference) {
    std::fprintf(file, "%s\t%.3f\t%.3f\t%.4f\t%s\n", figure, ours, *reference, ours / *reference,
                 target);
  } else {
    std::fprintf(file, "%s\t%.3f\t-\t-\t%s\n", figure, ours, target);
  }
  std::fclose(file);
}

// Every side of a benchmark runs once a round, in an order that puts each side in each position
// equally often over kFairRounds rounds: no side always meets memory that another just filled.
// Sides are ours (0), the reference (1) and the reference again (2), which measures the bench.
constexpr int kFairRounds = 6;
inline std::array<int, 3> sideOrder(int round) {
  static constexpr std::array<std::array<int, 3>, kFairRounds> kOrders = {
      {{0, 1, 2}, {1, 2, 0}, {2, 0, 1}, {0, 2, 1}, {2, 1, 0}, {1, 0, 2}}};
  return kOrders[std::size_t(round % kFairRounds)];
}

// The reference measured against itself in the same rounds, as a figure line; its ratio.
inline double referenceAgainstItself(double first, double second) {
  std::printf("%-44s %10.3f %10.3f %8.3f   %s\n", "reference vs itself", second, first,
              second / first, "0.95 <= ratio <= 1.05");
  benchRow("reference vs itself", second, first, "0.95 <= ratio <= 1.05");
  return second / first;
}

// The report's last line: whether its ratios can be trusted, which they cannot when the reference
// differs from itself by more than 5 %. True when they can.
inline bool sayWhetherTrusted(double selfRatio) {
  if (selfRatio >= 0.95 && selfRatio <= 1.05) {
    std::printf("the reference came to %.3f of itself: the ratios hold\n", selfRatio);
    return true;
  }
  std::printf(
      "figures not to be trusted: the reference came to %.3f of itself, outside 0.95-1.05, so "
      "the machine was not idle or the sides did not meet memory alike\n",
      selfRatio);
  return false;
}

#pragma once

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

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

// The order of a benchmark's `count` sides in round `round`: the turns of 0, 1, ..., then of the
// reverse, so that over fairRounds(count) rounds each side holds each position four times and no
// side always meets memory that the same other side just filled. The reference runs twice a round,
// as two sides, to measure the bench itself.
inline std::vector<int> sideOrder(int round, int count) {
  std::vector<int> order;
  for (int i = 0; i < count; ++i) {
    const int side = (i + round) % count;
    order.push_back((round / count) % 2 ? count - 1 - side : side);
  }
  return order;
}
constexpr int fairRounds(int count) { return 4 * count; }  // twice as many left 5 % of noise
// A round before the counted ones, its figures dropped: the first runs of a bench meet memory,
// files and caches cold that no later round meets so again (the rounds used to get faster).
constexpr int kWarmUpRound = -1;

// The figure that measures a benchmark: its reference's second run a round against its first.
constexpr const char* kSelfFigure = "reference vs itself";
constexpr const char* kSelfTarget = "0.95 <= ratio <= 1.05";

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

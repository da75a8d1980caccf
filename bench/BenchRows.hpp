#pragma once

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

// hash over a file in the page cache, side by side with `openssl dgst -sha256` on the same file
// in the same run, and `openssl speed` as the machine's limit. Each digest runs in its own process
// so that its peak resident memory can be read.
//
//   hash_bench [FILE] [--rounds N]      (without FILE: a 1 GiB file in the temporary folder)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <PelorinBase/Files.hpp>
#include <PelorinBase/Process.hpp>

#include "BenchRows.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kFileBytes = std::size_t(1) << 30;

struct Run {
  double seconds;
  long peakKiB;
};

// Runs a program with its output on /dev/null; its time and peak resident memory.
Run measure(const std::vector<std::string>& arguments) {
  PelorinBase::LaunchOptions options;
  options.input = options.error = {PelorinBase::Stream::Kind::inherit, {}};
  options.searchPath = true;
  auto start = Clock::now();
  auto run =
      PelorinBase::runProcess(arguments[0], {arguments.begin() + 1, arguments.end()}, options);
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (run.exitStatus != 0) {
    std::cerr << arguments[0] << " failed\n";
    std::exit(2);
  }
  return {seconds, run.peakResidentKiB};
}

// `openssl speed -evp sha256` on 1 MiB blocks, in bytes per second.
double opensslSpeed() {
  FILE* pipe = popen("openssl speed -evp sha256 -bytes 1048576 -seconds 3 2>/dev/null", "r");
  if (!pipe) return 0;
  char line[512];
  double speed = 0;
  while (std::fgets(line, sizeof line, pipe)) {
    double kilobytes;
    if (std::string(line).starts_with("sha256") && std::sscanf(line + 6, "%lfk", &kilobytes) == 1) {
      speed = kilobytes * 1000;
    }
  }
  pclose(pipe);
  return speed;
}

void makeFile(const fs::path& file) {
  int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char> chunk(1 << 20);
  unsigned state = 12345;
  for (std::size_t done = 0; done < kFileBytes; done += chunk.size()) {
    for (auto& byte : chunk) byte = char((state = state * 1103515245 + 12345) >> 16);
    if (write(fd, chunk.data(), chunk.size()) != ssize_t(chunk.size())) {
      std::perror("write");
      std::exit(2);
    }
  }
  close(fd);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

constexpr const char* kUsage =
    "usage: hash_bench [--rounds N] [FILE]   FILE: hashed in the page cache (default: 1 GiB made)\n"
    "       hash_bench --hash FILE\n";

int usageError(const std::string& what) {
  std::cerr << "hash_bench: " << what << "\n" << kUsage;
  return 2;
}

}  // namespace

int main(int argc, char** argv) try {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  if (arguments.size() == 2 && arguments[0] == "--hash") {
    std::cout << PelorinBase::sha256File(arguments[1]) << "\n";
    return 0;
  }
  int rounds = fairRounds(3);
  fs::path file;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const auto& argument = arguments[i];
    if (argument == "--help" || argument == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (argument == "--rounds") {
      const auto value = i + 1 < arguments.size() ? arguments[++i] : "";
      if (value.empty() || value.size() > 4 || value.find_first_not_of("0123456789") != value.npos)
        return usageError("--rounds needs a number of rounds");
      // Whole sets of the orders, so that each side holds each position as often.
      rounds = std::max(1, (std::stoi(value) + 5) / fairRounds(3)) * fairRounds(3);
    } else if (argument.starts_with("-") || !file.empty()) {
      return usageError("unexpected argument " + argument);
    } else if (!fs::is_regular_file(argument)) {
      return usageError(argument + " is not a file");
    } else {
      file = argument;
    }
  }
  bool made = file.empty();
  if (made) {
    file = fs::temp_directory_path() / ("pelorin-hash-bench-" + std::to_string(getpid()));
    makeFile(file);
  }
  auto self = fs::read_symlink("/proc/self/exe").string();
  double bytes = double(fs::file_size(file));
  measure({"openssl", "dgst", "-sha256", file.string()});  // into the page cache

  std::vector<double> ours, theirs, again;
  long peak = 0;
  for (int round = 0; round < rounds; ++round) {
    for (int side : sideOrder(round, 3)) {
      if (side == 0) {
        const auto run = measure({self, "--hash", file.string()});
        ours.push_back(bytes / run.seconds);
        peak = std::max(peak, run.peakKiB);
      } else {
        const auto run = measure({"openssl", "dgst", "-sha256", file.string()});
        (side == 1 ? theirs : again).push_back(bytes / run.seconds);
      }
    }
  }
  double limit = opensslSpeed();
  if (made) fs::remove(file);

  double ratio = median(ours) / median(theirs);
  std::printf("file                      %.0f MiB, %d rounds (medians)\n", bytes / (1 << 20),
              rounds);
  std::printf("hash                      %.3f GB/s\n", median(ours) / 1e9);
  std::printf("openssl dgst -sha256      %.3f GB/s\n", median(theirs) / 1e9);
  std::printf("openssl speed -evp sha256 %.3f GB/s (1 MiB blocks, no I/O)\n", limit / 1e9);
  std::printf("ratio hash / openssl dgst %.3f (target >= 0.95)\n", ratio);
  std::printf("peak resident memory      %.1f MiB (target < 16 MiB)\n", peak / 1024.0);
  const double selfRatio = median(again) / median(theirs);
  std::printf("openssl dgst vs itself    %.3f (target 0.95 to 1.05)\n", selfRatio);
  benchRow(kSelfFigure, median(again) / 1e9, median(theirs) / 1e9, kSelfTarget);
  benchRow("hash rate (GB/s) vs openssl dgst", median(ours) / 1e9, median(theirs) / 1e9,
           "ratio >= 0.95");
  benchRow("hash rate (GB/s) vs openssl speed", median(ours) / 1e9, limit / 1e9,
           "none: the machine's limit");
  benchRow("peak resident memory of hash (MiB)", peak / 1024.0, std::nullopt, "ours < 16");
  const bool trusted = sayWhetherTrusted(selfRatio);
  return trusted && ratio >= 0.95 && peak < 16 * 1024 ? 0 : 1;
} catch (const std::exception& error) {
  std::cerr << "hash_bench: " << error.what() << "\n";
  return 1;
}

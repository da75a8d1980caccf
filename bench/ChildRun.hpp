#pragma once

#include <PelorinBase/Process.hpp>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

struct ChildRun {
  double seconds;
  double peakMiB;  // the child and every descendant it waited for
  std::string output;
};

// Runs a program to its end: wall time, peak resident memory, standard output.
inline ChildRun runChild(const std::vector<std::string>& arguments) {
  PelorinBase::LaunchOptions options;
  options.input = options.error = {PelorinBase::Stream::Kind::inherit, {}};
  options.output = {PelorinBase::Stream::Kind::capture, {}};
  auto start = std::chrono::steady_clock::now();
  auto run =
      PelorinBase::runProcess(arguments[0], {arguments.begin() + 1, arguments.end()}, options);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (run.exitStatus != 0) throw std::runtime_error(arguments[0] + " failed: " + run.output);
  return {seconds, run.peakResidentKiB / 1024.0, run.output};
}

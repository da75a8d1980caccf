#include <PelorinBase/Process.hpp>

// Runs the program that its arguments name through the launcher, with this process's streams, and
// exits as a shell reports the program's end: a process in the middle that a test can kill.
int main(int argc, char** argv) {
  if (argc < 2) return 64;
  PelorinBase::LaunchOptions options;
  options.input = options.output = options.error = {PelorinBase::Stream::Kind::inherit, {}};
  return PelorinBase::runProcess(argv[1], {argv + 2, argv + argc}, options).shellStatus();
}

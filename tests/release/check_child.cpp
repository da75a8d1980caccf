// A whole host check in a process of its own, interrupted as pelorin-release is: CA and
// CONNECT_TO lead to the test's server, TMPDIR holds its work folder. Writes its process ID to
// PID_FILE first.
#include <unistd.h>

#include <PelorinBase/ScopedFolder.hpp>
#include <PelorinRelease/HostCheck.hpp>
#include <cstdlib>
#include <fstream>
#include <iostream>

int main() {
  PelorinBase::removeFoldersOnInterrupt("pelorin-release");
  std::ofstream(std::getenv("PID_FILE")) << ::getpid() << std::endl;
  PelorinRelease::HostCheckOptions options;
  options.transfer.caFile = std::getenv("CA");
  options.transfer.connectTo = {std::getenv("CONNECT_TO")};
  options.system = {13, 0, 0};
  options.full = true;
  PelorinRelease::checkHost(options, [](const PelorinRelease::CheckLine& line) {
    std::cout << (line.passed ? "pass  " : "FAIL  ") << line.name << ": " << line.detail << "\n";
  });
  return 0;
}

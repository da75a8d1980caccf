#include "StandIn.hpp"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <fstream>
#include <iostream>
#include <sstream>
#include <system_error>

extern char** environ;

namespace StandIn {

int main(const char* tool, int argc, char** argv,
         const std::function<int(const Arguments&)>& body) {
  try {
    return body(Arguments(argv + 1, argv + argc));
  } catch (const std::exception& error) {
    std::cerr << tool << ": " << error.what() << "\n";
  } catch (...) {
    std::cerr << tool << ": failed\n";
  }
  return kRefused;
}

std::filesystem::path ownFolder() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

std::string anchorKey() {
  auto file = ownFolder() / "anchor.pem";
  std::ifstream input(file, std::ios::binary);
  if (!input) throw std::runtime_error("no trusted anchor key at " + file.string());
  std::ostringstream text;
  text << input.rdbuf();
  return text.str();
}

int runProgram(const std::string& path, const Arguments& arguments) {
  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (int error = posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ)) {
    throw std::system_error(error, std::generic_category(), "cannot start " + path);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) == -1) {
    if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "waitpid");
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : kRefused;
}

}  // namespace StandIn

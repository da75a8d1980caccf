#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace PelorinInstaller {

// An external tool ended unsuccessfully. `tool` is the last component of its path; `status` is
// its exit status, or 60 when it ran out of time.
struct CommandError : std::exception {
  CommandError(std::string tool, std::int32_t status)
      : tool(std::move(tool)),
        status(status),
        message_(this->tool + " exited with " + std::to_string(status)) {}
  const char* what() const noexcept override { return message_.c_str(); }

  std::string tool;
  std::int32_t status;

 private:
  std::string message_;
};

}  // namespace PelorinInstaller

#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

// What the four stand-in tools share.
namespace StandIn {

// Exit statuses: 0 accepted, 1 refused or failed, 2 an argument list the tool does not take.
inline constexpr int kRefused = 1;
inline constexpr int kUsage = 2;

using Arguments = std::vector<std::string>;

// Runs `body` with the arguments; any exception is reported on standard error as "tool: why"
// and ends the program with kRefused.
int main(const char* tool, int argc, char** argv, const std::function<int(const Arguments&)>& body);

// The folder of this executable.
std::filesystem::path ownFolder();

// The trusted anchor key: "anchor.pem" beside this executable.
std::string anchorKey();

// Throws unless the bundle's main executable ("CFBundleExecutable" of "Contents/Info.plist",
// under "Contents/MacOS") is a regular file holding a Mach-O image, thin or universal, for one of
// the two architectures the product ships. Call it once the seal has verified.
void requireMachOMainExecutable(const std::filesystem::path& bundle);

// Runs a program (no shell) and returns its exit status, or kRefused when it did not exit.
int runProgram(const std::string& path, const Arguments& arguments);

}  // namespace StandIn

#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace PelorinInstaller {

// The one-line report about the program's own resources; none when it cannot be written.
std::optional<std::string> selfCheckReport();

// Each file that the installer's tools need and that cannot serve, with why ("FILE is missing or
// unreadable").
std::vector<std::string> unusableToolFiles();

// A map of texts as one line of JSON: keys sorted, no spaces, every "/" written as "\/".
// None when a text is not valid UTF-8.
std::optional<std::string> jsonLine(const std::map<std::string, std::string>& members);

}  // namespace PelorinInstaller

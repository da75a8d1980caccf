#include "InstallerCore/Version.hpp"

#include <algorithm>
#include <charconv>

namespace InstallerCore {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isAlnum(char c) { return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// ^[0-9]+\.[0-9]+\.[0-9]+(?:-[0-9A-Za-z]+(?:[.-][0-9A-Za-z]+)*)?$, without a regex engine.
bool matchesGrammar(std::string_view text) {
  std::size_t i = 0;
  for (int run = 0; run < 3; ++run) {
    if (run > 0) {
      if (i == text.size() || text[i] != '.') return false;
      ++i;
    }
    auto start = i;
    while (i < text.size() && isDigit(text[i])) ++i;
    if (i == start) return false;
  }
  if (i == text.size()) return true;
  if (text[i] != '-') return false;
  ++i;
  // Runs of letters and digits joined by single "." or "-".
  bool expectRun = true;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (isAlnum(c)) {
      expectRun = false;
    } else if ((c == '.' || c == '-') && !expectRun) {
      expectRun = true;
    } else {
      return false;
    }
  }
  return !expectRun;
}

// A base-10 value that fits in int64, or nothing.
std::optional<std::int64_t> toInt64(std::string_view digits) {
  if (digits.empty() || !std::all_of(digits.begin(), digits.end(), isDigit)) return std::nullopt;
  std::int64_t value = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

std::vector<std::string_view> identifiers(std::string_view label) {
  std::vector<std::string_view> result;
  std::size_t start = 0;
  while (start <= label.size()) {
    auto dot = label.find('.', start);
    if (dot == std::string_view::npos) dot = label.size();
    if (dot > start) result.push_back(label.substr(start, dot - start));
    start = dot + 1;
  }
  return result;
}

bool identifierLess(std::string_view x, std::string_view y) {
  auto nx = toInt64(x), ny = toInt64(y);
  if (nx && ny) return *nx < *ny;
  if (nx || ny) return nx.has_value();
  return x < y;
}

}  // namespace

std::optional<Version> Version::parse(std::string_view text) {
  if (!matchesGrammar(text)) return std::nullopt;
  auto dash = text.find('-');
  auto core = text.substr(0, dash);
  std::optional<std::string> label;
  if (dash != std::string_view::npos) label = std::string(text.substr(dash + 1));

  // A component too large for int64 is dropped, which leaves fewer than three numbers.
  std::vector<std::int64_t> numbers;
  for (auto piece : identifiers(core)) {
    if (auto value = toInt64(piece)) numbers.push_back(*value);
  }
  if (numbers.size() != 3) return std::nullopt;
  return Version(std::move(numbers), std::move(label));
}

bool operator<(const Version& a, const Version& b) {
  if (a.numbers_ != b.numbers_) {
    return std::lexicographical_compare(a.numbers_.begin(), a.numbers_.end(), b.numbers_.begin(),
                                        b.numbers_.end());
  }
  if (!a.prerelease_) return false;
  if (!b.prerelease_) return true;
  auto x = identifiers(*a.prerelease_), y = identifiers(*b.prerelease_);
  auto common = std::min(x.size(), y.size());
  for (std::size_t i = 0; i < common; ++i) {
    if (x[i] != y[i]) return identifierLess(x[i], y[i]);
  }
  return x.size() < y.size();
}

}  // namespace InstallerCore

#include <gtest/gtest.h>

#include <InstallerCore/InstallerCore.hpp>
#include <nlohmann/json.hpp>

#include "TestSupport.hpp"

namespace InstallerCore {
namespace {

namespace fs = std::filesystem;
using namespace std::string_view_literals;
using nlohmann::json;
using PelorinTesting::outcomeOf;

// A parsed version written back plainly ("7.8.9-rc"), or "refused".
std::string parsed(std::string_view text) {
  auto version = Version::parse(text);
  if (!version) return "refused";
  std::string out;
  for (auto number : version->numbers()) out += (out.empty() ? "" : ".") + std::to_string(number);
  return version->prerelease() ? out + "-" + *version->prerelease() : out;
}

TEST(Version, ParsesItsGrammarAndNothingElse) {
  for (auto text : {"1.2.3-a-b.c-d.0", "9223372036854775807.0.1", "1.2.3-99999999999999999999"})
    EXPECT_EQ(parsed(text), text);
  EXPECT_EQ(parsed("007.08.0009"), "7.8.9");
  for (auto text : {""sv, "1.2"sv, "1.2.3.4"sv, "v1.2.3"sv, " 1.2.3"sv, "1.2.3-"sv,
                    "1.2.3-beta..1"sv, "1.2.3+build.5"sv, "1.2.3-beta_1"sv, "-1.2.3"sv, "１.2.3"sv,
                    "1.2.3\n"sv, "1.2.3\0"sv, "99999999999999999999.1.2"sv}) {
    EXPECT_EQ(parsed(text), "refused") << text;
  }
}

// "<", ">" or "=" between two versions, "~" when neither is below the other yet they differ.
std::string relation(std::string_view a, std::string_view b) {
  auto x = *Version::parse(a), y = *Version::parse(b);
  EXPECT_EQ(x >= y, !(x < y)) << a << " " << b;
  return x < y ? "<" : y < x ? ">" : x == y ? "=" : "~";
}

TEST(Version, OrdersByPrecedence) {
  const char* chain[] = {"1.0.0-alpha",  "1.0.0-alpha.1", "1.0.0-alpha.beta", "1.0.0-beta",
                         "1.0.0-beta.2", "1.0.0-beta.11", "1.0.0-rc.1",       "1.0.0",
                         "1.0.1",        "1.10.0",        "2.0.0-alpha",      "2.0.0"};
  for (std::size_t i = 0; i + 1 < std::size(chain); ++i)
    EXPECT_EQ(relation(chain[i], chain[i + 1]), "<") << chain[i] << " " << chain[i + 1];
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"1.0.0-Beta", "1.0.0-alpha", "<"},             // upper case sorts first
      {"1.0.0-1", "1.0.0-a", "<"},                    // numeric below alphanumeric
      {"1.0.0-beta", "1.0.0-beta-2", "<"},            // "-" does not split
      {"1.0.0-5", "1.0.0-9223372036854775808", "<"},  // past int64 a label is text
      {"1.02.3", "1.2.3", "="},
      {"1.0.0-rc.01", "1.0.0-rc.1", "~"}};
  for (auto [a, b, expected] : cases) EXPECT_EQ(relation(a, b), expected) << a << " " << b;
}

TEST(Distribution, AcceptsOnlyPlainHttpsOnItsHost) {
  const std::string host(Distribution::host()), https = "https://" + host;
  for (const auto& text : {https + "/x?query=1", https + ":443/x", "HTTPS://" + host + "/x"})
    EXPECT_TRUE(Distribution::accepts(*Url::parse(text))) << text;
  for (const auto& text :
       {https + "/x#part", https + "/x#", https + ":8443/x", https + ":80/x",
        "http://" + host + "/x", "https://user@" + host + "/x", "https://:secret@" + host + "/x",
        https + ".evil.example/x", std::string("https://127.0.0.1/x")})
    EXPECT_FALSE(Distribution::accepts(*Url::parse(text))) << text;
  EXPECT_FALSE(Distribution::accepts(Url()));
}

TEST(DownloadResponse, AppendsOnlyToTheRangeAskedFor) {
  const std::tuple<int, std::optional<std::string_view>, int, const char*> cases[] = {
      {200, std::nullopt, 0, "restart"},
      {206, "bytes 400-999/1000", 400, "append"},
      {206, "bytes 1-999/1000", 1, "append"},
      {206, "bytes 0-999/1000", 0, "invalidResponse"},  // nothing to resume from
      {206, "bytes 400-998/1000", 400, "invalidResponse"},
      {206, "bytes 400-999/*", 400, "invalidResponse"},
      {206, "bytes 0-999/1000", 400, "invalidResponse"},
      {206, "Bytes 400-999/1000", 400, "invalidResponse"},
      {206, "bytes 0400-999/1000", 400, "invalidResponse"},
      {206, "bytes 400-999/1001", 400, "invalidResponse"},
      {206, std::nullopt, 400, "invalidResponse"},
      {416, "bytes */1000", 400, "invalidResponse"}};
  for (auto [status, range, offset, expected] : cases) {
    std::string decision;
    auto outcome = outcomeOf([&, status = status, range = range, offset = offset] {
      decision = DownloadResponse::append(status, range, offset, 1000) ? "append" : "restart";
    });
    EXPECT_EQ(outcome == "ok" ? decision : outcome, expected) << status << " at " << offset;
  }
  EXPECT_TRUE(DownloadResponse::append(206, "bytes 1-9223372036854775806/9223372036854775807", 1,
                                       INT64_MAX));
}

// A big-endian magic, then the words in the order asked; `size` cuts or pads the header.
std::vector<std::uint8_t> header(std::uint32_t magic, std::vector<std::uint32_t> words, bool big,
                                 std::size_t size = 0) {
  std::vector<std::uint8_t> bytes;
  words.insert(words.begin(), magic);
  for (std::size_t at = 0; at < 4 * words.size(); ++at) {
    const int shift = big || at < 4 ? 24 - 8 * int(at % 4) : 8 * int(at % 4);
    bytes.push_back(std::uint8_t(words[at / 4] >> shift));
  }
  if (size) bytes.resize(size, 0);
  return bytes;
}

// A universal header: the entry count, then each entry's CPU type padded to `entry` bytes.
std::vector<std::uint8_t> fat(std::uint32_t magic, std::uint32_t count,
                              std::vector<std::uint32_t> cpus, std::size_t entry, bool big = true) {
  std::vector<std::uint32_t> words{count};
  for (auto cpu : cpus) words.push_back(cpu), words.resize(words.size() + entry / 4 - 1);
  return header(magic, words, big);
}

TEST(MachO, FindsTheArchitecturesOfThinAndUniversalHeaders) {
  constexpr std::uint32_t arm64 = 0x0100000C, x64 = 0x01000007;
  std::vector<std::uint32_t> many(32, x64);  // the last one arm64
  many.back() = arm64;
  const std::tuple<const char*, std::vector<std::uint8_t>, const char*> cases[] = {
      {"little-endian arm64", header(0xCFFAEDFE, {arm64}, false, 32), "arm64"},
      {"big-endian arm64", header(0xFEEDFACF, {arm64}, true, 32), "arm64"},
      {"arm64 in the wrong order", header(0xCFFAEDFE, {arm64}, true, 32), ""},
      {"7 bytes", header(0xCFFAEDFE, {arm64}, false, 7), ""},
      {"32-bit", header(0xCEFAEDFE, {arm64}, false, 32), ""},
      {"32-bit arm", header(0xCFFAEDFE, {0x0000000C}, false, 32), ""},
      {"not Mach-O", header(0x7F454C46, {arm64}, false, 32), ""},
      {"universal", fat(0xCAFEBABE, 2, {arm64, x64}, 20), "arm64 x64"},
      {"universal 64-bit", fat(0xCAFEBABF, 2, {x64, arm64}, 32), "arm64 x64"},
      {"universal byte-swapped", fat(0xBEBAFECA, 2, {x64, arm64}, 20, false), "arm64 x64"},
      {"universal, wrong entry size", fat(0xCAFEBABE, 2, {x64, arm64}, 32), "x64"},
      {"33 entries", fat(0xCAFEBABE, 33, std::vector<std::uint32_t>(33, arm64), 20), ""},
      {"32 entries", fat(0xCAFEBABF, 32, many, 32), "arm64 x64"},
      {"count past the bytes", fat(0xCAFEBABE, 2, {x64}, 20), "x64"},
      {"cut after the first CPU type", header(0xCAFEBABE, {2, arm64}, true), "arm64"}};
  for (const auto& [what, bytes, expected] : cases) {
    std::string found;
    for (const char* arch : {"arm64", "x64", "ARM64", "arm64e", ""})
      if (MachO::supports(arch, bytes)) found += (found.empty() ? "" : " ") + std::string(arch);
    EXPECT_EQ(found, expected) << what;
  }
}

const std::string kFolder = "https://" + std::string(Distribution::host()) + "/desktop-releases/";

json validDocument() {
  auto artifact = [](const char* arch, char digit, int bytes) {
    return json{{"url", kFolder + "1.4.0/app-" + arch + ".dmg"},
                {"sha256", std::string(64, digit)},
                {"bytes", bytes}};
  };
  return {{"schemaVersion", 1},
          {"version", "1.4.0"},
          {"bundleID", "com.pelorin-ai.code"},
          {"minimumSystemVersion", "13.0.0"},
          {"artifacts",
           {{"arm64", artifact("arm64", 'a', 1000)}, {"x64", artifact("x64", 'b', 2000)}}}};
}

std::string decoded(const std::string& bytes, SystemVersion system = {14, 2, 1}) {
  return outcomeOf([&] { ReleaseManifest::decode(bytes, system); });
}

TEST(ReleaseManifest, EachRuleRefusesWithItsErrorInOrder) {
  using Change = std::function<void(json&)>;
  auto set = [](const char* key, json value) { return [=](json& d) { d[key] = value; }; };
  auto arm64 = [](const char* key, json value) {
    return [=](json& d) { d["artifacts"]["arm64"][key] = value; };
  };
  auto url = [&](std::string text) { return arm64("url", text); };
  auto both = [](Change a, Change b) { return [=](json& d) { a(d), b(d); }; };
  const std::string https = "https://" + std::string(Distribution::host());
  const std::tuple<const char*, Change, const char*> cases[] = {
      {"an unknown key", set("unknown", json::parse(std::string(99, '[') + std::string(99, ']'))),
       "ok"},
      {"schema 2", set("schemaVersion", 2), "invalidManifest"},
      {"bundle ID's case", set("bundleID", "com.Pelorin-ai.code"), "invalidManifest"},
      {"version 1.4", set("version", "1.4"), "invalidManifest"},
      {"version with a label", set("version", "1.4.0-rc.1"), "ok"},
      {"only arm64", [](json& d) { d["artifacts"].erase("x64"); }, "invalidManifest"},
      {"a third artifact", [](json& d) { d["artifacts"]["arm"] = d["artifacts"]["x64"]; },
       "invalidManifest"},
      {"minimum 13.0", set("minimumSystemVersion", "13.0"), "invalidManifest"},
      {"minimum with a label", set("minimumSystemVersion", "14.0.0-beta"), "invalidManifest"},
      {"minimum above the system", set("minimumSystemVersion", "14.2.2"), "unsupportedSystem"},
      {"minimum the system", set("minimumSystemVersion", "14.2.1"), "ok"},
      {"another host", url("https://evil.example/desktop-releases/a.dmg"), "invalidManifest"},
      {"a query", url(kFolder + "a.dmg?"), "invalidManifest"},
      {"outside the folder", url(https + "/releases/a.dmg"), "invalidManifest"},
      {"dot-dot out of it", url(kFolder + "../secret/a.dmg"), "invalidManifest"},
      {"encoded dot-dot", url(kFolder + "%2E%2E/a.dmg"), "invalidManifest"},
      {"DMG", url(kFolder + "a.DMG"), "invalidManifest"},
      {"not a URL", url("not a url"), "json"},
      {"upper-case digest", arm64("sha256", std::string(64, 'A')), "invalidManifest"},
      {"65 digits", arm64("sha256", std::string(65, 'a')), "invalidManifest"},
      {"bytes 0", arm64("bytes", 0), "invalidManifest"},
      {"bytes 4 GiB", arm64("bytes", 4294967296LL), "ok"},
      {"bytes 4 GiB + 1", arm64("bytes", 4294967297LL), "invalidManifest"},
      {"bytes 10.0", arm64("bytes", 10.0), "json"},
      {"decoder error first", both(set("schemaVersion", 2), arm64("bytes", "x")), "json"},
      {"bundle ID before the system",
       both(set("bundleID", "other"), set("minimumSystemVersion", "99.0.0")), "invalidManifest"},
      {"the system before the artifacts",
       both(set("minimumSystemVersion", "99.0.0"), arm64("bytes", 0)), "unsupportedSystem"}};
  for (const auto& [what, change, expected] : cases) {
    auto document = validDocument();
    change(document);
    EXPECT_EQ(decoded(document.dump()), expected) << what;
  }
}

TEST(ReleaseManifest, RefusesOversizedAndBrokenDocuments) {
  auto document = validDocument();
  document["minimumSystemVersion"] = "13.10.0";
  const auto valid = document.dump(), mebibyte = std::string(1'048'576 - valid.size(), ' ');
  EXPECT_EQ(decoded(valid, {13, 9, 99}), "unsupportedSystem") << "compared as numbers";
  EXPECT_EQ(decoded(valid + mebibyte, {14, 0, 0}), "ok");
  EXPECT_EQ(decoded(valid + mebibyte + " ", {14, 0, 0}), "invalidManifest");
  EXPECT_EQ(decoded(std::string(1'048'577, '{')), "invalidManifest") << "parsed past the limit";
  for (const auto& text :
       {std::string("null"), valid + "x", std::string(500'000, '[') + std::string(500'000, ']')})
    EXPECT_EQ(decoded(text), "json") << text.substr(0, 20);
}

TEST(InstallTransaction, RenamesOnlyFromTheStagingFolderAndOnlyAsAsked) {
  const fs::path apps = "Applications", stage = apps / ".pelorin-install-1",
                 staged = stage / "Pelorin Code.app", destination = apps / "Pelorin Code.app";
  // The outcome, then the marker of the bundle at `from` and at the destination ("-": none).
  const std::tuple<fs::path, fs::path, bool, bool, const char*> cases[] = {
      {staged, destination, false, false, "ok - new"},
      {staged, destination, true, true, "ok old new"},
      {staged, destination, true, false, "errno 17 new old"},
      {staged, destination, false, true, "errno 2 new -"},
      {apps / "./sub/../.pelorin-install-1/Pelorin Code.app", apps / "sub/../Pelorin Code.app",
       false, false, "ok - new"},
      {apps / "Pelorin Code.app.new", destination, false, false, "installConflict new -"},
      {stage / "x/Pelorin Code.app", destination, false, false, "installConflict new -"},
      {"APPLICATIONS/.pelorin-install-1/Pelorin Code.app", destination, false, false,
       "installConflict new -"},
      {staged, "link/Pelorin Code.app", false, false, "installConflict new -"}};
  for (const auto& [from, to, old, replacing, expected] : cases) {
    PelorinTesting::TemporaryFolder root;
    fs::create_directories(root / apps / "sub");
    fs::create_directory_symlink(root / apps, root / "link");
    PelorinTesting::writeFile(root / from / "marker", "new");
    if (old) PelorinTesting::writeFile(root / destination / "marker", "old");
    auto marker = [&](const fs::path& bundle) {
      return fs::exists(root / bundle) ? PelorinTesting::readFile(root / bundle / "marker") : "-";
    };
    auto outcome = outcomeOf([&, &from = from, &to = to, replacing = replacing] {
      InstallTransaction::commit(root / from, root / to, replacing);
    });
    EXPECT_EQ(outcome + " " + marker(from) + " " + marker(destination), expected)
        << from << " to " << to;
  }
}

}  // namespace
}  // namespace InstallerCore

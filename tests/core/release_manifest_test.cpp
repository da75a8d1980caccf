#include <gtest/gtest.h>

#include <InstallerCore/InstallerCore.hpp>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

namespace InstallerCore {
namespace {

using nlohmann::json;

const std::string kHost(Distribution::host());
constexpr SystemVersion kSystem{14, 2, 1};
const std::string kDigest(64, 'a');

json validDocument() {
  return {
      {"schemaVersion", 1},
      {"version", "1.4.0"},
      {"bundleID", "com.pelorin-ai.code"},
      {"minimumSystemVersion", "13.0.0"},
      {"artifacts",
       {{"arm64",
         {{"url", "https://" + kHost + "/desktop-releases/1.4.0/app-arm64.dmg"},
          {"sha256", kDigest},
          {"bytes", 1000}}},
        {"x64",
         {{"url", "https://" + kHost + "/desktop-releases/1.4.0/app-x64.dmg"},
          {"sha256", std::string(64, 'b')},
          {"bytes", 2000}}}}},
  };
}

// The error a document fails with: an InstallerError name, "json" for the decoder's own
// error, or "ok".
std::string outcome(const std::string& bytes, SystemVersion system = kSystem) {
  try {
    ReleaseManifest::decode(bytes, system);
    return "ok";
  } catch (const std::system_error& error) {
    if (error.code().category() != installerCategory()) return "other";
    return std::string(name(static_cast<InstallerError>(error.code().value())));
  } catch (const json::exception&) {
    return "json";
  }
}

std::string outcome(const json& document, SystemVersion system = kSystem) {
  return outcome(document.dump(), system);
}

TEST(ReleaseManifestDecode, ValidDocumentKeepsItsFields) {
  auto document = validDocument();
  document["unknown"] = {1, 2, 3};
  document["artifacts"]["arm64"]["extra"] = "ignored";
  auto manifest = ReleaseManifest::decode(document.dump(), kSystem);
  EXPECT_EQ(manifest.schemaVersion, 1);
  EXPECT_EQ(manifest.version, "1.4.0");
  EXPECT_EQ(manifest.bundleID, "com.pelorin-ai.code");
  EXPECT_EQ(manifest.minimumSystemVersion, "13.0.0");
  ASSERT_EQ(manifest.artifacts.size(), 2u);
  const auto& arm = manifest.artifacts.at("arm64");
  EXPECT_EQ(arm.url.text(), "https://" + kHost + "/desktop-releases/1.4.0/app-arm64.dmg");
  EXPECT_EQ(arm.sha256, kDigest);
  EXPECT_EQ(arm.bytes, 1000);
  EXPECT_FALSE(arm == manifest.artifacts.at("x64"));
  EXPECT_TRUE(arm == ReleaseManifest::decode(document.dump(), kSystem).artifacts.at("arm64"));
}

TEST(ReleaseManifestDecode, EachRuleRefusesWithItsError) {
  struct Case {
    const char* what;
    std::function<void(json&)> change;
    const char* expected;
  };
  const auto arm = [](json& d) -> json& { return d["artifacts"]["arm64"]; };
  const auto x64 = [](json& d) -> json& { return d["artifacts"]["x64"]; };
  const auto url = [&](json& d, const std::string& text) { arm(d)["url"] = text; };
  const std::string base = "https://" + kHost + "/desktop-releases/1.4.0/";
  const Case cases[] = {
      {"schema 2", [](json& d) { d["schemaVersion"] = 2; }, "invalidManifest"},
      {"schema 0", [](json& d) { d["schemaVersion"] = 0; }, "invalidManifest"},
      {"schema 1.0", [](json& d) { d["schemaVersion"] = 1.0; }, "json"},
      {"schema as text", [](json& d) { d["schemaVersion"] = "1"; }, "json"},
      {"schema beyond int64", [](json& d) { d["schemaVersion"] = UINT64_MAX; }, "json"},
      {"bundle ID case", [](json& d) { d["bundleID"] = "com.Pelorin-ai.code"; }, "invalidManifest"},
      {"bundle ID null", [](json& d) { d["bundleID"] = nullptr; }, "json"},
      {"version 1.4", [](json& d) { d["version"] = "1.4"; }, "invalidManifest"},
      {"version with label", [](json& d) { d["version"] = "1.4.0-rc.1"; }, "ok"},
      {"version missing", [](json& d) { d.erase("version"); }, "json"},
      {"only arm64", [&](json& d) { d["artifacts"].erase("x64"); }, "invalidManifest"},
      {"third artifact", [&](json& d) { d["artifacts"]["riscv"] = arm(d); }, "invalidManifest"},
      {"artifacts an array", [](json& d) { d["artifacts"] = json::array(); }, "json"},
      {"artifact a string", [&](json& d) { d["artifacts"]["x64"] = "x"; }, "json"},
      {"minimum 13.0", [](json& d) { d["minimumSystemVersion"] = "13.0"; }, "invalidManifest"},
      {"minimum with label", [](json& d) { d["minimumSystemVersion"] = "14.0.0-beta"; },
       "invalidManifest"},
      {"minimum numeric", [](json& d) { d["minimumSystemVersion"] = 14; }, "json"},
      {"minimum above system", [](json& d) { d["minimumSystemVersion"] = "14.2.2"; },
       "unsupportedSystem"},
      {"minimum equals system", [](json& d) { d["minimumSystemVersion"] = "14.2.1"; }, "ok"},
      {"http", [&](json& d) { url(d, "http://" + kHost + "/desktop-releases/a.dmg"); },
       "invalidManifest"},
      {"other host", [&](json& d) { url(d, "https://evil.example/desktop-releases/a.dmg"); },
       "invalidManifest"},
      {"port 8443", [&](json& d) { url(d, "https://" + kHost + ":8443/desktop-releases/a.dmg"); },
       "invalidManifest"},
      {"port 443", [&](json& d) { url(d, "https://" + kHost + ":443/desktop-releases/a.dmg"); },
       "ok"},
      {"user", [&](json& d) { url(d, "https://u@" + kHost + "/desktop-releases/a.dmg"); },
       "invalidManifest"},
      {"password", [&](json& d) { url(d, "https://u:p@" + kHost + "/desktop-releases/a.dmg"); },
       "invalidManifest"},
      {"query", [&](json& d) { url(d, base + "a.dmg?x=1"); }, "invalidManifest"},
      {"empty query", [&](json& d) { url(d, base + "a.dmg?"); }, "invalidManifest"},
      {"fragment", [&](json& d) { url(d, base + "a.dmg#x"); }, "invalidManifest"},
      {"outside the folder", [&](json& d) { url(d, "https://" + kHost + "/releases/a.dmg"); },
       "invalidManifest"},
      {"folder name only", [&](json& d) { url(d, "https://" + kHost + "/desktop-releases"); },
       "invalidManifest"},
      {"dot-dot out of the folder",
       [&](json& d) { url(d, "https://" + kHost + "/desktop-releases/../secret/a.dmg"); },
       "invalidManifest"},
      {"encoded dot-dot",
       [&](json& d) { url(d, "https://" + kHost + "/desktop-releases/%2E%2E/a.dmg"); },
       "invalidManifest"},
      {"DMG", [&](json& d) { url(d, base + "a.DMG"); }, "invalidManifest"},
      {"zip", [&](json& d) { url(d, base + "a.zip"); }, "invalidManifest"},
      {"no extension", [&](json& d) { url(d, base + "dmg"); }, "invalidManifest"},
      {"unparsable URL", [&](json& d) { url(d, "not a url"); }, "json"},
      {"url missing", [&](json& d) { arm(d).erase("url"); }, "json"},
      {"upper-case digest", [&](json& d) { arm(d)["sha256"] = std::string(64, 'A'); },
       "invalidManifest"},
      {"63 digits", [&](json& d) { arm(d)["sha256"] = std::string(63, 'a'); }, "invalidManifest"},
      {"65 digits", [&](json& d) { arm(d)["sha256"] = std::string(65, 'a'); }, "invalidManifest"},
      {"non-hex digest", [&](json& d) { arm(d)["sha256"] = std::string(64, 'g'); },
       "invalidManifest"},
      {"bytes 0", [&](json& d) { arm(d)["bytes"] = 0; }, "invalidManifest"},
      {"bytes negative", [&](json& d) { arm(d)["bytes"] = -5; }, "invalidManifest"},
      {"bytes 4 GiB", [&](json& d) { arm(d)["bytes"] = 4294967296LL; }, "ok"},
      {"bytes 4 GiB + 1", [&](json& d) { arm(d)["bytes"] = 4294967297LL; }, "invalidManifest"},
      {"bytes 10.0", [&](json& d) { arm(d)["bytes"] = 10.0; }, "json"},
      {"bytes 1e3", [&](json& d) { arm(d)["bytes"] = 1e3; }, "json"},
      {"bad x64 only", [&](json& d) { x64(d)["sha256"] = "x"; }, "invalidManifest"},
      {"document an array", [](json& d) { d = json::array({1}); }, "json"},
  };
  for (const auto& c : cases) {
    auto document = validDocument();
    c.change(document);
    EXPECT_EQ(outcome(document), c.expected) << c.what;
  }
}

TEST(ReleaseManifestDecode, FaultsWinInTheirOrder) {
  struct Case {
    const char* what;
    std::function<void(json&)> change;
    const char* expected;
  };
  const Case cases[] = {
      {"decoder error before every rule",
       [](json& d) {
         d["schemaVersion"] = 2;
         d["artifacts"]["x64"].erase("bytes");
       },
       "json"},
      {"wrong bundle ID before the system check",
       [](json& d) {
         d["bundleID"] = "other";
         d["minimumSystemVersion"] = "99.0.0";
       },
       "invalidManifest"},
      {"system check before the artifact rules",
       [](json& d) {
         d["minimumSystemVersion"] = "99.0.0";
         d["artifacts"]["arm64"]["bytes"] = 0;
       },
       "unsupportedSystem"},
      {"artifact set before the minimum's form",
       [](json& d) {
         d["artifacts"].erase("x64");
         d["minimumSystemVersion"] = "99.0";
       },
       "invalidManifest"},
  };
  for (const auto& c : cases) {
    auto document = validDocument();
    c.change(document);
    EXPECT_EQ(outcome(document), c.expected) << c.what;
  }
}

TEST(ReleaseManifestDecode, SystemVersionComparesAsAVersion) {
  auto document = validDocument();
  document["minimumSystemVersion"] = "14.0.0";
  EXPECT_EQ(outcome(document, {13, 6, 1}), "unsupportedSystem");
  EXPECT_EQ(outcome(document, {14, 0, 0}), "ok");
  EXPECT_EQ(outcome(document, {14, 10, 0}), "ok");
  document["minimumSystemVersion"] = "13.10.0";
  EXPECT_EQ(outcome(document, {13, 9, 99}), "unsupportedSystem");
}

TEST(ReleaseManifestDecode, SizeLimitIsExactlyOneMebibyte) {
  auto body = validDocument().dump();
  const std::size_t limit = 1'048'576;
  auto padded = body + std::string(limit - body.size(), ' ');  // trailing white space is JSON
  ASSERT_EQ(padded.size(), limit);
  EXPECT_EQ(outcome(padded), "ok");
  EXPECT_EQ(outcome(padded + " "), "invalidManifest");
  // Over the limit nothing is parsed: not even broken JSON reaches the decoder.
  EXPECT_EQ(outcome(std::string(limit + 1, '{')), "invalidManifest");
}

TEST(ReleaseManifestDecode, HostileDocumentsFailCleanly) {
  const std::string nested = std::string(500'000, '[') + std::string(500'000, ']');
  const std::string nestedObject = [] {
    std::string text;
    for (int i = 0; i < 100'000; ++i) text += "{\"a\":";
    return text + "1" + std::string(100'000, '}');
  }();
  const std::pair<std::string, const char*> cases[] = {
      {"", "json"},
      {"null", "json"},
      {"{", "json"},
      {"{\"schemaVersion\":1", "json"},
      {std::string("{\"a\":\"\0\"}", 9), "json"},
      {"\xff\xfe{}", "json"},
      {std::string(1'048'576, '['), "json"},
      {nested, "json"},
      {nestedObject, "json"},
      {validDocument().dump() + "x", "json"},
  };
  for (const auto& [bytes, expected] : cases) {
    EXPECT_EQ(outcome(bytes), expected) << bytes.substr(0, 40);
  }
  // Moderate nesting in an ignored key is still a manifest.
  auto document = validDocument();
  document["extra"] = json::parse(std::string(100, '[') + std::string(100, ']'));
  EXPECT_EQ(outcome(document), "ok");
}

}  // namespace
}  // namespace InstallerCore

#include <gtest/gtest.h>

#include <InstallerCore/InstallerCore.hpp>
#include <string>

namespace InstallerCore {
namespace {

TEST(InstallerErrorTest, CasesKeepTheirNamesAndOrder) {
  const std::pair<InstallerError, std::string_view> cases[] = {
      {InstallerError::invalidManifest, "invalidManifest"},
      {InstallerError::invalidURL, "invalidURL"},
      {InstallerError::unsupportedSystem, "unsupportedSystem"},
      {InstallerError::invalidResponse, "invalidResponse"},
      {InstallerError::damagedDownload, "damagedDownload"},
      {InstallerError::wrongApplication, "wrongApplication"},
      {InstallerError::downgrade, "downgrade"},
      {InstallerError::appRunning, "appRunning"},
      {InstallerError::installConflict, "installConflict"},
      {InstallerError::noSpace, "noSpace"},
      {InstallerError::busy, "busy"},
      {InstallerError::cancelled, "cancelled"},
  };
  int value = 1;
  for (auto [error, text] : cases) {
    EXPECT_EQ(static_cast<int>(error), value++);
    EXPECT_EQ(name(error), text);
    std::error_code code = error;  // implicit through is_error_code_enum
    EXPECT_EQ(code.category(), installerCategory());
    EXPECT_EQ(code.message(), text);
    EXPECT_TRUE(code) << "value 0 would read as no error";
  }
  EXPECT_STREQ(installerCategory().name(), "InstallerError");
  EXPECT_NE(make_error_code(InstallerError::busy), make_error_code(InstallerError::noSpace));
  EXPECT_EQ(std::system_error(InstallerError::noSpace).code(), InstallerError::noSpace);
}

TEST(DistributionTest, ManifestUrlIsFormedFromTheHost) {
  const auto& url = Distribution::manifestURL();
  EXPECT_EQ(url.text(), "https://" + std::string(Distribution::host()) +
                            "/desktop-releases/installer/stable/latest.json");
  EXPECT_EQ(&url, &Distribution::manifestURL());
  EXPECT_TRUE(Distribution::accepts(url));
}

TEST(DistributionTest, AcceptsOnlyPlainHttpsOnTheDistributionHost) {
  const std::string host(Distribution::host());
  const std::pair<std::string, bool> cases[] = {
      {"https://" + host + "/anything/at/all", true},
      {"https://" + host + "/x?query=1", true},
      {"https://" + host, true},
      {"https://" + host + ":443/x", true},
      {"HTTPS://" + host + "/x", true},  // the parser reports the scheme in lower case
      {"https://" + host + "/x#part", false},
      {"https://" + host + "/x#", false},
      {"https://" + host + ":8443/x", false},
      {"https://" + host + ":80/x", false},
      {"http://" + host + "/x", false},
      {"ftp://" + host + "/x", false},
      {"https://user@" + host + "/x", false},
      {"https://user:secret@" + host + "/x", false},
      {"https://:secret@" + host + "/x", false},
      {"https://evil.example/x", false},
      {"https://" + host + ".evil.example/x", false},
      {"https://[::1]/x", false},
      {"https://127.0.0.1/x", false},
  };
  for (const auto& [text, accepted] : cases) {
    auto url = Url::parse(text);
    ASSERT_TRUE(url) << text;
    EXPECT_EQ(Distribution::accepts(*url), accepted) << text;
  }
  EXPECT_FALSE(Distribution::accepts(Url()));
}

TEST(UrlTest, ComponentsAreAbsentUnlessWritten) {
  auto url = Url::parse("https://a.example/dir/file.tar.dmg");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->scheme(), "https");
  EXPECT_EQ(url->host(), "a.example");
  EXPECT_FALSE(url->port());
  EXPECT_FALSE(url->user());
  EXPECT_FALSE(url->password());
  EXPECT_FALSE(url->query());
  EXPECT_FALSE(url->fragment());
  EXPECT_EQ(url->path(), "/dir/file.tar.dmg");
  EXPECT_EQ(url->pathExtension(), "dmg");

  auto full = Url::parse("https://me:pw@[::1]:8443/a%20b/../c.DMG?q=1#frag");
  ASSERT_TRUE(full);
  EXPECT_EQ(full->user(), "me");
  EXPECT_EQ(full->password(), "pw");
  EXPECT_EQ(full->host(), "[::1]");
  EXPECT_EQ(full->port(), 8443);
  EXPECT_EQ(full->query(), "q=1");
  EXPECT_EQ(full->fragment(), "frag");
  EXPECT_EQ(full->path(), "/a b/../c.DMG") << "decoded, not normalised";
  EXPECT_EQ(full->pathExtension(), "DMG");
}

TEST(UrlTest, PathExtensionLooksAtTheLastSegmentOnly) {
  const std::pair<const char*, const char*> cases[] = {
      {"https://h/a.dmg/file", ""}, {"https://h/a/file.", ""},    {"https://h/", ""},
      {"https://h/a/.dmg", "dmg"},  {"https://h/a.b/c.d.e", "e"}, {"https://h/x.dmg/", ""},
      {"https://h/x%2Edmg", "dmg"},
  };
  for (auto [text, extension] : cases) {
    auto url = Url::parse(text);
    ASSERT_TRUE(url) << text;
    EXPECT_EQ(url->pathExtension(), extension) << text;
  }
}

TEST(UrlTest, RefusesWhatIsNotAnAbsoluteUrl) {
  for (std::string_view text :
       {"", "no scheme", "/relative/path", "https://", "https://exa mple/x", "https://h/a b",
        "https://h/\x01", "https://h/x\n", "https://h:99999/x", "https://[::1/x"}) {
    EXPECT_FALSE(Url::parse(text)) << text;
  }
  using namespace std::string_view_literals;
  EXPECT_FALSE(Url::parse("https://h/x\0.dmg"sv)) << "an embedded NUL must not cut the URL";
}

}  // namespace
}  // namespace InstallerCore

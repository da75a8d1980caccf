#include <gtest/gtest.h>

#include <InstallerCore/Version.hpp>
#include <string>
#include <vector>

namespace InstallerCore {
namespace {

Version v(std::string_view text) {
  auto version = Version::parse(text);
  if (!version) throw std::invalid_argument(std::string(text));
  return *version;
}

TEST(VersionParse, AcceptsTheGrammar) {
  struct Case {
    const char* text;
    std::vector<std::int64_t> numbers;
    std::optional<std::string> label;
  };
  const Case cases[] = {
      {"1.2.3", {1, 2, 3}, std::nullopt},
      {"0.0.0", {0, 0, 0}, std::nullopt},
      {"1.2.3-rc-1", {1, 2, 3}, "rc-1"},
      {"1.2.3-beta.2", {1, 2, 3}, "beta.2"},
      {"1.2.3-a-b.c-d.0", {1, 2, 3}, "a-b.c-d.0"},
      {"007.08.0009", {7, 8, 9}, std::nullopt},
      {"9223372036854775807.0.1", {INT64_MAX, 0, 1}, std::nullopt},
      {"1.2.3-99999999999999999999", {1, 2, 3}, "99999999999999999999"},
  };
  for (const auto& c : cases) {
    auto version = Version::parse(c.text);
    ASSERT_TRUE(version) << c.text;
    EXPECT_EQ(version->numbers(), c.numbers) << c.text;
    EXPECT_EQ(version->prerelease(), c.label) << c.text;
  }
}

TEST(VersionParse, RefusesEverythingElse) {
  for (std::string_view text : {"",
                                "1",
                                "1.2",
                                "1.2.3.4",
                                "v1.2.3",
                                " 1.2.3",
                                "1.2.3 ",
                                "1.2.3-",
                                "1.2.3-beta..1",
                                "1.2.3+build.5",
                                "1.2.3-beta_1",
                                "1.2.3-.beta",
                                "1.2.3-beta.",
                                "1.2.3--beta",
                                "1..2.3",
                                "-1.2.3",
                                "1.-2.3",
                                "１.2.3",
                                "1.2.3\n",
                                "1.2.3-bèta",
                                "99999999999999999999.1.2",
                                "1.9223372036854775808.0"}) {
    EXPECT_FALSE(Version::parse(text)) << "'" << text << "'";
  }
  using namespace std::string_view_literals;
  EXPECT_FALSE(Version::parse("1.2.3\0"sv));
}

TEST(VersionParse, HugeInputsAreRefusedOrParsedWithoutTrouble) {
  EXPECT_FALSE(Version::parse(std::string(10'000, '9') + ".1.2"));
  EXPECT_FALSE(Version::parse(std::string(10'000, '1')));
  auto zeros = Version::parse(std::string(10'000, '0') + "7.1.2");
  ASSERT_TRUE(zeros);
  EXPECT_EQ(zeros->numbers()[0], 7);
  auto longLabel = Version::parse("1.2.3-" + std::string(10'000, 'a'));
  ASSERT_TRUE(longLabel);
  EXPECT_EQ(longLabel->prerelease()->size(), 10'000u);
}

TEST(VersionEquality, NumbersByValueLabelsByText) {
  EXPECT_EQ(v("1.02.3"), v("1.2.3"));
  EXPECT_NE(v("1.0.0-rc.01"), v("1.0.0-rc.1"));
  EXPECT_NE(v("1.0.0"), v("1.0.0-rc.1"));
  EXPECT_NE(v("1.2.3"), v("1.2.4"));
}

TEST(VersionOrder, SemverPrecedenceChainHoldsLinkByLink) {
  const char* chain[] = {"1.0.0-alpha",  "1.0.0-alpha.1", "1.0.0-alpha.beta", "1.0.0-beta",
                         "1.0.0-beta.2", "1.0.0-beta.11", "1.0.0-rc.1",       "1.0.0",
                         "1.0.1",        "1.9.0",         "1.10.0",           "1.99.99",
                         "2.0.0-alpha",  "2.0.0"};
  for (std::size_t i = 0; i + 1 < std::size(chain); ++i) {
    auto lower = v(chain[i]), higher = v(chain[i + 1]);
    EXPECT_TRUE(lower < higher) << chain[i] << " < " << chain[i + 1];
    EXPECT_FALSE(higher < lower) << chain[i + 1] << " < " << chain[i];
    EXPECT_TRUE(lower <= higher && higher >= lower && higher > lower);
  }
}

TEST(VersionOrder, PairwiseRules) {
  struct Case {
    const char *a, *b;
    bool less;
  };
  const Case cases[] = {
      {"1.0.0-Beta", "1.0.0-alpha", true},  // upper case sorts first
      {"1.0.0-1", "1.0.0-a", true},         // numeric below alphanumeric
      {"1.0.0-a", "1.0.0-1", false},
      {"1.0.0-beta", "1.0.0-beta-2", true},  // "-" does not split; prefix sorts first
      {"1.0.0-rc.01", "1.0.0-rc.1", false},
      {"1.0.0-rc.1", "1.0.0-rc.01", false},
      {"1.0.0-2", "1.0.0-10", true},
      {"1.0.0-10", "1.0.0-2", false},
      // Past int64 a run of digits is no longer numeric: it then ranks above numbers and
      // compares as text with other identifiers.
      {"1.0.0-9223372036854775808", "1.0.0-5", false},
      {"1.0.0-5", "1.0.0-9223372036854775808", true},
      {"1.0.0-99999999999999999999", "1.0.0-a", true},
      {"1.2.3", "1.2.3", false},
      {"1.2.3-x", "1.2.3-x", false},
      {"1.2.3", "1.2.3-x", false},
      {"1.2.3-x", "1.2.3", true},
      {"9223372036854775807.0.0", "1.0.0", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(v(c.a) < v(c.b), c.less) << c.a << " < " << c.b;
    EXPECT_EQ(v(c.a) >= v(c.b), !c.less) << c.a << " >= " << c.b;
  }
}

}  // namespace
}  // namespace InstallerCore

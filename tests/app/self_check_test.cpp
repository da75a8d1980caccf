#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "TestSupport.hpp"
#include "app/SelfCheck.hpp"

namespace PelorinInstaller {
namespace {

namespace fs = std::filesystem;
using PelorinTesting::TemporaryFolder;

TEST(JsonLine, SortedKeysEscapedSlashesOneLine) {
  struct Case {
    std::map<std::string, std::string> members;
    std::optional<std::string> line;
  };
  for (const Case& c : std::vector<Case>{
           {{}, "{}"},
           {{{"b", "1"}, {"a", "2"}, {"C", "3"}}, R"({"C":"3","a":"2","b":"1"})"},
           {{{"path", "/tmp/a b/c.bundle"}}, R"({"path":"\/tmp\/a b\/c.bundle"})"},
           {{{"a/b", "//"}}, R"({"a\/b":"\/\/"})"},
           {{{"q", "say \"hi\" \\ there"}}, R"({"q":"say \"hi\" \\ there"})"},
           {{{"c", "line\nbreak\ttab\x01"}}, R"({"c":"line\nbreak\ttab\u0001"})"},
           {{{"title", "Pelorin Code 安装器"}}, R"({"title":"Pelorin Code 安装器"})"},
           {{{"bad", "\xff\xfe"}}, std::nullopt},
           {{{"ok", "fine"}, {"bad", "caf\xe9"}}, std::nullopt},
       }) {
    EXPECT_EQ(jsonLine(c.members), c.line) << c.line.value_or("(none)");
  }
}

// The real program with its bundle beside it, in a folder of the test's own.
class SelfCheck : public testing::Test {
 protected:
  SelfCheck() {
    fs::create_directories(prefix / "bin");
    fs::copy_file(PELORIN_PROGRAM, program());
    fs::copy(PELORIN_BUNDLE, prefix / "bin" / "PelorinInstaller_PelorinInstaller.bundle",
             fs::copy_options::recursive);
  }
  fs::path program() const { return prefix / "bin" / "PelorinInstaller"; }
  std::map<std::string, std::string> environment(bool display) const {
    std::map<std::string, std::string> variables = {{"XDG_RUNTIME_DIR", runtime.path().string()},
                                                    {"LANG", "en_US.UTF-8"}};
    // Without a display the toolkit cannot start, so a window that was not wanted shows.
    variables["QT_QPA_PLATFORM"] = display ? "offscreen" : "xcb";
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
      if (const char* value = std::getenv(name)) variables.emplace(name, value);
    }
    return variables;
  }
  std::string expected() const {
    std::string path = (prefix / "bin" / "PelorinInstaller_PelorinInstaller.bundle").string();
    std::string escaped;
    for (char c : path) escaped += c == '/' ? std::string("\\/") : std::string(1, c);
    return R"({"architecture":"arm64","brandIcon":"loaded","resources":")" + escaped +
           R"(","testVersion":"live","title":"Pelorin Code 安装器"})" + "\n";
  }

  TemporaryFolder prefix;
  TemporaryFolder runtime;
};

TEST_F(SelfCheck, PrintsExactlyOneLineWhereverTheArgumentStands) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--self-check"},
           {"--verbose", "--self-check"},
           {"--self-check", "extra", "-platform", "xcb"},
           {"a", "--self-check", "--self-check", "b"},
       }) {
    const auto result = PelorinTesting::runChild(program(), args, environment(false));
    EXPECT_EQ(result.out, expected()) << args.size();
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err, "") << "no display needed, nothing else said";
  }
  // The program's own path counts among the arguments.
  const auto result = PelorinTesting::runChild(program(), {}, environment(false), "--self-check");
  EXPECT_EQ(result.out, expected());
  EXPECT_EQ(result.exitStatus, 0);
}

TEST_F(SelfCheck, NearMissesStartTheWindowInstead) {
  for (const std::string argument : {"--self-check=1", "--Self-Check", "-self-check", "self-check",
                                     "--self-check ", "--self-checks", "—self-check"}) {
    const auto result = PelorinTesting::runChild(program(), {argument}, environment(false));
    EXPECT_EQ(result.out, "") << argument;
    EXPECT_NE(result.exitStatus, std::optional(0)) << argument;
    EXPECT_NE(result.err.find("no Qt platform plugin could be initialized"), std::string::npos)
        << argument << ": " << result.err;
  }
}

}  // namespace
}  // namespace PelorinInstaller

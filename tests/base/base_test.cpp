#include <fcntl.h>
#include <sys/stat.h>

#include <PelorinBase/Files.hpp>
#include <PelorinBase/Process.hpp>
#include <PelorinBase/ScopedFolder.hpp>

#include "TestSupport.hpp"
#include "gtest/gtest.h"

namespace {

using namespace PelorinBase;
using namespace std::chrono_literals;
using PelorinTesting::outcomeOf, PelorinTesting::TemporaryFolder;

// What a shell script run through the launcher ended with, as one comparable line.
std::string ending(const ProcessResult& r) {
  return (r.exitStatus ? "exit " + std::to_string(*r.exitStatus)
                       : "signal " + std::to_string(*r.signal)) +
         (r.timedOut ? " timed out" : "") + " [" + r.output + "|" + r.error + "]";
}

TEST(Launcher, EndsAsItsChildDid) {
  TemporaryFolder folder;
  int file = open((folder / "fd3").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  struct Case {
    std::string script;
    std::optional<std::chrono::milliseconds> limit;
    std::string ending;
  } cases[] = {
      {"exit 3", {}, "exit 3 [|]"},
      {"echo out; echo err >&2", {}, "exit 0 [out\n|err\n]"},
      {"echo \"$HOME:$ONLY\"", {}, "exit 0 [:only\n|]"},
      // A descendant that keeps the pipe open does not hold the call up.
      {"sleep 30 & echo parent", 20s, "exit 0 [parent\n|]"},
      {"echo three >&3", {}, "exit 0 [|]"},
      {"exec sleep 30", 100ms, "signal 15 timed out [|]"},
      // A child that ignores SIGTERM is killed once the grace is over.
      {"trap '' TERM; echo ready; while :; do sleep 0.05; done", 300ms,
       "signal 9 timed out [ready\n|]"},
  };
  for (const auto& c : cases) {
    LaunchOptions options;
    options.output = options.error = {Stream::Kind::capture, {}};
    options.environment = {{{"ONLY", "only"}, {"PATH", "/usr/bin:/bin"}}};
    options.inherited = {file};
    options.timeLimit = c.limit;
    options.grace = 300ms;
    EXPECT_EQ(ending(runProcess("/bin/sh", {"-c", c.script}, options)), c.ending) << c.script;
  }
  close(file);
  EXPECT_EQ(PelorinTesting::readFile(folder / "fd3"), "three\n");
  EXPECT_EQ(outcomeOf([] { runProcess("/nonexistent/tool", {}); }), "errno 2");
}

TEST(Files, WriteIsModeExactAndNeverThroughALink) {
  TemporaryFolder folder;
  PelorinTesting::ScopedUmask strict(0277);
  std::filesystem::create_symlink("elsewhere", folder / "link");
  writeFile(folder / "existing", "old", 0600);
  struct Case {
    std::string name;
    mode_t mode;
    Create create;
    std::string outcome;
  } cases[] = {
      {"new", 0644, Create::orReplace, "ok"},
      {"existing", 0640, Create::orReplace, "ok"},
      {"existing", 0644, Create::exclusively, "errno 17"},
      {"link", 0644, Create::orReplace, "errno 40"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(outcomeOf([&] { writeFile(folder / c.name, "text", c.mode, c.create); }), c.outcome)
        << c.name;
    if (c.outcome != "ok") continue;
    struct stat info {};
    ASSERT_EQ(stat((folder / c.name).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, c.mode) << c.name;
    EXPECT_EQ(PelorinTesting::readFile(folder / c.name), "text");
  }
  EXPECT_FALSE(std::filesystem::exists(folder / "elsewhere"));
}

TEST(Files, ReadIsBoundedAndNeverBlocks) {
  TemporaryFolder folder;
  writeFile(folder / "file", "0123456789", 0600);
  std::filesystem::create_symlink("file", folder / "link");
  ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(readFile(folder / "file", 4), "0123");
  EXPECT_EQ(readFile(folder / "link", 100, Links::follow), "0123456789");
  EXPECT_EQ(outcomeOf([&] { readFile(folder / "link", 100); }), "errno 40");
  EXPECT_EQ(readFile(folder / "fifo", 100), "");
  EXPECT_EQ(outcomeOf([&] { readFile(folder.path(), 100); }), "errno 21");
}

TEST(ScopedFolder, RemovesAsItsPolicySays) {
  TemporaryFolder folder;
  struct Case {
    ScopedFolder::Removal removal;
    bool filled, released, remains;
  } cases[] = {
      {ScopedFolder::Removal::everything, true, false, false},
      {ScopedFolder::Removal::ifEmpty, true, false, true},
      {ScopedFolder::Removal::ifEmpty, false, false, false},
      {ScopedFolder::Removal::everything, true, true, true},
  };
  for (const auto& c : cases) {
    std::filesystem::path path;
    {
      auto scoped = ScopedFolder::makeUnique(folder.path(), "scoped-", c.removal);
      path = scoped.path();
      if (c.filled) writeFile(scoped / "inside", "x", 0600);
      if (c.released) scoped.release();
    }
    EXPECT_EQ(std::filesystem::exists(path), c.remains) << path;
  }
}

}  // namespace

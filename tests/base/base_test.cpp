#include <fcntl.h>
#include <sys/stat.h>

#include <PelorinBase/Files.hpp>
#include <PelorinBase/Process.hpp>
#include <PelorinBase/ScopedFolder.hpp>
#include <csignal>

#include "TestSupport.hpp"
#include "gtest/gtest.h"

namespace {

namespace fs = std::filesystem;
using namespace PelorinBase;
using namespace std::chrono_literals;
using PelorinTesting::outcomeOf, PelorinTesting::TemporaryFolder;
using Limit = std::optional<std::chrono::milliseconds>;

TEST(Launcher, EndsAsItsChildDid) {
  TemporaryFolder folder;
  int file = open((folder / "fd3").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  const std::tuple<std::string, Limit, std::string> cases[] = {
      {"exit 3", {}, "exit 3 [|]"},
      {"echo out; echo err >&2", {}, "exit 0 [out\n|err\n]"},
      {"echo \"$HOME:$ONLY\"", {}, "exit 0 [:only\n|]"},
      {"cat", {}, "exit 0 [|]"},
      // SIGPIPE, ignored here, is back to its default.
      {"kill -PIPE $$", {}, "signal 13 [|]"},
      // A descendant that keeps the pipe open does not hold the call up.
      {"sleep 30 & echo parent", 20s, "exit 0 [parent\n|]"},
      {"echo three >&3", {}, "exit 0 [|]"},
      {"exec sleep 30", 100ms, "signal 15 timed out [|]"},
      // A child that ignores SIGTERM is killed once the grace is over.
      {"trap '' TERM; echo ready; while :; do sleep 0.05; done", 300ms,
       "signal 9 timed out [ready\n|]"}};
  std::signal(SIGPIPE, SIG_IGN);
  for (const auto& [script, limit, expected] : cases) {
    LaunchOptions options;
    options.output = options.error = {Stream::Kind::capture, {}};
    options.environment = {{{"ONLY", "only"}, {"PATH", "/usr/bin:/bin"}}};
    options.inherited = {file};
    options.timeLimit = limit;
    options.grace = 300ms;
    const auto r = runProcess("/bin/sh", {"-c", script}, options);
    EXPECT_EQ((r.exitStatus ? "exit " + std::to_string(*r.exitStatus)
                            : "signal " + std::to_string(*r.signal)) +
                  (r.timedOut ? " timed out" : "") + " [" + r.output + "|" + r.error + "]",
              expected)
        << script;
  }
  std::signal(SIGPIPE, SIG_DFL);
  close(file);
  EXPECT_EQ(PelorinTesting::readFile(folder / "fd3"), "three\n");

  LaunchOptions searching, absentInput;
  searching.searchPath = true;
  absentInput.input = {Stream::Kind::file, folder / "absent"};
  const std::tuple<std::string, LaunchOptions, std::string> starts[] = {
      {"/nonexistent/tool", {}, "errno 2"},
      {(folder / "fd3").string(), {}, "errno 13"},
      {"sh", {}, "errno 2"},
      {"sh", searching, "ok"},
      {"pelorin-absent-tool", searching, "errno 2"},
      {"/bin/true", absentInput, "errno 2"}};
  // A search reports EACCES when it met a folder it may not search: the caller's PATH may hold one.
  const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  ::setenv("PATH", "/usr/bin:/bin", 1);
  for (const auto& [program, options, outcome] : starts) {
    EXPECT_EQ(outcomeOf([&, &program = program, &options = options] {
                runProcess(program, {}, options);
              }),
              outcome)
        << program;
  }
  ::setenv("PATH", path.c_str(), 1);
}

TEST(Launcher, ReadsAndWritesTheFilesItIsGiven) {
  TemporaryFolder folder;
  PelorinTesting::writeFile(folder / "in", "in\n");
  PelorinTesting::writeFile(folder / "out", "longer old text\n");
  LaunchOptions options;
  options.input = {Stream::Kind::file, folder / "in"};
  options.output = {Stream::Kind::file, folder / "out"};
  options.error = {Stream::Kind::file, folder / "made"};
  EXPECT_EQ(runProcess("/bin/sh", {"-c", "cat; echo err >&2"}, options).exitStatus, 0);
  EXPECT_EQ(PelorinTesting::readFile(folder / "out") + PelorinTesting::readFile(folder / "made"),
            "in\nerr\n");
}

TEST(Files, WriteIsModeExactAndReadBoundedNeitherThroughALink) {
  TemporaryFolder folder;
  PelorinTesting::ScopedUmask strict(0277);
  fs::create_symlink("elsewhere", folder / "link");
  writeFile(folder / "existing", "old", 0600);
  const std::tuple<std::string, mode_t, Create, std::string> cases[] = {
      {"new", 0644, Create::orReplace, "ok"},
      {"existing", 0640, Create::orReplace, "ok"},
      {"existing", 0644, Create::exclusively, "errno 17"},
      {"link", 0644, Create::orReplace, "errno 40"}};
  for (const auto& [name, mode, create, outcome] : cases) {
    EXPECT_EQ(outcomeOf([&, &name = name, mode = mode, create = create] {
                writeFile(folder / name, "text", mode, create);
              }),
              outcome)
        << name;
    if (outcome != "ok") continue;
    EXPECT_EQ(fs::status(folder / name).permissions(), fs::perms(mode)) << name;
    EXPECT_EQ(PelorinTesting::readFile(folder / name), "text");
  }
  EXPECT_FALSE(fs::exists(folder / "elsewhere"));

  writeFile(folder / "file", "0123456789", 0600);
  fs::create_symlink("file", folder / "filelink");
  ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(readFile(folder / "file", 4) + "|" + readFile(folder / "fifo", 100) + "|" +
                readFile(folder / "filelink", 100, Links::follow),
            "0123||0123456789");
  EXPECT_EQ(outcomeOf([&] { readFile(folder / "filelink", 100); }), "errno 40");
  EXPECT_EQ(outcomeOf([&] { readFile(folder.path(), 100); }), "errno 21");
}

TEST(ScopedFolder, RemovesAsItsPolicySays) {
  TemporaryFolder folder;
  using enum ScopedFolder::Removal;
  const std::tuple<ScopedFolder::Removal, bool, bool, bool> cases[] = {
      // filled, released, remains
      {everything, true, false, false},
      {ifEmpty, true, false, true},
      {ifEmpty, false, false, false},
      {everything, true, true, true}};
  for (const auto& [removal, filled, released, remains] : cases) {
    fs::path path;
    {
      auto scoped = ScopedFolder::makeUnique(folder.path(), "scoped-", removal);
      path = scoped.path();
      if (filled) writeFile(scoped / "inside", "x", 0600);
      if (released) scoped.release();
    }
    EXPECT_EQ(fs::exists(path), remains) << path;
  }
}

}  // namespace

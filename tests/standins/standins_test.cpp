#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <PelorinBase/ToolContracts.hpp>
#include <PelorinRelease/Release.hpp>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <regex>

#include "TestSupport.hpp"

namespace {

namespace fs = std::filesystem;
using namespace PelorinTesting;
using Arguments = std::vector<std::string>;

// The exit status of a tool, -1 when a signal ended it.
int status(const fs::path& tool, const Arguments& arguments) {
  return runChild(tool, arguments, {}).exitStatus.value_or(-1);
}

// Only the public half of keygen's pair may become the anchor: the signing key copied beside the
// stand-ins would ship in every package. Each key is refused before anything reaches the build.
TEST(AnchorKey, ConfigureTrustsOnlyAnEd25519PublicKey) {
  TemporaryFolder temporary;
  const auto keys = PelorinSeal::generateKeyPair();
  const auto ec =
      "-----BEGIN PUBLIC KEY-----\n"
      "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAENRs+EgYdLo5ObnwunUjvusVMP6D5\n"
      "NjUxhfuutw0s1QjSgt+5Qr065bsu5dcWyprdGy+m56jzcPb4gRcqMtXaCw==\n"
      "-----END PUBLIC KEY-----\n";
  auto cut = keys.publicPem;
  cut.erase(cut.find("=\n") - 4, 4);
  // The key file's text (none: no such file), and what configuring says of it.
  const std::pair<std::optional<std::string>, std::string> cases[] = {
      {keys.privatePem, "is a private key, which must never enter"},
      {keys.publicPem + keys.privatePem, "is a private key"},
      {ec, "is not an Ed25519 public key in PEM form"},
      {cut, "is not an Ed25519 public key in PEM form"},
      {std::nullopt, "is no file"},
      {keys.publicPem, ""}};
  int row = 0;
  for (const auto& [text, said] : cases) {
    SCOPED_TRACE(said);
    const auto key = temporary / ("key" + std::to_string(row));
    const auto build = temporary / ("build" + std::to_string(row++));
    if (text) writeFile(key, *text);
    const auto result =
        runChild(PELORIN_CMAKE,
                 {"-S", PELORIN_SOURCE_DIR, "-B", build, "-G", "Ninja", "-DPELORIN_BUILD_APP=OFF",
                  "-DPELORIN_ANCHOR_KEY=" + key.string()},
                 {{"PATH", std::getenv("PATH")}});
    EXPECT_EQ(result.exitStatus, said.empty() ? 0 : 1) << result.err;
    if (said.empty()) {
      EXPECT_EQ(readFile(build / "bin/anchor.pem"), keys.publicPem);
      continue;
    }
    const auto message = std::regex_replace(result.err, std::regex("\\s+"), " ");  // as folded
    EXPECT_NE(message.find("PELORIN_ANCHOR_KEY " + key.string() + " " + said), std::string::npos)
        << message;
    EXPECT_NE(message.find("KEYDIR/anchor.pem, the public key to give here"), std::string::npos);
    EXPECT_FALSE(fs::exists(build / "bin/anchor.pem"));
    for (const auto& entry : fs::recursive_directory_iterator(build)) {
      if (!entry.is_regular_file()) continue;
      EXPECT_EQ(readFile(entry.path()).find("PRIVATE KEY"), std::string::npos) << entry.path();
    }
  }
}

TEST(Hdiutil, NamesTheImageItCannotAttach) {
  TemporaryFolder folder;
  StandInTools tools;
  fs::create_directories(folder / "mount");
  fs::create_directories(folder / "a folder.dmg");
  for (const auto& [image, said] : {std::pair{folder / "none.dmg", ": no such file\n"},
                                    {folder / "a folder.dmg", ": not a regular file\n"}}) {
    const auto result =
        runChild(tools.tools().hdiutil,
                 PelorinBase::ToolContracts::attachArguments(folder / "mount", image), {});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err, "hdiutil: " + image.string() + said);
  }
}

TEST(Ditto, CopiesFaithfullyWhateverTheUmaskAndLeavesNothingWhenItFails) {
  // Root ignores permission bits: an unwritable folder under umask 0277 only bites a user.
  const bool root = !permissionsBind();
  const Arguments nobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  if (root && status(nobody[0], {nobody[1], nobody[2], nobody[3], "/bin/true"}) != 0)
    GTEST_SKIP() << "cannot run a program as nobody with setpriv";
  TemporaryFolder folder;
  StandInTools tools;
  const auto source = folder / "in/Pelorin Code.app";
  writeFile(source / "Contents/MacOS/tool", std::string(3 << 20, 'x'));  // several chunks
  writeFile(source / "Contents/Locked/inside", "in a read-only folder");
  writeFile(source / "Contents/setuid", "s");
  fs::create_symlink("/nonexistent/target", source / "Contents/dangling");
  for (auto where : {"process", "user"}) fs::create_directory(folder / where);
  if (root) {  // all of it nobody's, before the set-user-ID bit that a change of owner clears
    fs::permissions(tools.folder(), fs::perms::others_exec, fs::perm_options::add);
    ASSERT_EQ(lchown(folder.path().c_str(), 65534, 65534), 0);
    for (const auto& entry : fs::recursive_directory_iterator(folder.path()))
      ASSERT_EQ(lchown(entry.path().c_str(), 65534, 65534), 0) << entry.path();
  }
  ASSERT_EQ(setxattr((source / "Contents/MacOS/tool").c_str(), "user.pelorin", "v", 1, 0), 0);
  const timespec old[2] = {{1000, 5}, {2000, 7}};
  for (auto [file, mode] : {std::pair{"MacOS/tool", 0751}, {"setuid", 04755}, {"Locked", 0555}}) {
    const auto path = source / "Contents" / file;
    ASSERT_EQ(chmod(path.c_str(), mode) | utimensat(AT_FDCWD, path.c_str(), old, 0), 0) << file;
  }
  const auto& ditto = tools.tools().ditto;
  for (auto [where, mask] : {std::pair{"process", 022}, {"user", 0277}}) {
    ScopedUmask umask(mask);
    auto copy = folder / where / "Pelorin Code.app";
    Arguments command = {ditto, source, copy};
    if (root && mask == 0277) command.insert(command.begin(), nobody.begin(), nobody.end());
    EXPECT_EQ(status(command[0], {command.begin() + 1, command.end()}), 0) << where;
    EXPECT_EQ(snapshot(folder / where), snapshot(folder / "in")) << where;  // modes, sizes, times
    char value[2] = {};
    lgetxattr((copy / "Contents/MacOS/tool").c_str(), "user.pelorin", value, 1);
    EXPECT_EQ(value + fs::read_symlink(copy / "Contents/dangling").string(),
              "v/nonexistent/target");
    EXPECT_TRUE(readFile(copy / "Contents/MacOS/tool") == readFile(source / "Contents/MacOS/tool"));
  }
  writeFile(folder / "existing/kept", "kept");
  writeFile(folder / "fifo.app/Contents/a", "a");
  ASSERT_EQ(mkfifo((folder / "fifo.app/Contents/z-pipe").c_str(), 0600), 0);
  const std::tuple<const char*, Arguments, int> refused[] = {
      {"destination exists", {source, folder / "existing"}, 1},
      {"a special file inside", {folder / "fifo.app", folder / "out"}, 1},
      {"an option", {"-V", source, folder / "out"}, 2}};
  for (const auto& [what, arguments, expected] : refused) {
    EXPECT_EQ(status(ditto, arguments), expected) << what;
    EXPECT_FALSE(fs::exists(folder / "out")) << what;
  }
  EXPECT_EQ(entriesStartingWith(folder / "existing", ""), std::vector<std::string>{"kept"});
}

// A sealed sample bundle, the tools that trust its key and the installer's requirement.
class SealCheck : public ::testing::Test {
 protected:
  void SetUp() override { remake(); }
  void remake() {
    fs::remove_all(app_);
    PelorinRelease::makeSampleApp(app_, PelorinRelease::Architecture::arm64);
    PelorinRelease::seal(app_, tools_.keys().privatePem);
  }
  // The exit statuses of deep verification, of the requirement's and of the assessment.
  std::string statuses(const std::string& text = kRequirement) {
    const auto& codesign = tools_.tools().codesign;
    auto out = status(codesign, {"--verify", "--deep", "--strict", "--all-architectures", app_});
    auto met = status(codesign, {"--verify", "--strict", "--all-architectures", "-R", text, app_});
    auto assessed = status(tools_.tools().spctl, {"--assess", "--type", "execute", app_});
    return std::to_string(out) + " " + std::to_string(met) + " " + std::to_string(assessed);
  }
  static inline const std::string kRequirement =
      "=anchor apple generic and identifier \"com.pelorin-ai.code\" and certificate "
      "leaf[subject.OU] = \"K4QW7ZP1MX\" and certificate 1[field.1.2.840.113635.100.6.2.6] exists "
      "and certificate leaf[field.1.2.840.113635.100.6.1.13] exists";

  TemporaryFolder folder_;
  StandInTools tools_;
  fs::path app_ = folder_ / "Pelorin Code.app";
};

TEST_F(SealCheck, AnySealDoubtIsARefusal) {
  const auto anchor = tools_.folder() / "anchor.pem", list = app_ / PelorinSeal::kResourcesFile;
  const auto publicPem = tools_.keys().publicPem;
  auto resealed = [&](std::function<void()> edit, PelorinRelease::SealOptions options = {}) {
    return [=, this] { edit(), PelorinRelease::seal(app_, tools_.keys().privatePem, options); };
  };
  const std::tuple<const char*, std::function<void()>, const char*> cases[] = {
      {"another team", resealed([] {}, {.team = "ABCDEFGHIJ"}), "0 3 0"},
      {"another identifier", resealed([] {}, {.identifier = "com.pelorin-ai.code.x"}), "0 3 0"},
      {"no assessment stamp", resealed([] {}, {.assessed = false}), "0 0 1"},
      {"an edited seal list", [&] { writeFile(list, readFile(list) + " "); }, "1 1 1"},
      {"a FIFO in the bundle", [&] { mkfifo((app_ / "Contents/pipe").c_str(), 0600); }, "1 1 1"},
      {"no signature", [&] { fs::remove(app_ / PelorinSeal::kSignatureFile); }, "1 1 1"},
      {"another anchor", [&] { writeFile(anchor, PelorinSeal::generateKeyPair().publicPem); },
       "1 1 1"},
      {"a sealed main executable that is no Mach-O",
       resealed([&] { writeFile(app_ / "Contents/MacOS/Pelorin Code", "#!/bin/sh\n"); }), "1 1 1"},
      {"a sealed Mach-O named outside Contents/MacOS", resealed([&] {
         fs::rename(app_ / "Contents/MacOS/Pelorin Code", app_ / "Contents/Resources/code");
         PelorinRelease::setInfoKeys(app_, {{"CFBundleExecutable", "../Resources/code"}});
       }),
       "1 1 1"}};
  for (const auto& [what, change, expected] : cases) {
    remake();
    writeFile(anchor, publicPem);
    ASSERT_EQ(statuses(), "0 0 0") << what;
    change();
    EXPECT_EQ(statuses(), expected) << what;
  }
  // Only the installer's argument lists and requirement text are understood.
  remake();
  EXPECT_EQ(statuses(kRequirement.substr(1)), "0 2 0");
  EXPECT_EQ(status(tools_.tools().spctl, {"--assess", "--type", "install", app_}), 2);
}

using Links = std::vector<std::pair<std::string, std::string>>;  // name in the bundle, target

TEST_F(SealCheck, LinksMustResolveInsideTheBundle) {
  // The links are added to the seal's list and signed after sealing, as a sealing tool that let
  // them through would: the verifying side must refuse them on its own.
  const auto key = folder_ / "key.pem";
  writeFile(key, tools_.keys().privatePem);
  auto signWithLinks = [&](const Links& links) {
    const auto file = app_ / PelorinSeal::kResourcesFile;
    auto list = nlohmann::json::parse(readFile(file));
    for (const auto& [name, target] : links) {
      fs::create_symlink(target, app_ / name);
      list["entries"][name] = {{"type", "link"}, {"target", target}};
    }
    writeFile(file, list.dump(1) + "\n");
    const char* script = "openssl pkeyutl -sign -rawin -inkey \"$0\" -in \"$1\" | od -An -v -tx1";
    auto sign = runChild("/bin/sh", {"-c", script + std::string(" | tr -d ' \\n'"), key, file},
                         {{"PATH", "/usr/bin:/bin"}});
    ASSERT_EQ(sign.out.size(), 128u) << sign.err;
    writeFile(app_ / PelorinSeal::kSignatureFile, sign.out + "\n");
  };
  const std::string r = "Contents/Resources/";
  const std::tuple<const char*, Links, bool> cases[] = {
      {"to a file in another folder", {{r + "link", "../../Contents/Info.plist"}}, true},
      {"a chain into a linked folder",
       {{r + "macos", "../MacOS"}, {r + "main", "macos/Pelorin Code"}, {r + "again", "./main"}},
       true},
      {"absolute", {{r + "link", "/etc/passwd"}}, false},
      {"climbing out in its text", {{r + "link", "../../../outside"}}, false},
      {"onto the bundle's own name", {{r + "link", "../../../Pelorin Code.app"}}, false},
      {"through a link to the folder above", {{r + "up", ".."}, {r + "x", "up/../../.."}}, false},
      {"a chain climbing out",
       {{r + "a", "b/../../.."}, {r + "b", "c"}, {r + "c", "../.."}},
       false},
      {"a loop", {{r + "a", "b"}, {r + "b", "a"}}, false},
      {"through a link to a file", {{r + "f", "greeting.txt"}, {r + "x", "f/../../.."}}, false}};
  for (const auto& [what, links, inside] : cases) {
    remake();
    signWithLinks(links);
    EXPECT_EQ(statuses(), inside ? "0 0 0" : "1 1 1") << what;
    EXPECT_EQ(outcomeOf([&] { PelorinRelease::seal(app_, tools_.keys().privatePem); }) == "ok",
              inside)
        << what;
  }
}

}  // namespace

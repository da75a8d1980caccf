#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <PelorinRelease/Release.hpp>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "TestSupport.hpp"
#include "pipeline/Command.hpp"

namespace {

namespace fs = std::filesystem;
using PelorinInstaller::CommandError;
using PelorinTesting::readFile;
using PelorinTesting::StandInTools;
using PelorinTesting::TemporaryFolder;
using PelorinTesting::writeFile;
using Arguments = std::vector<std::string>;

// The exit status of a tool run through the installer's own runner.
int status(const std::string& tool, const Arguments& arguments) {
  try {
    PelorinInstaller::Command::run(tool, arguments);
    return 0;
  } catch (const CommandError& error) {
    return error.status;
  }
}

Arguments attachArguments(const fs::path& mountPoint, const fs::path& image) {
  return {"attach",      "-readonly",   "-nobrowse",         "-noautoopen",
          "-noautofsck", "-mountpoint", mountPoint.string(), image.string()};
}

bool isMountPoint(const fs::path& folder) {
  struct stat own, parent;
  return stat(folder.c_str(), &own) == 0 && stat((folder / "..").c_str(), &parent) == 0 &&
         own.st_dev != parent.st_dev;
}

class Hdiutil : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto why = PelorinTesting::fuseUnavailable()) GTEST_SKIP() << "no FUSE: " << *why;
    fs::create_directories(folder_ / "contents/Pelorin Code.app/Contents");
    writeFile(folder_ / "contents/Pelorin Code.app/Contents/Info.plist", "plist");
    PelorinTesting::packFolder(folder_ / "contents", image_);
    fs::create_directory(mountPoint_);
  }
  void TearDown() override {
    if (isMountPoint(mountPoint_)) status(tools_.tools().hdiutil, {"detach", mountPoint_});
  }

  TemporaryFolder folder_;
  StandInTools tools_;
  fs::path image_ = folder_ / "image.dmg", mountPoint_ = folder_ / "mount";
};

TEST_F(Hdiutil, AttachMountsReadOnlyAndDetachLeavesAnEmptyFolder) {
  const auto& hdiutil = tools_.tools().hdiutil;
  ASSERT_EQ(status(hdiutil, attachArguments(mountPoint_, image_)), 0);
  EXPECT_TRUE(isMountPoint(mountPoint_));
  EXPECT_EQ(readFile(mountPoint_ / "Pelorin Code.app/Contents/Info.plist"), "plist");
  int created = open((mountPoint_ / "new").c_str(), O_WRONLY | O_CREAT, 0600);
  EXPECT_EQ(created, -1);
  EXPECT_EQ(errno, EROFS);
  if (created >= 0) close(created);

  EXPECT_EQ(status(hdiutil, {"detach", mountPoint_}), 0);
  EXPECT_FALSE(isMountPoint(mountPoint_));
  EXPECT_TRUE(fs::is_directory(mountPoint_));
  EXPECT_TRUE(fs::is_empty(mountPoint_));
  EXPECT_EQ(rmdir(mountPoint_.c_str()), 0);
}

TEST_F(Hdiutil, RefusesWhatItCannotDoAndMountsNothing) {
  const auto& hdiutil = tools_.tools().hdiutil;
  writeFile(folder_ / "not-an-image.dmg", "plain bytes");
  fs::create_directories(folder_ / "busy");
  writeFile(folder_ / "busy/file", "x");
  struct Case {
    const char* name;
    Arguments arguments;
    int status;
  } cases[] = {
      {"an image that is not squashfs", attachArguments(mountPoint_, folder_ / "not-an-image.dmg"),
       1},
      {"a missing image", attachArguments(mountPoint_, folder_ / "missing.dmg"), 1},
      {"a mount point that is not empty", attachArguments(folder_ / "busy", image_), 1},
      {"a missing mount point", attachArguments(folder_ / "missing", image_), 1},
      {"detach where nothing is attached", {"detach", mountPoint_}, 1},
      {"attach without -readonly",
       {"attach", "-nobrowse", "-noautoopen", "-noautofsck", "-mountpoint", mountPoint_, image_},
       2},
      {"attach options in another order",
       {"attach", "-nobrowse", "-readonly", "-noautoopen", "-noautofsck", "-mountpoint",
        mountPoint_, image_},
       2},
      {"attach with an extra argument",
       {"attach", "-readonly", "-nobrowse", "-noautoopen", "-noautofsck", "-mountpoint",
        mountPoint_, image_, "-verbose"},
       2},
      {"detach with -force", {"detach", "-force", mountPoint_}, 2},
      {"another verb", {"info"}, 2},
      {"no arguments", {}, 2},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(status(hdiutil, c.arguments), c.status) << c.name;
    EXPECT_FALSE(isMountPoint(mountPoint_)) << c.name;
    EXPECT_TRUE(fs::is_empty(mountPoint_)) << c.name;
  }
  EXPECT_EQ(readFile(folder_ / "busy/file"), "x");
}

// Everything ditto must carry over, for one entry.
struct Attributes {
  mode_t mode;
  uid_t owner;
  gid_t group;
  std::int64_t modified;
  std::string contents;  // file bytes or link target
  std::map<std::string, std::string> extended;
  friend bool operator==(const Attributes&, const Attributes&) = default;
};

std::map<std::string, std::string> extendedAttributes(const fs::path& path) {
  std::map<std::string, std::string> found;
  char names[4096];
  ssize_t size = llistxattr(path.c_str(), names, sizeof names);
  for (ssize_t at = 0; at < size;) {
    std::string name(names + at);
    at += ssize_t(name.size()) + 1;
    char value[4096];
    ssize_t length = lgetxattr(path.c_str(), name.c_str(), value, sizeof value);
    found[name] = std::string(value, std::size_t(std::max<ssize_t>(length, 0)));
  }
  return found;
}

std::map<std::string, Attributes> tree(const fs::path& root) {
  std::map<std::string, Attributes> entries;
  auto add = [&](const fs::path& path) {
    struct stat info;
    lstat(path.c_str(), &info);
    std::string contents;
    if (S_ISREG(info.st_mode)) contents = readFile(path);
    if (S_ISLNK(info.st_mode)) contents = fs::read_symlink(path).string();
    entries[path.lexically_relative(root).string()] = {
        info.st_mode, info.st_uid,
        info.st_gid,  info.st_mtim.tv_sec * 1'000'000'000 + info.st_mtim.tv_nsec,
        contents,     extendedAttributes(path)};
  };
  add(root);
  for (const auto& entry : fs::recursive_directory_iterator(root)) add(entry.path());
  return entries;
}

// Sets the umask for its lifetime; the children started meanwhile inherit it.
struct Umask {
  explicit Umask(mode_t mask) : old(umask(mask)) {}
  ~Umask() { umask(old); }
  mode_t old;
};

TEST(Ditto, MakesAFaithfulCopyWhateverTheUmask) {
  // Root ignores permission bits: a umask that leaves a folder unwritable only bites a user.
  const bool root = geteuid() == 0;
  const Arguments dropRoot = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                              "--clear-groups"};
  if (root && (access(dropRoot[0].c_str(), X_OK) != 0 ||
               status(dropRoot[0], {dropRoot[1], dropRoot[2], dropRoot[3], "/bin/true"}) != 0)) {
    GTEST_SKIP() << "cannot run a program as nobody (65534) with setpriv";
  }
  TemporaryFolder folder;
  StandInTools tools;
  auto source = folder / "source.app";
  fs::create_directories(source / "Contents/MacOS");
  fs::create_directories(source / "Contents/Locked");
  fs::create_directory(folder / "staging");
  writeFile(source / "Contents/MacOS/tool", std::string(3 << 20, 'x'));  // several chunks
  writeFile(source / "Contents/Locked/inside", "read-only folder's file");
  writeFile(source / "Contents/setuid", "s");
  writeFile(source / "Contents/empty", "");
  fs::create_symlink("MacOS/tool", source / "Contents/relative");
  fs::create_symlink("/nonexistent/target", source / "Contents/dangling");
  if (root) {  // all of it nobody's, before the set-user-ID bit that a change of owner clears
    fs::permissions(tools.folder(), fs::perms::others_exec, fs::perm_options::add);
    ASSERT_EQ(lchown(folder.path().c_str(), 65534, 65534), 0);
    for (const auto& entry : fs::recursive_directory_iterator(folder.path())) {
      ASSERT_EQ(lchown(entry.path().c_str(), 65534, 65534), 0) << entry.path();
    }
  }
  ASSERT_EQ(setxattr((source / "Contents/MacOS/tool").c_str(), "user.pelorin", "value", 5, 0), 0);
  ASSERT_EQ(setxattr((source / "Contents").c_str(), "user.folder", "", 0, 0), 0);
  chmod((source / "Contents/MacOS/tool").c_str(), 0751);
  chmod((source / "Contents/setuid").c_str(), 04755);
  chmod((source / "Contents/empty").c_str(), 0400);
  chmod((source / "Contents/Locked").c_str(), 0555);
  struct timespec old[2] = {{1000, 5}, {2000, 7}};
  utimensat(AT_FDCWD, (source / "Contents/MacOS/tool").c_str(), old, 0);
  utimensat(AT_FDCWD, (source / "Contents/relative").c_str(), old, AT_SYMLINK_NOFOLLOW);
  utimensat(AT_FDCWD, (source / "Contents/Locked").c_str(), old, 0);

  struct Case {
    const char* name;
    mode_t umask;
    Arguments command;  // then SOURCE DESTINATION
  } cases[] = {
      {"as this process", 022, {tools.tools().ditto}},
      {"as a user under umask 0277", 0277,
       root ? Arguments{dropRoot[0], dropRoot[1], dropRoot[2], dropRoot[3], tools.tools().ditto}
            : Arguments{tools.tools().ditto}},
  };
  for (const auto& c : cases) {
    auto copy = folder / "staging" / c.name;
    Umask mask(c.umask);
    Arguments arguments(c.command.begin() + 1, c.command.end());
    arguments.insert(arguments.end(), {source, copy});
    EXPECT_EQ(status(c.command.front(), arguments), 0) << c.name;
    if (fs::exists(copy)) {
      EXPECT_EQ(tree(copy), tree(source)) << c.name;
    }
  }
}

TEST(Ditto, RefusesWithoutLeavingAnythingBehind) {
  TemporaryFolder folder;
  StandInTools tools;
  auto source = folder / "source.app";
  fs::create_directories(source / "Contents");
  writeFile(source / "Contents/file", "x");
  fs::create_directory(folder / "existing");
  writeFile(folder / "existing/kept", "kept");
  auto withFifo = folder / "fifo.app";
  fs::create_directories(withFifo / "Contents");
  writeFile(withFifo / "Contents/a", "a");
  mkfifo((withFifo / "Contents/z-pipe").c_str(), 0600);
  struct Case {
    const char* name;
    Arguments arguments;
    int status;
    fs::path absent;
  } cases[] = {
      {"destination exists", {source, folder / "existing"}, 1, {}},
      {"source missing", {folder / "missing", folder / "out1"}, 1, folder / "out1"},
      {"a special file inside", {withFifo, folder / "out2"}, 1, folder / "out2"},
      {"destination folder missing", {source, folder / "no/such/out"}, 1, {}},
      {"an option", {"-V", source, folder / "out3"}, 2, folder / "out3"},
      {"one argument", {source}, 2, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(status(tools.tools().ditto, c.arguments), c.status) << c.name;
    if (!c.absent.empty()) {
      EXPECT_FALSE(fs::exists(c.absent)) << c.name;
    }
  }
  EXPECT_EQ(readFile(folder / "existing/kept"), "kept");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder / "existing"), {}), 1);
}

// A sealed sample bundle and the requirement text the installer passes.
class SealCheck : public ::testing::Test {
 protected:
  SealCheck() {
    PelorinRelease::makeSampleApp(app_, PelorinRelease::Architecture::arm64);
    PelorinRelease::seal(app_, tools_.keys().privatePem);
  }

  Arguments deep() const {
    return {"--verify", "--deep", "--strict", "--all-architectures", app_.string()};
  }
  Arguments withRequirement(const std::string& requirement) const {
    return {"--verify", "--strict", "--all-architectures", "-R", requirement, app_.string()};
  }
  Arguments assess() const { return {"--assess", "--type", "execute", app_.string()}; }

  static std::string requirement(const std::string& identifier, const std::string& team) {
    return "=anchor apple generic and identifier \"" + identifier +
           "\" and certificate leaf[subject.OU] = \"" + team +
           "\" and certificate 1[field.1.2.840.113635.100.6.2.6] exists and certificate "
           "leaf[field.1.2.840.113635.100.6.1.13] exists";
  }

  TemporaryFolder folder_;
  StandInTools tools_;
  fs::path app_ = folder_ / "Pelorin Code.app";
};

TEST_F(SealCheck, ArgumentListsAndRequirements) {
  const auto& codesign = tools_.tools().codesign;
  const auto& spctl = tools_.tools().spctl;
  auto good = requirement("com.pelorin-ai.code", "K4QW7ZP1MX");
  struct Case {
    const char* name;
    std::string tool;
    Arguments arguments;
    int status;
  } cases[] = {
      {"deep verification", codesign, deep(), 0},
      {"the installer's requirement", codesign, withRequirement(good), 0},
      {"assessment", spctl, assess(), 0},
      {"another team", codesign, withRequirement(requirement("com.pelorin-ai.code", "ABCDEFGHIJ")),
       3},
      {"another identifier", codesign,
       withRequirement(requirement("com.pelorin-ai.code.x", "K4QW7ZP1MX")), 3},
      {"a requirement without \"=\"", codesign, withRequirement(good.substr(1)), 2},
      {"a requirement of another shape", codesign,
       withRequirement("=anchor apple generic and identifier \"com.pelorin-ai.code\""), 2},
      {"a requirement with a doubled clause", codesign,
       withRequirement(requirement("com.pelorin-ai.code\" and identifier \"x", "K4QW7ZP1MX")), 2},
      {"codesign without --deep",
       codesign,
       {"--verify", "--strict", "--all-architectures", app_.string()},
       2},
      {"codesign with an extra option",
       codesign,
       {"--verify", "--deep", "--strict", "--all-architectures", "-v", app_.string()},
       2},
      {"spctl of another type", spctl, {"--assess", "--type", "install", app_.string()}, 2},
      {"spctl without a bundle", spctl, {"--assess", "--type", "execute"}, 2},
  };
  for (const auto& c : cases) EXPECT_EQ(status(c.tool, c.arguments), c.status) << c.name;
}

TEST_F(SealCheck, AnySealDoubtIsARefusal) {
  struct Case {
    const char* name;
    std::function<void()> change;
    int codesign, spctl;
  } cases[] = {
      {"an edited seal list",
       [&] {
         auto file = app_ / PelorinSeal::kResourcesFile;
         auto text = readFile(file);
         text.replace(text.find("K4QW7ZP1MX"), 10, "K4QW7ZP1MY");
         writeFile(file, text);
       },
       1, 1},
      {"a file in the seal's folder",
       [&] { writeFile(app_ / "Contents/_CodeSignature/extra", ""); }, 1, 1},
      {"a FIFO in the bundle", [&] { mkfifo((app_ / "Contents/pipe").c_str(), 0600); }, 1, 1},
      {"no signature", [&] { fs::remove(app_ / PelorinSeal::kSignatureFile); }, 1, 1},
      {"no anchor key", [&] { fs::remove(tools_.folder() / "anchor.pem"); }, 1, 1},
      {"an anchor that is no key",
       [&] { writeFile(tools_.folder() / "anchor.pem", "-----BEGIN PUBLIC KEY-----\n"); }, 1, 1},
      {"another anchor",
       [&] { writeFile(tools_.folder() / "anchor.pem", PelorinSeal::generateKeyPair().publicPem); },
       1, 1},
      {"sealed without the stamp",
       [&] {
         PelorinRelease::seal(app_, tools_.keys().privatePem,
                              {"com.pelorin-ai.code", "K4QW7ZP1MX", false});
       },
       0, 1},
      {"a sealed main executable that is no Mach-O",
       [&] {
         writeFile(app_ / "Contents/MacOS/Pelorin Code", "#!/bin/sh\n");
         PelorinRelease::seal(app_, tools_.keys().privatePem);
       },
       1, 1},
      {"a sealed Mach-O named outside Contents/MacOS",
       [&] {
         fs::rename(app_ / "Contents/MacOS/Pelorin Code", app_ / "Contents/Resources/code");
         PelorinRelease::setInfoKeys(app_, {{"CFBundleExecutable", "../Resources/code"}});
         PelorinRelease::seal(app_, tools_.keys().privatePem);
       },
       1, 1},
  };
  auto anchor = readFile(tools_.folder() / "anchor.pem");
  for (const auto& c : cases) {
    fs::remove_all(app_);
    PelorinRelease::makeSampleApp(app_, PelorinRelease::Architecture::arm64);
    writeFile(tools_.folder() / "anchor.pem", anchor);
    PelorinRelease::seal(app_, tools_.keys().privatePem);
    ASSERT_EQ(status(tools_.tools().codesign, deep()), 0) << c.name;
    c.change();
    EXPECT_EQ(status(tools_.tools().codesign, deep()), c.codesign) << c.name;
    EXPECT_EQ(status(tools_.tools().spctl, assess()), c.spctl) << c.name;
  }
}

using Links = std::vector<std::pair<std::string, std::string>>;  // name in the bundle, target

// The links made after sealing and then listed in the seal and signed, as a seal made by a tool
// that let them through would be: the verifying side must refuse them on its own.
void signWithLinks(const fs::path& app, const Links& links, const std::string& privatePem) {
  auto list = nlohmann::json::parse(readFile(app / PelorinSeal::kResourcesFile));
  for (const auto& [name, target] : links) {
    fs::create_symlink(target, app / name);
    list["entries"][name] = {{"type", "link"}, {"target", target}};
  }
  auto text = list.dump(1) + "\n";
  std::unique_ptr<BIO, decltype(&BIO_free)> pem(
      BIO_new_mem_buf(privatePem.data(), int(privatePem.size())), BIO_free);
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      PEM_read_bio_PrivateKey(pem.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  EVP_MD_CTX_free);
  unsigned char signature[64];
  std::size_t length = sizeof signature;
  ASSERT_EQ(EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()), 1);
  ASSERT_EQ(EVP_DigestSign(context.get(), signature, &length,
                           reinterpret_cast<const unsigned char*>(text.data()), text.size()),
            1);
  std::string hex;
  for (std::size_t i = 0; i < length; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", signature[i]);
    hex += pair;
  }
  writeFile(app / PelorinSeal::kResourcesFile, text);
  writeFile(app / PelorinSeal::kSignatureFile, hex + "\n");
}

TEST_F(SealCheck, LinksMustResolveInsideTheBundle) {
  const std::string resources = "Contents/Resources/";
  struct Case {
    const char* name;
    Links links;
    bool inside;
  } cases[] = {
      {"to a file in another folder", {{resources + "link", "../../Contents/Info.plist"}}, true},
      {"to the bundle itself", {{resources + "root", "../.."}}, true},
      {"a chain into a linked folder",
       {{resources + "macos", "../MacOS"},
        {resources + "main", "macos/Pelorin Code"},
        {resources + "again", "./main"}},
       true},
      {"absolute", {{resources + "link", "/etc/passwd"}}, false},
      {"climbing out in its text", {{resources + "link", "../../../outside"}}, false},
      {"onto the bundle's own name", {{resources + "link", "../../../Pelorin Code.app"}}, false},
      {"climbing out through a link to the folder above",
       {{resources + "up", ".."}, {resources + "x", "up/../../.."}},
       false},
      {"a chain climbing out",
       {{resources + "a", "b/../../.."}, {resources + "b", "c"}, {resources + "c", "../.."}},
       false},
      {"a loop", {{resources + "a", "b"}, {resources + "b", "a"}}, false},
      {"through a link to a file used as a folder",
       {{resources + "f", "greeting.txt"}, {resources + "x", "f/../../.."}},
       false},
  };
  const auto& codesign = tools_.tools().codesign;
  auto good = requirement("com.pelorin-ai.code", "K4QW7ZP1MX");
  for (const auto& c : cases) {
    fs::remove_all(app_);
    PelorinRelease::makeSampleApp(app_, PelorinRelease::Architecture::arm64);
    PelorinRelease::seal(app_, tools_.keys().privatePem);
    signWithLinks(app_, c.links, tools_.keys().privatePem);
    int accepted = c.inside ? 0 : 1;
    EXPECT_EQ(status(codesign, deep()), accepted) << c.name;
    EXPECT_EQ(status(codesign, withRequirement(good)), accepted) << c.name;
    EXPECT_EQ(status(tools_.tools().spctl, assess()), accepted) << c.name;
    if (c.inside) {
      EXPECT_NO_THROW(PelorinRelease::seal(app_, tools_.keys().privatePem)) << c.name;
    } else {
      EXPECT_THROW(PelorinRelease::seal(app_, tools_.keys().privatePem), PelorinSeal::SealError)
          << c.name;
    }
  }
}

}  // namespace

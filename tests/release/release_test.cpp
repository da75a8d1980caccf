#include <gtest/gtest.h>
#include <signal.h>

#include <InstallerCore/InstallerCore.hpp>
#include <PelorinRelease/HostCheck.hpp>
#include <PelorinRelease/Release.hpp>
#include <algorithm>
#include <regex>
#include <sstream>
#include <thread>

#include <PelorinBase/Sha256.hpp>

#include "TestSupport.hpp"
#include "pipeline/Checks.hpp"
#include "support/TestDistribution.hpp"

// The first failing line of a host check as "NAME: DETAIL", or "all passed N" for N lines; the
// edge's test reads it too.
std::string firstFailure(const std::vector<PelorinRelease::CheckLine>& lines) {
  auto failed = std::find_if(lines.begin(), lines.end(), [](auto& line) { return !line.passed; });
  return failed == lines.end() ? "all passed " + std::to_string(lines.size())
                               : failed->name + ": " + failed->detail;
}

namespace {

namespace fs = std::filesystem;
using namespace PelorinRelease;
using namespace PelorinTesting;
using Arguments = std::vector<std::string>;

const std::string kHost(InstallerCore::Distribution::host()),
    kLatest = "/desktop-releases/installer/stable/latest.json";

int tool(const Arguments& arguments) {
  return runChild(PELORIN_RELEASE_TOOL, arguments, {}).exitStatus.value_or(-1);
}

// The artifacts of release 1.4.0 whose images hold these bytes, by architecture.
std::map<std::string, Artifact> artifactsOf(const std::map<std::string, std::string>& images) {
  std::map<std::string, Artifact> artifacts;
  for (const auto& [arch, bytes] : images) {
    PelorinBase::Sha256 digest;
    digest.update(bytes.data(), bytes.size());
    artifacts[arch] = {artifactURL(kHost, "1.4.0", arch), digest.finish(),
                       std::int64_t(bytes.size())};
  }
  return artifacts;
}

// Serves that release, for system 13.0.0.
void serveRelease(TestServer& server, const std::map<std::string, std::string>& images) {
  const auto artifacts = artifactsOf(images);
  for (const auto& [arch, bytes] : images)
    server.route(InstallerCore::Url::parse(artifacts.at(arch).url)->path(), serveFile(bytes));
  server.route(kLatest, serveFile(manifestText("1.4.0", "13.0.0", artifacts)));
}

// The syncs and renames that `trace` (strace -y) shows on items below `root`, in order, as
// "sync PATH" and "rename PATH" (the name renamed), PATH relative to `root`.
std::vector<std::string> syncsAndRenames(const std::string& trace, const fs::path& root) {
  static const std::regex call(R"re(^\d+ +(\w+)\((?:[^<"]*<([^>]*)>)?(?:, )?(?:"([^"]*)")?)re");
  std::vector<std::string> events;
  std::istringstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    std::smatch found;
    if (!std::regex_search(line, found, call)) continue;
    const fs::path named = found[3].str(), folder = found[2].str(),
                   item = named.empty() ? folder : folder / named;
    const auto relative = item.lexically_relative(root).lexically_normal();
    if (relative.empty() || *relative.begin() == "..") continue;
    events.push_back((found[1].str().starts_with("rename") ? "rename " : "sync ") +
                     relative.string());
  }
  return events;
}

// A publisher's input: two sample applications and a key made for the test.
class Publish : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& [arch, app] : options_.apps) makeSampleApp(app, *architectureNamed(arch));
  }

  TemporaryFolder folder_;
  StandInTools tools_;
  PublishOptions options_{.apps = {{"arm64", folder_ / "in/arm64/Any Name.app"},
                                   {"x64", folder_ / "in/x64/Pelorin Code.app"}},
                          .version = "1.4.0",
                          .minimumSystemVersion = "13.0.0",
                          .privatePem = tools_.keys().privatePem,
                          .webRoot = folder_ / "www"};
};

// Whatever goes wrong, nothing is written; and whatever a publication that follows does, a
// published image and the manifest naming it stay as they are.
TEST_F(Publish, RefusesBadReleasesBeforeWritingAnything) {
  // Inputs where what the tool changes in its copy is a link to somewhere outside the input.
  auto linkedOut = [&](const fs::path& relative) {
    auto app = folder_ / "linked" / relative.filename() / "Pelorin Code.app";
    auto outside = folder_ / "outside" / relative.filename();
    makeSampleApp(app, Architecture::x64);
    fs::create_directory(outside.parent_path());
    if (fs::exists(app / relative)) fs::rename(app / relative, outside);
    if (!fs::exists(outside)) writeFile(outside / "CodeResources", "an older seal, kept elsewhere");
    fs::create_symlink(outside, app / relative);
    return app;
  };
  const auto plist = linkedOut("Contents/Info.plist"), seal = linkedOut("Contents/_CodeSignature");
  // A web root where a folder the tool writes in is a link to a folder outside.
  auto linkedRoot = [&](const fs::path& relative) {
    const auto root = folder_ / "roots" / relative.filename();
    fs::create_directories(folder_ / "outside" / relative.filename());
    fs::create_directories((root / relative).parent_path());
    fs::create_symlink(folder_ / "outside" / relative.filename(), root / relative);
    return root;
  };
  auto published = options_;
  published.webRoot = folder_ / "published";
  publish(published);
  // 1.4.0 published into a web root of its own, then an item in the way of one of the writes of
  // the next publication, of `version`.
  auto after = [&](const std::string& root, const std::string& version, const fs::path& blocked) {
    return [=, this](PublishOptions& o) {
      o.webRoot = folder_ / root;
      publish(o);
      if (!blocked.empty()) writeFile(o.webRoot / blocked / "x", "in the way");
      o.version = version;
    };
  };
  const fs::path manifest = "desktop-releases/installer/stable/latest.json.partial";
  struct Case {
    std::string what;
    std::function<void(PublishOptions&)> change;
    std::string expected;
    std::vector<fs::path> unchanged = {""};  // below the test's folder
  };
  std::vector<Case> cases = {
      {"version not a version", [](auto& o) { o.version = "1.4"; }, "other: --version \"1.4\""},
      {"version with a leading zero", [](auto& o) { o.version = "01.4.0"; },
       "other: --version \"01.4.0\": a version is written without leading zeros"},
      {"label number with a leading zero", [](auto& o) { o.version = "1.4.0-rc.01"; },
       "other: --version \"1.4.0-rc.01\": a version is written without leading zeros"},
      {"minimum with a leading zero", [](auto& o) { o.minimumSystemVersion = "13.00.0"; },
       "other: --minimum-system \"13.00.0\": a version is written without leading zeros"},
      {"minimum 13.0", [](auto& o) { o.minimumSystemVersion = "13.0"; }, "other: --minimum-sys"},
      {"a host with a path", [](auto& o) { o.host = kHost + "/x"; }, "other: --host"},
      {"another host", [](auto& o) { o.host = "evil.example"; }, "other: --host"},
      {"arm64 code in the x64 image", [&](auto& o) { o.apps["x64"] = o.apps["arm64"]; },
       "other: " + options_.apps.at("arm64").string() + " has no x86_64 slice"},
      {"x86_64 code in the arm64 image", [&](auto& o) { o.apps["arm64"] = o.apps["x64"]; },
       "other: " + options_.apps.at("x64").string() + " has no arm64 slice"},
      {"Info.plist a link out of the input", [&](auto& o) { o.apps["x64"] = plist; },
       "other: " + (plist / "Contents/Info.plist").string() + " is a symbolic link"},
      {"the seal's folder a link out", [&](auto& o) { o.apps["arm64"] = seal; }, "other: "},
      {"a published image with other bytes",
       [&](auto& o) { o.webRoot = published.webRoot, o.minimumSystemVersion = "13.1.0"; },
       "other: " + (published.webRoot / "desktop-releases/1.4.0/app-arm64.dmg").string() +
           " is already published with other bytes"},
      // A folder with something in it: neither removed nor replaced, whoever runs the test.
      {"the same again", after("same", "1.4.0", ""), "ok", {"same/desktop-releases/1.4.0"}},
      {"the same, its manifest blocked",
       after("blocked", "1.4.0", manifest),
       "other: cannot write",
       {"blocked"}},
      {"the next, an image blocked",
       after("next", "1.5.0", "desktop-releases/1.5.0/app-x64.dmg.partial"),
       "other: cannot write",
       {"next/desktop-releases/1.4.0", "next/desktop-releases/installer"}}};
  for (const fs::path relative :
       {"desktop-releases", "desktop-releases/1.4.0", "desktop-releases/installer",
        "desktop-releases/installer/stable"}) {
    const auto root = linkedRoot(relative);
    cases.push_back({relative.string() + " a link", [root](auto& o) { o.webRoot = root; },
                     "other: " + (root / relative).string() + " is a symbolic link"});
  }
  // A folder of the web root replaced by a link while the images are packed (and whether it was
  // there before): nothing reaches the link's target.
  int row = 0;
  for (const auto& [relative, existed] :
       std::vector<std::pair<fs::path, bool>>{{"desktop-releases", true},
                                              {"desktop-releases/1.4.0", false},
                                              {"desktop-releases/1.4.0", true},
                                              {"desktop-releases/installer/stable", true}}) {
    const auto root = folder_ / ("packing" + std::to_string(++row)), linked = root / relative;
    const fs::path outside = "outside-packing" + std::to_string(row),
                   made = existed ? linked : linked.parent_path();
    cases.push_back({"while packing, " + relative.string() + " a link",
                     [=, this](auto& o) {
                       fs::create_directories(folder_ / outside);
                       fs::create_directories(made);
                       o.webRoot = root;
                       o.packed = [=, this](const std::string& arch) {
                         if (arch != "arm64") return;
                         fs::remove_all(linked);
                         fs::create_symlink(folder_ / outside, linked);
                       };
                     },
                     "other: " + linked.string() +
                         " is a symbolic link; the release tool does not write through links",
                     {outside}});
  }
  for (const auto& [what, change, expected, unchanged] : cases) {
    auto options = options_;
    change(options);
    std::vector<std::map<std::string, std::string>> before;
    for (const auto& item : unchanged) before.push_back(snapshot(folder_ / item));
    EXPECT_EQ(outcomeOf([&] { publish(options); }).substr(0, expected.size()), expected) << what;
    for (std::size_t i = 0; i < unchanged.size(); ++i)
      EXPECT_EQ(snapshot(folder_ / unchanged[i]), before[i]) << what << " " << unchanged[i];
  }
}

// Whenever the power goes, the manifest names no image whose bytes or name may be lost: each
// image is synced before its rename, then its folder; then the manifest, and its folder. A folder
// made is synced in its parent before anything is put in it.
TEST_F(Publish, SyncsTheImagesAndTheirFolderBeforeTheManifest) {
  const auto key = folder_ / "signing-key.pem", trace = folder_ / "trace";
  writeFile(key, options_.privatePem);
  const Arguments strace = {
      "-f",          "-qq", "-y",
      "-o",          trace, "-e",
      "signal=none", "-e",  "trace=fsync,fdatasync,rename,renameat,renameat2"};
  const std::vector<std::string> image = {"sync desktop-releases/V/app-arm64.dmg.partial",
                                          "rename desktop-releases/V/app-arm64.dmg.partial",
                                          "sync desktop-releases/V/app-x64.dmg.partial",
                                          "rename desktop-releases/V/app-x64.dmg.partial"},
                                 manifest = {
                                     "sync desktop-releases/installer/stable/latest.json.partial",
                                     "rename desktop-releases/installer/stable/latest.json.partial",
                                     "sync desktop-releases/installer/stable"};
  auto join = [](std::vector<std::vector<std::string>> parts) {
    std::vector<std::string> events;
    for (const auto& part : parts) events.insert(events.end(), part.begin(), part.end());
    return events;
  };
  // The version published in turn into one web root, and the calls seen ("V": the version).
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"1.4.0", join({{"sync .", "sync desktop-releases"},
                      image,
                      {"sync desktop-releases/V"},
                      {"sync desktop-releases", "sync desktop-releases/installer"},
                      manifest})},
      {"1.5.0", join({{"sync desktop-releases"}, image, {"sync desktop-releases/V"}, manifest})},
      {"1.5.0", join({{"sync desktop-releases/V"}, manifest})}};  // the images kept
  for (const auto& [version, expected] : cases) {
    auto arguments = strace;
    arguments.insert(arguments.end(),
                     {PELORIN_RELEASE_TOOL, "publish", "--version", version, "--minimum-system",
                      "13.0.0", "--key", key, "--out", options_.webRoot, "--app",
                      options_.apps.at("arm64"), "--app-x64", options_.apps.at("x64")});
    // LeakSanitizer cannot run under ptrace: a sanitized tool would fail for it.
    const auto result =
        runChild("/usr/bin/strace", arguments, {{"ASAN_OPTIONS", "detect_leaks=0"}});
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    auto events = expected;
    for (auto& event : events)
      event = std::regex_replace(event, std::regex("/V\\b"), "/" + version);
    EXPECT_EQ(syncsAndRenames(readFile(trace), options_.webRoot), events) << version;
  }
}

// Two publishers of one application, key and version, one under a stricter umask, one with an
// input that only its owner can read: the same bytes, served to everyone.
TEST_F(Publish, MakesTheSameImagesWhateverTheUmask) {
  const auto own = folder_ / "own";
  ASSERT_EQ(runChild("/bin/cp", {"-a", folder_ / "in", own}, {}).exitStatus, 0);
  ASSERT_EQ(runChild("/bin/chmod", {"-R", "go-rwx", own}, {}).exitStatus, 0);
  auto mode = [](const fs::path& item) {
    std::ostringstream text;
    text << std::oct << int(fs::status(item).permissions());
    return text.str();
  };
  const std::tuple<std::string, mode_t, fs::path> cases[] = {
      {"umask 022", 022, folder_ / "in"},
      {"umask 077", 077, folder_ / "in"},
      {"umask 077, an input of its owner's", 077, own}};
  std::string first;
  for (const auto& [name, mask, input] : cases) {
    auto options = options_;
    options.webRoot = folder_ / name;
    for (auto& [arch, app] : options.apps) app = input / app.lexically_relative(folder_ / "in");
    const ScopedUmask umask(mask);
    std::string published;
    for (const auto& [arch, image] : publish(options).images) {
      published += arch + " " + PelorinInstaller::hash(image) + " " + mode(image) + " " +
                   mode(image.parent_path()) + "\n";
    }
    if (first.empty()) first = published;
    EXPECT_EQ(published, first) << name;
    EXPECT_NE(published.find(" 644 755\n"), std::string::npos) << name;
  }
}

TEST_F(Publish, MakesAReleaseThatTheInstallerAcceptsAndNginxServes) {
  const auto input = snapshot(folder_ / "in");
  options_.plistFormat = PlistFormat::binary;
  publish(options_);
  const auto release = options_.webRoot / "desktop-releases/1.4.0";
  auto manifest = InstallerCore::ReleaseManifest::decode(
      readFile(options_.webRoot / kLatest.substr(1)), {13, 0, 0});
  EXPECT_EQ(manifest.version + " " + manifest.minimumSystemVersion, "1.4.0 13.0.0");
  for (std::string arch : {"arm64", "x64"}) {
    const auto image = release / ("app-" + arch + ".dmg");
    const auto& artifact = manifest.artifacts.at(arch);
    EXPECT_EQ(artifact.url.text() + " " + artifact.sha256 + " " + std::to_string(artifact.bytes),
              "https://" + kHost + "/desktop-releases/1.4.0/app-" + arch + ".dmg " +
                  PelorinInstaller::hash(image) + " " + std::to_string(fs::file_size(image)));
  }
  EXPECT_EQ(snapshot(folder_ / "in"), input) << "the input changed";
  EXPECT_EQ(entriesStartingWith(options_.webRoot / "desktop-releases", ""),
            (Arguments{"1.4.0", "installer"}));

  const auto nginx = LoopbackNginx::origin(folder_ / "nginx", options_.webRoot);
  const auto host = "127.0.0.1:" + std::to_string(nginx->port());
  auto settings = nginx->settings();
  settings.connectTo = {connectToHost(host)};
  auto lines = checkHost({.transfer = settings, .system = {13, 0, 0}, .full = true});
  EXPECT_EQ(firstFailure(lines), "all passed 10");  // TLS, manifest, 2 decodings, 3 an image
  // The command line trusts only the build's store, which does not hold nginx's certificate.
  EXPECT_EQ(tool({"check", "--host", host}), 1);

  if (auto why = fuseUnavailable()) GTEST_SKIP() << "no FUSE: " << *why;
  auto installer = testHost(folder_.path(), tools_.tools(), {}, {13, 0, 0});
  for (auto [arch, expected] : {std::pair{"arm64", "ok"}, {"x64", "wrongApplication"}}) {
    AttachedImage mounted(tools_.tools(), release / ("app-" + std::string(arch) + ".dmg"),
                          folder_ / arch);
    auto app = mounted.path() / InstallerCore::Distribution::appName;
    EXPECT_EQ(readFile(app / "Contents/Info.plist").substr(0, 8), "bplist00");
    // Stamped with the input's time, not one fixed time that would make releases look alike.
    struct stat packed {};
    struct stat input {};
    ::stat(app.c_str(), &packed), ::stat(options_.apps.at(arch).c_str(), &input);
    EXPECT_GE(packed.st_mtime, input.st_mtime) << arch;
    EXPECT_EQ(outcomeOf([&] { PelorinInstaller::verify(installer, app, "1.4.0"); }), expected)
        << arch;
  }
}

TEST(ReleaseTool, KeepsItsKeyAndPublishesFromTheCommandLine) {
  TemporaryFolder folder;
  const auto keys = (folder / "keys").string(), www = (folder / "www").string(),
             key = keys + "/signing-key.pem";
  ASSERT_EQ(tool({"keygen", keys}), 0);
  const auto privateKey = readFile(key);
  EXPECT_EQ(tool({"keygen", keys}), 1) << "a second key pair";
  EXPECT_EQ(readFile(key) + PelorinSeal::publicKeyOf(privateKey),
            privateKey + readFile(keys + "/anchor.pem"));
  EXPECT_EQ(fs::status(key).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_EQ(tool({"publish", "--version", "2.0.10-beta.0", "--minimum-system", "13.0.0", "--key",
                  key, "--out", www, "--sample", "universal"}),
            0);
  auto manifest = InstallerCore::ReleaseManifest::decode(readFile(www + kLatest), {13, 0, 0});
  EXPECT_EQ(manifest.artifacts.at("x64").sha256,
            PelorinInstaller::hash(www + "/desktop-releases/2.0.10-beta.0/app-x64.dmg"));
}

// What the tool answers to a publisher finding their way: help, versions and wrong usage.
TEST(ReleaseTool, ExplainsItselfAndNamesWhatIsWrong) {
  TemporaryFolder folder;
  ASSERT_EQ(tool({"keygen", folder / "keys"}), 0);
  // A publication to folder/www with this key, then the rest of the arguments.
  auto publish = [&](const fs::path& key, const Arguments& more) {
    Arguments arguments = {"publish", "--out", folder / "www", "--minimum-system", "13.0.0",
                           "--key",   key};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
  };
  const auto key = folder / "keys/signing-key.pem", anchor = folder / "keys/anchor.pem";
  const std::string e = "pelorin-release: ";
  // The arguments, the exit status and what standard output or else standard error starts with.
  const std::tuple<Arguments, int, std::string> cases[] = {
      {{"--help"}, 0, "usage:\n  pelorin-release keygen"},
      {{}, 2, e + "no command\nusage:\n  pelorin-release keygen"},
      {{"--version"}, 0, "pelorin-release 1."},
      {{"check", "--help"}, 0, "usage: pelorin-release check"},
      {{"publish", "-h"}, 0, "usage: pelorin-release publish"},
      {{"check", "--bogus"}, 2, e + "unknown option --bogus\nusage: pelorin-release check"},
      {{"check", "--full", "--full"}, 2, e + "option --full given twice"},
      {{"check", "--host"}, 2, e + "option --host needs a value"},
      {{"check", "--host", "127.0.0.1:0"}, 2, e + "--host 127.0.0.1:0: the port"},
      {{"check", "--host", "[::1]:65536"}, 2, e + "--host [::1]:65536: the port"},
      {{"check", "--host", "::1"}, 2, e + "--host ::1: an IPv6 address goes in brackets, [::1]:"},
      {{"check", "--anchor", "a.pem"}, 2, e + "--anchor is for --full"},
      {{"sample", "--arch", "ppc", "x.app"}, 2, e + "--arch ppc: not arm64"},
      {{"bogus"}, 2, e + "unknown command bogus"},
      {publish(key, {"--sample", "universal", "--version", "1.4"}), 2, e + "--version \"1.4\""},
      {publish(key, {"--sample", "arm64", "--version", "1.4.0"}), 2, e + "--sample arm64: a"},
      {publish(key, {"--sample", "universal", "--version", "1.4.0", "--key", "x"}), 2,
       e + "option --key given twice"},
      {publish(anchor, {"--sample", "universal", "--version", "1.4.0"}), 2,
       e + "--key " + anchor.string() + ": not an Ed25519 private key"},
      {publish(key, {"--app", folder / "none.app", "--version", "1.4.0"}), 1,
       e + (folder / "none.app").string() + " does not exist\n"},
      {publish(folder / "none.pem", {"--sample", "universal", "--version", "1.4.0"}), 1,
       e + "cannot read " + (folder / "none.pem").string() + ": No such file or directory\n"}};
  for (const auto& [arguments, status, expected] : cases) {
    const auto result = runChild(PELORIN_RELEASE_TOOL, arguments, {});
    const auto& said = status == 0 ? result.out : result.err;
    EXPECT_EQ(
        std::to_string(result.exitStatus.value_or(-1)) + " " + said.substr(0, expected.size()),
        std::to_string(status) + " " + expected)
        << testing::PrintToString(arguments);
  }
  EXPECT_FALSE(fs::exists(folder / "www")) << "nothing published";
}

// A publish interrupted by each signal while its work folder holds the copies it made: the folder
// goes, one line says so, and the signal ends the process. It is held before it packs
// (hold_first_child.cpp).
TEST(ReleaseTool, RemovesItsWorkFolderWhenInterrupted) {
  TemporaryFolder folder;
  ASSERT_EQ(tool({"keygen", folder / "keys"}), 0);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    const auto tmp = folder / ("tmp" + std::to_string(signal));
    const auto pidFile = tmp.string() + ".pid";
    fs::create_directories(tmp);
    ChildResult result;
    std::thread child([&] {
      result = runChild(
          PELORIN_RELEASE_TOOL,
          {"publish", "--version", "1.4.0", "--minimum-system", "13.0.0", "--key",
           folder / "keys/signing-key.pem", "--out", folder / "www", "--sample", "universal"},
          {{"TMPDIR", tmp}, {"LD_PRELOAD", PELORIN_HOLD_LIBRARY}, {"HOLD_FILE", pidFile}});
    });
    // Held once the copies are made.
    pid_t pid = 0;
    auto held = [&] {
      if (!(std::istringstream(fs::exists(pidFile) ? readFile(pidFile) : "") >> pid)) return false;
      std::error_code error;
      for (fs::recursive_directory_iterator item(tmp, error), end; !error && item != end;
           item.increment(error))
        if (item->path().filename() == "CodeResources") return true;
      return false;
    };
    EXPECT_TRUE(eventually(held));
    std::string removed;
    for (const auto& entry : entriesStartingWith(tmp, ""))
      removed += (removed.empty() ? "; removed " : ", ") + (tmp / entry).string();
    if (pid > 0) ::kill(pid, signal);
    child.join();
    EXPECT_EQ(result.err, "pelorin-release: interrupted by SIG" +
                              std::string(sigabbrev_np(signal)) + removed + "\n");
    EXPECT_EQ(result.signal, signal);
    EXPECT_EQ(entriesStartingWith(tmp, ""), Arguments{});
  }
  EXPECT_FALSE(fs::exists(folder / "www/desktop-releases/installer")) << "nothing published";
}

TEST(HostCheck, NamesEachFaultOfTheHost) {
  const std::string image(200 * 1024, 'i'), arm64 = "/desktop-releases/1.4.0/app-arm64.dmg";
  const auto size = std::int64_t(image.size());
  const auto artifacts = artifactsOf({{"arm64", image}, {"x64", image}});
  const auto manifest = manifestText("1.4.0", "13.0.0", artifacts);
  const std::string start = "arm64.dmg from byte 0: ", whole = "arm64.dmg whole: ",
                    middle = "arm64.dmg from byte " + std::to_string(size / 2) + ": ";
  const CertificateAuthority stranger("Another CA");
  // The image served as a file and its reply changed: for requests with a range, without, or all.
  auto served = [&](std::function<void(Reply&)> change, std::optional<bool> ranged = {}) -> Route {
    return [=](const Request& request) {
      auto reply = serveFile(image)(request);
      if (!ranged || *ranged == request.header("Range").has_value()) change(reply);
      return reply;
    };
  };
  auto flip = [&](long at) { return [=](Reply& r) { r.body[at + r.body.size() - size] ^= 1; }; };
  auto noTotal = [](Reply& r) {
    r.headers.back().second.replace(r.headers.back().second.find('/') + 1, 9, "*");
  };
  // The path whose route is replaced ("ca": a trust store without the host's authority), whether
  // images are also downloaded whole, and what the first failing line says.
  const std::tuple<std::string, Route, bool, std::string> cases[] = {
      {arm64, [](auto&) { return Reply::redirect(307, "/desktop-releases/1.4.0/app-x64.dmg"); },
       true, "all passed 10"},
      {arm64, served([&](Reply& r) { r.status = 200, r.headers.clear(), r.body = image; }), false,
       middle + "no resume"},
      {arm64, served(noTotal, true), false, middle + "error.invalidResponse"},
      // The installer judges a redirect it does not follow as the response itself.
      {arm64, [](auto&) { return Reply::redirect(302, "https://cdn.other.example/a.dmg"); }, false,
       start +
           "error.invalidResponse: redirected to https://cdn.other.example/a.dmg, not followed"},
      {kLatest, [](auto&) { return Reply::redirect(301, "http://" + kHost + kLatest); }, false,
       "latest.json: error.invalidResponse: redirected to http://" + kHost + kLatest +
           ", not followed"},
      {"ca", {}, false, "TLS chain of " + kHost + ": error.network"},
      {kLatest, serveFile(manifest + std::string(1 << 20, ' ')), false,
       "latest.json: error.invalidResponse"},
      {kLatest, serveFile(manifestText("1.4.0", "99.0.0", artifacts)), false,
       "13.0.0: error.unsupportedSystem"},
      {arm64, serveFile(image + "more"), false, start + "error.invalidResponse"},
      {arm64, served(flip(size - 1)), true, whole + "error.damagedDownload"},
      {arm64, served(flip(size / 2), true), true, whole + "error.damagedDownload"},  // only ranges
      {arm64, served([&](Reply& r) { r.body += image, r.chunked = true; }, false), true,
       whole + "error.damagedDownload"},
      {arm64, served([](Reply& r) { r.stallAfter = 1000; }), false, start + "error.network"}};
  for (const auto& [path, route, full, expected] : cases) {
    TestDistribution distribution;
    auto& server = distribution.server();
    serveRelease(server, {{"arm64", image}, {"x64", image}});
    if (route) server.route(path, route);
    HostCheckOptions options{
        .transfer = distribution.settings(), .system = {13, 0, 0}, .full = full};
    options.transfer.requestTimeout = std::chrono::seconds(2);
    if (path == "ca") options.transfer.caFile = stranger.certificateFile().string();
    const auto failure = firstFailure(checkHost(options));
    EXPECT_NE(failure.find(expected), std::string::npos) << expected << " / " << failure;
    for (const auto& request : server.requests()) EXPECT_EQ(request.method, "GET") << expected;
  }
}

// A full check verifies each image's application as the installer does: each row makes the arm64
// image otherwise, and the first failing line names the key the window would show.
TEST(HostCheck, VerifiesWhatTheInstallerVerifies) {
  if (auto why = fuseUnavailable()) GTEST_SKIP() << "no FUSE: " << *why;
  TemporaryFolder folder;
  const StandInTools tools;
  const auto other = PelorinSeal::generateKeyPair(), &own = tools.keys();
  writeFile(folder / "other.pem", other.publicPem);
  writeFile(folder / "signing-key.pem", own.privatePem);
  // The bytes of an image holding a sample application in `version`, sealed with `key`.
  auto image = [&](const std::string& name, Architecture arch, const PelorinSeal::KeyPair& key,
                   const std::string& version) {
    const auto app = folder / name / InstallerCore::Distribution::appName;
    makeSampleApp(app, arch);
    setInfoKeys(app, {{"CFBundleIdentifier", std::string(InstallerCore::Distribution::bundleID)},
                      {"CFBundleShortVersionString", version},
                      {"LSMinimumSystemVersion", "13.0.0"}});
    seal(app, key.privatePem);
    packImage(folder / name, folder / (name + ".dmg"));
    return readFile(folder / (name + ".dmg"));
  };
  const auto x64 = image("x64", Architecture::universal, own, "1.4.0");
  const std::string arm64 = "arm64 /desktop-releases/1.4.0/app-arm64.dmg ";
  // The arm64 image's application, its key and version, the anchor given, the first failure.
  const std::tuple<Architecture, const PelorinSeal::KeyPair*, std::string, fs::path, std::string>
      cases[] = {
          {Architecture::universal, &own, "1.4.0", "", "all passed 27"},
          {Architecture::universal, &other, "1.4.0", "",
           arm64 + "code signature: error.verification (codesign: 1)"},
          {Architecture::universal, &other, "1.4.0", folder / "other.pem",
           "x64 /desktop-releases/1.4.0/app-x64.dmg code signature: error.verification"},
          {Architecture::universal, &own, "1.4.1", "", arm64 + "version: error.wrongApplication"},
          {Architecture::x64, &own, "1.4.0", "", arm64 + "arm64 slice: error.wrongApplication"},
          {Architecture::universal, &own, "1.4.0", folder / "signing-key.pem",
           "trust anchor " + (folder / "signing-key.pem").string() +
               ": error.verification (codesign: 1): the anchor is not an Ed25519 public key"}};
  int row = 0;
  for (const auto& [arch, key, version, anchor, expected] : cases) {
    TestDistribution distribution;
    serveRelease(
        distribution.server(),
        {{"arm64", image("arm64-" + std::to_string(row++), arch, *key, version)}, {"x64", x64}});
    HostCheckOptions options{.transfer = distribution.settings(),
                             .system = {13, 0, 0},
                             .full = true,
                             .tools = tools.tools()};
    if (!anchor.empty()) options.anchor = anchor;
    EXPECT_EQ(firstFailure(checkHost(options)).substr(0, expected.size()), expected);
  }
}

}  // namespace

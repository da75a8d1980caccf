#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <InstallerCore/Distribution.hpp>
#include <InstallerCore/InstallerError.hpp>
#include <InstallerCore/MachO.hpp>
#include <InstallerCore/ReleaseManifest.hpp>
#include <PelorinRelease/HostCheck.hpp>
#include <PelorinRelease/Release.hpp>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "TestSupport.hpp"
#include "pipeline/Checks.hpp"
#include "pipeline/Command.hpp"
#include "support/ContactProbe.hpp"
#include "support/TestDistribution.hpp"

namespace {

namespace fs = std::filesystem;
using namespace PelorinRelease;
using PelorinTesting::readFile;
using PelorinTesting::StandInTools;
using PelorinTesting::TemporaryFolder;
using PelorinTesting::writeFile;

const std::string kHost(InstallerCore::Distribution::host());
const std::string kDigest(64, 'a');

// "ok", an InstallerError's name, or the kind of another error.
std::string outcome(const std::function<void()>& action) {
  try {
    action();
    return "ok";
  } catch (const std::system_error& error) {
    if (error.code().category() == InstallerCore::installerCategory()) {
      return std::string(InstallerCore::name(InstallerCore::InstallerError(error.code().value())));
    }
    return "system error";
  } catch (const PelorinSeal::SealError&) {
    return "seal error";
  } catch (const ReleaseError&) {
    return "release error";
  }
}

TEST(SampleApp, ExecutablesCarryTheirArchitectures) {
  struct Case {
    Architecture architecture;
    bool arm64, x64;
  } cases[] = {
      {Architecture::arm64, true, false},
      {Architecture::x64, false, true},
      {Architecture::universal, true, true},
  };
  TemporaryFolder folder;
  for (const auto& c : cases) {
    auto app = folder / std::to_string(int(c.architecture)) / "Pelorin Code.app";
    makeSampleApp(app, c.architecture);
    auto bytes = readFile(app / "Contents/MacOS/Pelorin Code");
    std::vector<std::uint8_t> header(bytes.begin(), bytes.begin() + 4096);
    EXPECT_EQ(InstallerCore::MachO::supports("arm64", header), c.arm64) << int(c.architecture);
    EXPECT_EQ(InstallerCore::MachO::supports("x64", header), c.x64) << int(c.architecture);
    EXPECT_TRUE(fs::status(app / "Contents/MacOS/Pelorin Code").permissions() >=
                fs::perms::owner_exec);
  }
  EXPECT_THROW(makeSampleApp(folder / "0" / "Pelorin Code.app", Architecture::arm64), ReleaseError);
}

std::map<std::string, Artifact> goodArtifacts() {
  return {{"arm64", {artifactURL(kHost, "1.4.0", "arm64"), kDigest, 1000}},
          {"x64", {artifactURL(kHost, "1.4.0", "x64"), kDigest, 2000}}};
}

TEST(Manifest, WritesWhatTheInstallerDecodes) {
  auto text = manifestText("1.4.0", "13.0.0", goodArtifacts());
  auto manifest = InstallerCore::ReleaseManifest::decode(text, {13, 0, 0});
  EXPECT_EQ(manifest.version, "1.4.0");
  EXPECT_EQ(manifest.minimumSystemVersion, "13.0.0");
  EXPECT_EQ(manifest.artifacts.at("arm64").url.text(),
            "https://" + kHost + "/desktop-releases/1.4.0/app-arm64.dmg");
  EXPECT_EQ(manifest.artifacts.at("x64").bytes, 2000);
}

TEST(Manifest, RefusesWhatTheInstallerWouldRefuse) {
  using Change = std::function<void(std::string&, std::string&, std::map<std::string, Artifact>&)>;
  struct Case {
    const char* name;
    Change change;
  } cases[] = {
      {"version 1.4", [](auto& v, auto&, auto&) { v = "1.4"; }},
      {"version with a build suffix", [](auto& v, auto&, auto&) { v = "1.4.0+5"; }},
      {"minimum 13.0", [](auto&, auto& m, auto&) { m = "13.0"; }},
      {"minimum a pre-release", [](auto&, auto& m, auto&) { m = "14.0.0-beta"; }},
      {"another host",
       [](auto&, auto&, auto& a) { a["x64"].url = artifactURL("other.example", "1.4.0", "x64"); }},
      {"http", [](auto&, auto&, auto& a) { a["arm64"].url.replace(0, 5, "http"); }},
      {"not a .dmg", [](auto&, auto&, auto& a) { a["arm64"].url += ".zip"; }},
      {"outside /desktop-releases/",
       [](auto&, auto&, auto& a) { a["arm64"].url = "https://" + kHost + "/other/app.dmg"; }},
      {"upper-case digest",
       [](auto&, auto&, auto& a) { a["arm64"].sha256 = std::string(64, 'A'); }},
      {"short digest", [](auto&, auto&, auto& a) { a["x64"].sha256.pop_back(); }},
      {"no bytes", [](auto&, auto&, auto& a) { a["arm64"].bytes = 0; }},
      {"too many bytes", [](auto&, auto&, auto& a) { a["arm64"].bytes = 4'294'967'297; }},
      {"only arm64", [](auto&, auto&, auto& a) { a.erase("x64"); }},
      {"a third artifact", [](auto&, auto&, auto& a) { a["arm64e"] = a["arm64"]; }},
  };
  for (const auto& c : cases) {
    std::string version = "1.4.0", minimum = "13.0.0";
    auto artifacts = goodArtifacts();
    c.change(version, minimum, artifacts);
    EXPECT_EQ(outcome([&] { manifestText(version, minimum, artifacts); }), "invalidManifest")
        << c.name;
  }
}

// A publisher's input: a sample application and a key made for the test.
class Publish : public ::testing::Test {
 protected:
  Publish() {
    makeSampleApp(folder_ / "in/arm64/Any Name.app", Architecture::arm64);
    makeSampleApp(folder_ / "in/x64/Pelorin Code.app", Architecture::x64);
    options_.apps = {{"arm64", folder_ / "in/arm64/Any Name.app"},
                     {"x64", folder_ / "in/x64/Pelorin Code.app"}};
    options_.version = "1.4.0";
    options_.minimumSystemVersion = "13.0.0";
    options_.privatePem = tools_.keys().privatePem;
    options_.webRoot = folder_ / "www";
  }

  TemporaryFolder folder_;
  StandInTools tools_;
  PublishOptions options_;
};

// Every file under `root` with the digest of its bytes, every folder as "/".
std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    found[entry.path().string()] =
        entry.is_directory() ? "/" : PelorinInstaller::hash(entry.path());
  }
  return found;
}

TEST_F(Publish, RefusesBadReleasesBeforeWritingAnything) {
  // Inputs where what the tool changes in its copy is a link to somewhere outside the input.
  auto linkedOut = [&](const std::string& name, const fs::path& relative) {
    auto app = folder_ / "linked" / name / "Pelorin Code.app";
    auto outside = folder_ / "outside" / name / relative.filename();
    makeSampleApp(app, Architecture::x64);
    fs::create_directories(outside.parent_path());
    if (fs::exists(app / relative)) {
      fs::rename(app / relative, outside);
    } else {
      fs::create_directory(outside);
      writeFile(outside / "CodeResources", "an older seal, kept elsewhere");
    }
    fs::create_symlink(outside, app / relative);
    return app;
  };
  auto plistOut = linkedOut("plist", "Contents/Info.plist");
  auto contentsOut = linkedOut("contents", "Contents");
  auto sealOut = linkedOut("seal", "Contents/_CodeSignature");
  auto outside = snapshot(folder_ / "outside");
  struct Case {
    const char* name;
    std::function<void(PublishOptions&)> change;
    std::string result;
  } cases[] = {
      {"version not a version", [](auto& o) { o.version = "1.4"; }, "invalidManifest"},
      {"version climbing out", [](auto& o) { o.version = "../1.4.0"; }, "invalidManifest"},
      {"minimum of two numbers", [](auto& o) { o.minimumSystemVersion = "13.0"; },
       "invalidManifest"},
      {"another host", [](auto& o) { o.host = "downloads.other.example"; }, "invalidManifest"},
      {"a host with a path", [](auto& o) { o.host = kHost + "/x"; }, "invalidManifest"},
      {"no x64 application", [](auto& o) { o.apps.erase("x64"); }, "release error"},
      {"a missing application", [](auto& o) { o.apps["x64"] = "/nonexistent/Pelorin Code.app"; },
       "release error"},
      {"a key that is no key", [](auto& o) { o.privatePem = "not a key"; }, "seal error"},
      {"a public key", [](auto& o) { o.privatePem = PelorinSeal::generateKeyPair().publicPem; },
       "seal error"},
      {"Info.plist a link out of the input", [&](auto& o) { o.apps["x64"] = plistOut; },
       "release error"},
      {"Contents a link out of the input", [&](auto& o) { o.apps["x64"] = contentsOut; },
       "release error"},
      {"the seal's folder a link out of the input", [&](auto& o) { o.apps["arm64"] = sealOut; },
       "release error"},
  };
  for (const auto& c : cases) {
    auto options = options_;
    c.change(options);
    EXPECT_EQ(outcome([&] { publish(options); }), c.result) << c.name;
    EXPECT_FALSE(fs::exists(options_.webRoot)) << c.name;
  }
  EXPECT_EQ(snapshot(folder_ / "outside"), outside) << "written through a link";
  auto options = options_;
  options.apps["x64"] = plistOut;
  try {
    publish(options);
    ADD_FAILURE() << "published an input whose Info.plist is a link";
  } catch (const ReleaseError& error) {
    EXPECT_EQ(error.what(), (plistOut / "Contents/Info.plist").string() +
                                " is a symbolic link; the release tool does not write through "
                                "links");
  }
}

TEST_F(Publish, MakesAReleaseThatTheInstallerAccepts) {
  auto inputPlist = readFile(options_.apps["arm64"] / "Contents/Info.plist");
  options_.plistFormat = PlistFormat::binary;
  auto publication = publish(options_);

  auto manifest =
      InstallerCore::ReleaseManifest::decode(readFile(publication.manifest), {13, 0, 0});
  EXPECT_EQ(publication.manifest,
            options_.webRoot / "desktop-releases/installer/stable/latest.json");
  for (const char* arch : {"arm64", "x64"}) {
    auto image =
        options_.webRoot / "desktop-releases/1.4.0" / (std::string("app-") + arch + ".dmg");
    EXPECT_EQ(publication.images.at(arch), image);
    const auto& artifact = manifest.artifacts.at(arch);
    EXPECT_EQ(artifact.url.text(), artifactURL(kHost, "1.4.0", arch));
    EXPECT_EQ(artifact.sha256, PelorinInstaller::hash(image)) << arch;
    EXPECT_EQ(artifact.bytes, std::int64_t(fs::file_size(image))) << arch;
  }
  EXPECT_EQ(readFile(options_.apps["arm64"] / "Contents/Info.plist"), inputPlist);
  EXPECT_FALSE(fs::exists(options_.apps["arm64"] / "Contents/_CodeSignature"));
  EXPECT_EQ(std::distance(fs::directory_iterator(options_.webRoot / "desktop-releases"), {}), 2)
      << "the working folder stayed behind";

  if (auto why = PelorinTesting::fuseUnavailable()) GTEST_SKIP() << "no FUSE: " << *why;
  auto host = PelorinTesting::testHost(folder_.path(), tools_.tools(), {}, {13, 0, 0});
  struct Case {
    const char* arch;
    std::string result;
  } cases[] = {{"arm64", "ok"}, {"x64", "wrongApplication"}};
  for (const auto& c : cases) {
    PelorinTesting::AttachedImage mounted(tools_.tools(), publication.images.at(c.arch),
                                          folder_ / (std::string("mount-") + c.arch));
    auto app = mounted.path() / InstallerCore::Distribution::appName;
    EXPECT_EQ(readFile(app / "Contents/Info.plist").substr(0, 8), "bplist00");
    EXPECT_EQ(outcome([&] { PelorinInstaller::verify(host, app, "1.4.0"); }), c.result) << c.arch;
  }
}

// The exit status of the command line, its output discarded.
int run(const std::vector<std::string>& arguments) {
  try {
    PelorinInstaller::Command::run(PELORIN_RELEASE_TOOL, arguments);
    return 0;
  } catch (const PelorinInstaller::CommandError& error) {
    return error.status;
  }
}

TEST(ReleaseTool, CommandLine) {
  TemporaryFolder folder;
  const auto keys = (folder / "keys").string(), www = (folder / "www").string();
  const auto key = keys + "/signing-key.pem";
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    int status;
  } cases[] = {
      {"no command", {}, 2},
      {"unknown command", {"release"}, 2},
      {"keygen", {"keygen", keys}, 0},
      {"sample", {"sample", "--arch", "universal", (folder / "Sample.app").string()}, 0},
      {"sample of an unknown architecture", {"sample", "--arch", "ppc", "x.app"}, 2},
      {"publish without a version",
       {"publish", "--minimum-system", "13.0.0", "--key", key, "--out", www, "--sample", "arm64"},
       2},
      {"publish with a bad version",
       {"publish", "--version", "1.4", "--minimum-system", "13.0.0", "--key", key, "--out", www,
        "--sample", "arm64"},
       1},
      {"publish with an unknown option",
       {"publish", "--version", "1.4.0", "--minimum-system", "13.0.0", "--key", key, "--out", www,
        "--sample", "arm64", "--channel", "beta"},
       2},
      {"check with an unknown option", {"check", "--fast"}, 2},
      {"publish an application and a sample",
       {"publish", "--version", "1.4.0", "--minimum-system", "13.0.0", "--key", key, "--out", www,
        "--sample", "arm64", "--app", (folder / "Sample.app").string()},
       2},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(run(c.arguments), c.status) << c.name;
    EXPECT_FALSE(fs::exists(www)) << c.name;
  }
  EXPECT_EQ(fs::status(key).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  auto privateKey = readFile(key);
  EXPECT_EQ(run({"keygen", keys}), 1) << "a second key pair replaced the first";
  EXPECT_EQ(readFile(key), privateKey);
  EXPECT_EQ(PelorinSeal::publicKeyOf(readFile(key)), readFile(keys + "/anchor.pem"));

  EXPECT_EQ(run({"publish", "--version", "2.0.0-beta.1", "--minimum-system", "12.0.0", "--key", key,
                 "--out", www, "--app", (folder / "Sample.app").string()}),
            0);
  auto manifest = InstallerCore::ReleaseManifest::decode(
      readFile(www + "/desktop-releases/installer/stable/latest.json"), {12, 0, 0});
  EXPECT_EQ(manifest.version, "2.0.0-beta.1");
  EXPECT_EQ(manifest.artifacts.at("arm64").sha256,
            PelorinInstaller::hash(www + "/desktop-releases/2.0.0-beta.1/app-arm64.dmg"));
}

// The first failing line of a check as "name fragment: error", or "all passed".
std::string firstFailure(const std::vector<CheckLine>& lines) {
  for (const auto& line : lines) {
    if (!line.passed) return line.name + ": " + line.detail;
  }
  return "all passed";
}

bool failsAs(const std::vector<CheckLine>& lines, const std::string& name,
             const std::string& error) {
  auto failure = firstFailure(lines);
  return failure.find(name) != std::string::npos && failure.find(": " + error) != std::string::npos;
}

TEST(HostCheck, NamesEachFaultOfTheHost) {
  using PelorinTesting::Reply;
  using PelorinTesting::Request;
  TemporaryFolder folder;
  std::string image(200 * 1024, '\0');
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = char(i * 7919 % 251);
  writeFile(folder / "image", image);
  const auto size = std::int64_t(image.size());
  std::map<std::string, Artifact> artifacts;
  for (const char* arch : {"arm64", "x64"}) {
    artifacts[arch] = {artifactURL(kHost, "1.4.0", arch), PelorinInstaller::hash(folder / "image"),
                       size};
  }
  const auto manifest = manifestText("1.4.0", "13.0.0", artifacts);
  const std::string manifestPath = "/desktop-releases/installer/stable/latest.json",
                    arm64 = "/desktop-releases/1.4.0/app-arm64.dmg";
  const auto middle = "arm64.dmg from byte " + std::to_string(size / 2);
  auto withHeader = [](PelorinTesting::Route route, std::string name, std::string value) {
    return [=](const Request& request) {
      auto reply = route(request);
      reply.headers.emplace_back(name, value);
      return reply;
    };
  };
  auto reply = [](std::string body, bool chunked = false, bool stall = false) {
    Reply reply;
    reply.body = std::move(body);
    reply.chunked = chunked;
    reply.stallHeaders = stall;
    return reply;
  };
  PelorinTesting::CertificateAuthority stranger("Another CA");
  stranger.writePem(folder / "stranger.pem");
  PelorinTesting::ContactProbe silent;

  using Setup = std::function<void(PelorinTesting::TestServer&, HostCheckOptions&)>;
  struct Case {
    const char* name;
    Setup setup;
    bool full;
    std::string line, error;  // the first failing line and the error it names
  } cases[] = {
      {"a correct host", [](auto&, auto&) {}, true, "", ""},
      {"a redirect within the host",
       [&](auto& s, auto&) {
         s.route(arm64, [](const Request&) {
           return Reply::redirect(307, "/desktop-releases/1.4.0/app-x64.dmg");
         });
       },
       true, "", ""},
      {"compresses although asked for identity",
       [&](auto& s, auto&) {
         s.route(arm64, withHeader(PelorinTesting::serveFile(image), "Content-Encoding", "gzip"));
       },
       false, "arm64.dmg from byte 0", "error.damagedDownload"},
      {"ignores Range",
       [&](auto& s, auto&) { s.route(arm64, [&](const Request&) { return reply(image); }); }, false,
       middle, "no resume"},
      {"a Content-Range without the total",
       [&](auto& s, auto&) {
         s.route(arm64, [&](const Request& request) {
           auto reply = PelorinTesting::serveFile(image)(request);
           for (auto& [key, value] : reply.headers) {
             if (key == "Content-Range") value = value.substr(0, value.find('/')) + "/*";
           }
           return reply;
         });
       },
       false, middle, "error.invalidResponse"},
      {"a redirect to another host",
       [&](auto& s, auto&) {
         s.route(arm64, [](const Request&) {
           return Reply::redirect(302, "https://cdn.other.example/app-arm64.dmg");
         });
       },
       false, "arm64.dmg from byte 0", "error.invalidURL"},
      {"a chain the client does not trust",
       [&](auto&, auto& o) { o.transfer.caFile = (folder / "stranger.pem").string(); }, false,
       "TLS chain", "error.network"},
      {"a manifest past 1 MiB",
       [&](auto& s, auto&) {
         s.route(manifestPath, PelorinTesting::serveFile(manifest + std::string(1 << 20, ' ')));
       },
       false, "latest.json", "error.invalidResponse"},
      {"a manifest without length that runs past 1 MiB",
       [&](auto& s, auto&) {
         s.route(manifestPath,
                 [&](const Request&) { return reply(manifest + std::string(1 << 20, ' '), true); });
       },
       false, "latest.json", "error.damagedDownload"},
      {"a manifest for a newer system",
       [&](auto& s, auto&) {
         s.route(manifestPath,
                 PelorinTesting::serveFile(manifestText("1.4.0", "99.0.0", artifacts)));
       },
       false, "manifest on this system 13.0.0", "error.unsupportedSystem"},
      {"an image re-uploaded with another size",
       [&](auto& s, auto&) { s.route(arm64, PelorinTesting::serveFile(image + "more")); }, false,
       "arm64.dmg from byte 0", "error.invalidResponse"},
      {"an image re-uploaded with other bytes",
       [&](auto& s, auto&) {
         auto other = image;
         other[size - 1] ^= 1;
         s.route(arm64, PelorinTesting::serveFile(other));
       },
       true, "arm64.dmg whole", "error.damagedDownload"},
      {"another image's bytes for ranges",
       [&](auto& s, auto&) {
         s.route(arm64, [&](const Request& request) {
           auto other = image;
           other[size / 2] ^= 1;
           return PelorinTesting::serveFile(request.header("Range") ? other : image)(request);
         });
       },
       true, "arm64.dmg whole", "error.damagedDownload"},
      {"an image that does not end",
       [&](auto& s, auto&) {
         s.route(arm64, [&](const Request& request) {
           if (request.header("Range")) return PelorinTesting::serveFile(image)(request);
           return reply(image + image, true);
         });
       },
       true, "arm64.dmg whole", "error.damagedDownload"},
      {"a host that stalls",
       [&](auto& s, auto&) {
         s.route(manifestPath, [&](const Request&) { return reply(manifest, false, true); });
       },
       false, "latest.json", "error.network"},
      {"an image that stalls",
       [&](auto& s, auto&) {
         s.route(arm64, [&](const Request&) {
           auto stalling = reply(image);
           stalling.stallAfter = 1000;
           return stalling;
         });
       },
       false, "arm64.dmg from byte 0", "error.network"},
      {"a host that does not answer",
       [&](auto&, auto& o) {
         o.transfer.connectTo = {
             PelorinTesting::TestDistribution::connectTo(kHost, 443, silent.port())};
       },
       false, "TLS chain", "error.network"},
  };
  for (const auto& c : cases) {
    PelorinTesting::TestDistribution distribution;
    auto& server = distribution.server();
    server.route(manifestPath, PelorinTesting::serveFile(manifest));
    for (const auto& [arch, artifact] : artifacts) {
      server.route(InstallerCore::Url::parse(artifact.url)->path(),
                   PelorinTesting::serveFile(image));
    }
    HostCheckOptions options{distribution.settings(), {13, 0, 0}, c.full, {}};
    options.transfer.requestTimeout = std::chrono::seconds(2);
    c.setup(server, options);
    auto lines = checkHost(options);
    if (c.line.empty()) {
      EXPECT_EQ(firstFailure(lines), "all passed") << c.name;
      EXPECT_EQ(lines.size(), 10u) << c.name;  // TLS, manifest, 2 decodings, 3 per image
    } else {
      EXPECT_TRUE(failsAs(lines, c.line, c.error)) << c.name << ": " << firstFailure(lines);
    }
    for (const auto& request : server.requests()) EXPECT_EQ(request.method, "GET") << c.name;
  }
}

// nginx (scripts/nginx.sh) on loopback, stopped on destruction.
class Nginx {
 public:
  Nginx(const fs::path& work, const fs::path& root) : work_(work) {
    fs::create_directories(work);
    PelorinInstaller::Command::run(
        "/bin/bash", {"-c", "\"$0\" free-port >\"$1\"", PELORIN_NGINX_SCRIPT, work / "port"});
    port_ = std::stoi(readFile(work / "port"));
    PelorinInstaller::Command::run("/bin/bash", {PELORIN_NGINX_SCRIPT, work.string(),
                                                 std::to_string(port_), kHost, root.string()});
  }
  ~Nginx() {
    std::ifstream file(work_ / "nginx.pid");
    pid_t pid = 0;
    if (!(file >> pid) || pid <= 0) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 100 && kill(pid, 0) == 0; ++i) usleep(50'000);
  }
  int port() const { return port_; }

 private:
  fs::path work_;
  int port_ = 0;
};

TEST_F(Publish, HostCheckPassesAgainstNginxServingARelease) {
  publish(options_);
  Nginx nginx(folder_ / "nginx", options_.webRoot);
  const auto host = "127.0.0.1:" + std::to_string(nginx.port());
  PelorinInstaller::TransferSettings settings;
  settings.caFile = (folder_ / "nginx/cert.pem").string();
  settings.connectTo = {connectToHost(host)};
  auto lines = checkHost({settings, {13, 0, 0}, true, {}});
  EXPECT_EQ(firstFailure(lines), "all passed");
  EXPECT_EQ(lines.size(), 10u);
  // The command line trusts only the build's store, which does not hold nginx's certificate.
  EXPECT_EQ(run({"check", "--host", host}), 1);
}
}  // namespace

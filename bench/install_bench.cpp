// A whole installation of a 512 MiB image from nginx over loopback TLS, beside the same steps done
// one after another by the standard tools. Run through bench/install_bench.sh, which starts nginx.
//
//   install_bench host                   the distribution host name compiled in
//   install_bench prepare WORK           keys, stand-ins and the release under WORK/www (kept)
//   install_bench measure WORK PORT      the figures (nginx serves WORK/www on PORT)
//   install_bench install WORK PORT DIR  one Installer run into DIR (a child of measure)

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <InstallerCore/Distribution.hpp>
#include <PelorinBase/Files.hpp>
#include <PelorinBase/ToolContracts.hpp>
#include <PelorinRelease/Release.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BenchRows.hpp"
#include "ChildRun.hpp"
#include "pipeline/Installer.hpp"

namespace {

namespace fs = std::filesystem;
namespace ToolContracts = PelorinBase::ToolContracts;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kPayload = (512u << 20) - (256u << 10);  // the image comes to ~512 MiB
constexpr int kRounds = 5;
const std::string kVersion = "2.0.0";

std::string host() { return std::string(InstallerCore::Distribution::host()); }
std::string connectTo(const std::string& port) { return host() + ":443:127.0.0.1:" + port; }
std::string imageURL() { return PelorinRelease::artifactURL(host(), kVersion, "arm64"); }

// Neither side pays for writing back what the other wrote: written data is flushed and the
// disk gets a moment to finish with it.
void settle() {
  ::sync();
  std::this_thread::sleep_for(std::chrono::seconds(2));
}

// A tool's path followed by its arguments.
std::vector<std::string> withTool(const fs::path& tool, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), tool.string());
  return arguments;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// --- prepare ---

int prepare(const fs::path& work) {
  auto tools = work / "tools";
  if (fs::exists(work / "www" / "desktop-releases" / "installer" / "stable" / "latest.json") &&
      fs::exists(tools / "anchor.pem")) {
    return 0;
  }
  fs::remove_all(work / "www");
  fs::remove_all(tools);
  fs::create_directories(tools);
  auto keys = PelorinSeal::generateKeyPair();
  for (const char* tool : {"hdiutil", "ditto", "codesign", "spctl"}) {
    fs::copy_file(fs::path(PELORIN_STANDIN_FOLDER) / tool, tools / tool);
  }
  PelorinBase::writeFile(tools / "anchor.pem", keys.publicPem, 0644);

  auto apps = work / "apps";
  fs::remove_all(apps);
  fs::create_directories(apps / "arm64");
  fs::create_directories(apps / "x64");
  PelorinRelease::makeSampleApp(apps / "arm64" / "Pelorin Code.app",
                                PelorinRelease::Architecture::arm64);
  PelorinRelease::makeSampleApp(apps / "x64" / "Pelorin Code.app",
                                PelorinRelease::Architecture::x64);
  {
    // Random bytes: the image cannot shrink them.
    std::ofstream payload(
        apps / "arm64" / "Pelorin Code.app" / "Contents" / "Resources" / "payload.bin",
        std::ios::binary);
    std::mt19937_64 random(512);
    std::vector<std::uint64_t> block(1 << 17);
    for (std::size_t written = 0; written < kPayload; written += block.size() * 8) {
      for (auto& word : block) word = random();
      payload.write(reinterpret_cast<const char*>(block.data()),
                    static_cast<std::streamsize>(std::min(block.size() * 8, kPayload - written)));
    }
  }
  PelorinRelease::PublishOptions options;
  options.apps = {{"arm64", apps / "arm64" / "Pelorin Code.app"},
                  {"x64", apps / "x64" / "Pelorin Code.app"}};
  options.version = kVersion;
  options.minimumSystemVersion = "1.0.0";
  options.privatePem = keys.privatePem;
  options.webRoot = work / "www";
  auto publication = PelorinRelease::publish(options);
  fs::remove_all(apps);
  std::fprintf(stderr, "image: %jd bytes\n",
               static_cast<intmax_t>(fs::file_size(publication.images.at("arm64"))));
  return 0;
}

// --- one installer run (a child) ---

PelorinInstaller::Host benchHost(const fs::path& work, const std::string& port,
                                 const fs::path& dir) {
  auto host = PelorinInstaller::Host::live();
  host.supportFolder = dir / "support";
  host.systemApplications = dir / "Applications";
  host.userApplications = dir / "home" / "Applications";
  auto tools = work / "tools";
  host.tools = {(tools / "hdiutil").string(), (tools / "ditto").string(),
                (tools / "codesign").string(), (tools / "spctl").string()};
  host.transfer.caFile = (work / "cert.pem").string();
  host.transfer.connectTo = {connectTo(port)};
  return host;
}

int install(const fs::path& work, const std::string& port, const fs::path& dir) {
  fs::create_directories(dir / "Applications");
  // When each phase began, to standard error: where the time of a run goes.
  auto start = Clock::now();
  std::string phases;
  auto mark = [&](std::string_view name) {
    char text[64];
    std::snprintf(text, sizeof text, " %.*s %.2f", static_cast<int>(name.size()), name.data(),
                  std::chrono::duration<double>(Clock::now() - start).count());
    phases += text;
  };
  PelorinInstaller::Installer installer(
      std::make_shared<PelorinInstaller::Cancellation>(),
      [&](PelorinInstaller::Phase phase, std::optional<double> fraction) {
        if (phase != PelorinInstaller::Phase::downloading || fraction == 0.0) {
          mark(PelorinInstaller::name(phase));
        }
      },
      benchHost(work, port, dir));
  installer.run(true);
  mark("done");
  std::fprintf(stderr, "  installer phases (s from start):%s\n", phases.c_str());
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  std::printf("%ld\n", usage.ru_maxrss);
  return 0;
}

// --- the figures ---

struct Steps {
  double download = 0, digest = 0, attach = 0, copy = 0, verify = 0, detach = 0;
  double listed() const { return download + digest + attach + copy; }
  double all() const { return listed() + verify + detach; }
};

// The same work by the standard tools, one process after another, in the installer's order.
Steps reference(const fs::path& work, const std::string& port, const fs::path& dir) {
  auto tools = work / "tools";
  auto image = dir / "reference.dmg", mount = dir / "mount", copy = dir / "Pelorin Code.app";
  auto bundle = mount / "Pelorin Code.app";
  fs::create_directories(mount);
  Steps steps;
  settle();
  steps.download = runChild({"/usr/bin/curl", "-sS", "--fail", "-H", "Accept-Encoding: identity",
                             "-o", image.string(), "--cacert", (work / "cert.pem").string(),
                             "--connect-to", connectTo(port), imageURL()})
                       .seconds;
  steps.digest = runChild({"/usr/bin/openssl", "dgst", "-sha256", image.string()}).seconds;
  steps.attach =
      runChild(withTool(tools / "hdiutil", ToolContracts::attachArguments(mount, image))).seconds;
  const std::string requirement = ToolContracts::codeRequirement(
      InstallerCore::Distribution::bundleID, InstallerCore::Distribution::teamID);
  // The three checks of a bundle, as the installer makes them.
  auto check = [&](const fs::path& app) {
    steps.verify += runChild({(tools / "codesign").string(), "--verify", "--deep", "--strict",
                              "--all-architectures", app.string()})
                        .seconds;
    steps.verify += runChild({(tools / "codesign").string(), "--verify", "--strict",
                              "--all-architectures", "-R", requirement, app.string()})
                        .seconds;
    steps.verify +=
        runChild({(tools / "spctl").string(), "--assess", "--type", "execute", app.string()})
            .seconds;
  };
  check(bundle);
  steps.copy = runChild({(tools / "ditto").string(), bundle.string(), copy.string()}).seconds;
  check(copy);
  steps.detach =
      runChild(withTool(tools / "hdiutil", ToolContracts::detachArguments(mount))).seconds;
  return steps;
}

void printFigure(const char* name, double ours, double reference, const char* target) {
  std::printf("%-44s %10.3f %10.3f %8.3f   %s\n", name, ours, reference, ours / reference, target);
  benchRow(name, ours, reference, target);
}

int measure(const std::string& self, const fs::path& work, const std::string& port) {
  std::vector<double> ourSeconds, ourSelfMiB, ourTreeMiB;
  std::vector<Steps> references;
  for (int round = 0; round < kRounds; ++round) {
    auto ours = work / "round-ours", theirs = work / "round-reference";
    fs::remove_all(ours);
    fs::remove_all(theirs);
    fs::create_directories(theirs);
    auto runOurs = [&] {
      settle();
      auto run = runChild({self, "install", work.string(), port, ours.string()});
      ourSeconds.push_back(run.seconds);
      ourTreeMiB.push_back(run.peakMiB);
      ourSelfMiB.push_back(std::stod(run.output) / 1024.0);
    };
    // Alternate which goes first, so that neither always meets a warmer cache.
    if (round % 2 == 0) {
      runOurs();
      references.push_back(reference(work, port, theirs));
    } else {
      references.push_back(reference(work, port, theirs));
      runOurs();
    }
    const auto& last = references.back();
    std::fprintf(stderr,
                 "round %d: installer %.2f s; curl %.2f, dgst %.2f, attach %.2f, ditto %.2f, "
                 "codesign+spctl x2 %.2f, detach %.2f s\n",
                 round + 1, ourSeconds.back(), last.download, last.digest, last.attach, last.copy,
                 last.verify, last.detach);
    fs::remove_all(ours);
    fs::remove_all(theirs);
  }
  auto stepMedian = [&](double Steps::*step) {
    std::vector<double> values;
    for (const auto& steps : references) values.push_back(steps.*step);
    return median(values);
  };
  std::vector<double> listed, all, listedRatios, allRatios;
  for (std::size_t i = 0; i < references.size(); ++i) {
    listed.push_back(references[i].listed());
    all.push_back(references[i].all());
    listedRatios.push_back(ourSeconds[i] / listed.back());
    allRatios.push_back(ourSeconds[i] / all.back());
  }
  std::printf("run(true) of a %.0f MiB image over loopback TLS from nginx, median of %d rounds\n",
              static_cast<double>(
                  fs::file_size(work / "www" / "desktop-releases" / kVersion / "app-arm64.dmg")) /
                  1048576.0,
              kRounds);
  std::printf("%-44s %10s %10s %8s   %s\n", "figure", "ours", "reference", "ratio", "target");
  printFigure("seconds vs curl+dgst+attach+ditto", median(ourSeconds), median(listed),
              "ratio <= 1.10");
  printFigure("seconds vs the same + 6 checks + detach", median(ourSeconds), median(all),
              "ratio <= 1.10");
  std::printf("%-44s %10s %10s %8.3f / %.3f\n", "  median of the rounds' own ratios", "", "",
              median(listedRatios), median(allRatios));
  std::printf("%-44s %10.3f\n", "peak resident memory, installer (MiB)", median(ourSelfMiB));
  benchRow("peak resident memory, installer (MiB)", median(ourSelfMiB), std::nullopt,
           "installer < 48");
  std::printf("%-44s %10.3f   %s\n", "  with the tools it waited for (MiB)", median(ourTreeMiB),
              "installer < 48");
  std::printf(
      "reference steps (median s): curl %.3f, openssl dgst %.3f, attach %.3f, ditto %.3f, "
      "codesign+spctl x2 %.3f, detach %.3f\n",
      stepMedian(&Steps::download), stepMedian(&Steps::digest), stepMedian(&Steps::attach),
      stepMedian(&Steps::copy), stepMedian(&Steps::verify), stepMedian(&Steps::detach));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  try {
    if (mode == "host" && argc == 2) return std::printf("%s\n", host().c_str()) < 0;
    if (mode == "prepare" && argc == 3) return prepare(argv[2]);
    if (mode == "install" && argc == 5) return install(argv[2], argv[3], argv[4]);
    if (mode == "measure" && argc == 4) {
      return measure(fs::canonical("/proc/self/exe").string(), argv[2], argv[3]);
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "install_bench: %s\n", error.what());
    return 1;
  }
  std::fprintf(stderr, "usage: install_bench host | prepare WORK | measure WORK PORT\n");
  return 2;
}

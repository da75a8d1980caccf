// A whole installation of a 512 MiB image from nginx over loopback TLS, beside the same steps done
// one after another by the standard tools. Run through bench/install_bench.sh, which starts nginx.
//
//   install_bench host                   the distribution host name compiled in
//   install_bench prepare WORK           keys, stand-ins and the release under WORK/www (kept)
//   install_bench measure WORK PORT      the figures (nginx serves WORK/www on PORT)
//   install_bench install WORK PORT DIR  one Installer run into DIR (a child of measure)
//
// The installer's tools are reached through links WORK/stamped/TOOL to this program, which runs
// the tool and notes when it started and ended: with the installer's own phases, they split a run
// into the stages that the table compares with the tool doing the same step, and show each tool's
// own time where tools run side by side.
//
// Each round runs the installer, the reference and the reference again, each side in each position
// equally often, and removes a side's outputs as soon as its figures are taken: memory freed just
// before is fast to fill, memory untouched for a while is not, and a side that ran after another
// would otherwise pay for it. The reference against itself says whether the figures hold.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <InstallerCore/Distribution.hpp>
#include <PelorinBase/Files.hpp>
#include <PelorinBase/ToolContracts.hpp>
#include <PelorinRelease/Release.hpp>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
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
const std::string kVersion = "2.0.0";
constexpr const char* kStampsVariable = "PELORIN_BENCH_STAMPS";
const char* const kTools[] = {"hdiutil", "ditto", "codesign", "spctl"};

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

// The links through which the installer reaches its tools (see stamped).
void linkStamped(const fs::path& work) {
  auto self = fs::canonical("/proc/self/exe");
  fs::create_directories(work / "stamped");
  for (const char* tool : kTools) {
    fs::remove(work / "stamped" / tool);
    fs::create_symlink(self, work / "stamped" / tool);
  }
}

int prepare(const fs::path& work) {
  linkStamped(work);
  auto tools = work / "tools";
  if (fs::exists(work / "www" / "desktop-releases" / "installer" / "stable" / "latest.json") &&
      fs::exists(tools / "anchor.pem")) {
    return 0;
  }
  fs::remove_all(work / "www");
  fs::remove_all(tools);
  fs::create_directories(tools);
  auto keys = PelorinSeal::generateKeyPair();
  for (const char* tool : kTools) {
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

double monotonicSeconds() {
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

// Run as WORK/stamped/TOOL: runs WORK/tools/TOOL as a child that ends with this process, and
// notes the tool (hdiutil with its verb, codesign with -R or --deep), when it started and when
// it ended, in the file that $PELORIN_BENCH_STAMPS names.
int stamped(char** argv) {
  fs::path link = argv[0];
  auto real = link.parent_path().parent_path() / "tools" / link.filename();
  std::string name = link.filename(), program = real.string();
  if (name == "hdiutil" && argv[1]) name += std::string(" ") + argv[1];
  bool requirement = false;
  for (char** argument = argv + 1; *argument; ++argument)
    requirement = requirement || std::string_view(*argument) == "-R";
  if (name == "codesign") name += requirement ? " -R" : " --deep";
  const double start = monotonicSeconds();
  argv[0] = program.data();
  const pid_t child = ::fork();
  if (child == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::execv(program.c_str(), argv);
    std::perror(program.c_str());
    ::_exit(127);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child) return 127;
  if (const char* stamps = std::getenv(kStampsVariable)) {
    if (FILE* file = std::fopen(stamps, "a")) {
      std::fprintf(file, "%s\t%.6f\t%.6f\n", name.c_str(), start, monotonicSeconds());
      std::fclose(file);
    }
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

PelorinInstaller::Host benchHost(const fs::path& work, const std::string& port,
                                 const fs::path& dir) {
  auto host = PelorinInstaller::Host::live();
  host.supportFolder = dir / "support";
  host.systemApplications = dir / "Applications";
  host.userApplications = dir / "home" / "Applications";
  auto tools = work / "stamped";
  host.tools = {(tools / "hdiutil").string(), (tools / "ditto").string(),
                (tools / "codesign").string(), (tools / "spctl").string()};
  host.transfer.caFile = (work / "cert.pem").string();
  host.transfer.connectTo = {connectTo(port)};
  return host;
}

// When each thing happened in a run, in seconds from its start: the installer's phases, each
// running-application test and each tool started (with when it ended), in the order they began.
struct Mark {
  std::string name;
  double at, end = 0;
};
using Marks = std::vector<Mark>;

int install(const fs::path& work, const std::string& port, const fs::path& dir) {
  fs::create_directories(dir / "Applications");
  auto stamps = dir / "stamps";
  ::setenv(kStampsVariable, stamps.c_str(), 1);
  const double start = monotonicSeconds();
  Marks marks;
  auto mark = [&](std::string_view name) {
    marks.push_back({std::string(name), monotonicSeconds()});
  };
  auto host = benchHost(work, port, dir);
  host.isRunning = [&mark, live = host.isRunning](std::string_view bundleID) {
    mark("running");
    return live(bundleID);
  };
  PelorinInstaller::Installer installer(
      std::make_shared<PelorinInstaller::Cancellation>(),
      [&](PelorinInstaller::Phase phase, std::optional<double> fraction) {
        if (phase != PelorinInstaller::Phase::downloading || fraction == 0.0) {
          mark(PelorinInstaller::name(phase));
        }
      },
      host);
  installer.run(true);
  mark("done");
  std::ifstream stamped(stamps);
  std::string tool, at, end;
  while (std::getline(stamped, tool, '\t') && std::getline(stamped, at, '\t') &&
         std::getline(stamped, end)) {
    marks.push_back({tool, std::stod(at), std::stod(end)});
  }
  std::stable_sort(marks.begin(), marks.end(),
                   [](const auto& a, const auto& b) { return a.at < b.at; });
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  std::printf("%ld\n", usage.ru_maxrss);
  for (const auto& [name, time, ended] : marks)
    std::printf("%s\t%.6f\t%.6f\n", name.c_str(), time - start, ended ? ended - start : 0.0);
  return 0;
}

// --- the figures ---

// The tools' steps, in the installer's order; each check runs on the mounted bundle, then again
// on the copy.
enum Step {
  manifest,
  download,
  digest,
  attach,
  deep,
  requirement,
  assessment,
  copy,
  deepAgain,
  requirementAgain,
  assessmentAgain,
  commit,
  detach,
  stepCount
};

struct Steps {
  std::array<double, stepCount> seconds{};
  double sum(std::initializer_list<Step> steps) const {
    double total = 0;
    for (auto step : steps) total += seconds[step];
    return total;
  }
  double checks() const {
    return sum({deep, requirement, assessment, deepAgain, requirementAgain, assessmentAgain});
  }
  double listed() const { return sum({download, digest, attach, copy}); }
  double all() const { return listed() + checks() + seconds[detach]; }
};

// The same work by the standard tools, one process after another, in the installer's order.
Steps reference(const fs::path& work, const std::string& port, const fs::path& dir) {
  auto tools = work / "tools";
  auto image = dir / "reference.dmg", mount = dir / "mount", copied = dir / "Pelorin Code.app";
  auto bundle = mount / "Pelorin Code.app";
  fs::create_directories(mount);
  Steps steps;
  auto run = [&](Step step, std::vector<std::string> arguments) {
    steps.seconds[step] = runChild(arguments).seconds;
  };
  auto curl = [&](Step step, const fs::path& file, const std::string& url) {
    run(step,
        {"/usr/bin/curl", "-sS", "--fail", "-H", "Accept-Encoding: identity", "-o", file.string(),
         "--cacert", (work / "cert.pem").string(), "--connect-to", connectTo(port), url});
  };
  const std::string requirementText = ToolContracts::codeRequirement(
      InstallerCore::Distribution::bundleID, InstallerCore::Distribution::teamID);
  // The three checks of a bundle, as the installer makes them.
  auto check = [&](const fs::path& app, Step first) {
    auto codesign = (tools / "codesign").string();
    run(first, {codesign, "--verify", "--deep", "--strict", "--all-architectures", app.string()});
    run(Step(first + 1), {codesign, "--verify", "--strict", "--all-architectures", "-R",
                          requirementText, app.string()});
    run(Step(first + 2),
        {(tools / "spctl").string(), "--assess", "--type", "execute", app.string()});
  };
  settle();
  curl(manifest, dir / "latest.json", InstallerCore::Distribution::manifestURL().text());
  curl(download, image, imageURL());
  run(digest, {"/usr/bin/openssl", "dgst", "-sha256", image.string()});
  run(attach, withTool(tools / "hdiutil", ToolContracts::attachArguments(mount, image)));
  check(bundle, deep);
  run(copy, {(tools / "ditto").string(), bundle.string(), copied.string()});
  check(copied, deepAgain);
  run(commit, {"/usr/bin/mv", copied.string(), (dir / "installed.app").string()});
  run(detach, withTool(tools / "hdiutil", ToolContracts::detachArguments(mount)));
  return steps;
}

// A stage of a run: from the `n`th mark of one name to the `n`th of another, against the steps
// of the reference that do the same work. A part is one tool's own time within the stage above
// it, from its start to its end, where tools run side by side; it is not added to the sum.
struct Stage {
  const char* name;
  std::pair<const char*, int> from, to;
  std::vector<Step> steps;
  const char* tool;
  bool part = false;
};

const Stage kStages[] = {
    {"lock", {"start", 0}, {"preparing", 0}, {}, ""},
    {"manifest, destination, free space",
     {"preparing", 0},
     {"downloading", 0},
     {manifest},
     "curl latest.json"},
    {"download", {"downloading", 0}, {"verifying", 0}, {download}, "curl"},
    {"digest", {"verifying", 0}, {"hdiutil attach", 0}, {digest}, "openssl dgst"},
    {"attach, staging folder", {"hdiutil attach", 0}, {"ditto", 0}, {attach}, "hdiutil attach"},
    {"checks side by side, and the copy",
     {"ditto", 0},
     {"installing", 0},
     {deep, requirement, assessment, copy},
     "the four in turn"},
    {"  codesign --deep", {"codesign --deep", 0}, {}, {deep}, "codesign", true},
    {"  codesign -R", {"codesign -R", 0}, {}, {requirement}, "codesign", true},
    {"  spctl", {"spctl", 0}, {}, {assessment}, "spctl", true},
    {"  ditto", {"ditto", 0}, {}, {copy}, "ditto", true},
    {"second checks side by side, existing",
     {"installing", 0},
     {"running", 1},
     {deepAgain, requirementAgain, assessmentAgain},
     "the three in turn"},
    {"  codesign --deep", {"codesign --deep", 1}, {}, {deepAgain}, "codesign", true},
    {"  codesign -R", {"codesign -R", 1}, {}, {requirementAgain}, "codesign", true},
    {"  spctl", {"spctl", 1}, {}, {assessmentAgain}, "spctl", true},
    {"commit, image and staging removed", {"running", 1}, {"hdiutil detach", 0}, {commit}, "mv"},
    {"detach, unlock", {"hdiutil detach", 0}, {"done", 0}, {detach}, "hdiutil detach"},
};

// The marks that an install child printed after its first line.
Marks marksOf(const std::string& output) {
  Marks marks{{"start", 0.0}};
  std::istringstream lines(output);
  std::string line;
  std::getline(lines, line);
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string name, at, end;
    if (std::getline(fields, name, '\t') && std::getline(fields, at, '\t') &&
        std::getline(fields, end))
      marks.push_back({name, std::stod(at), std::stod(end)});
  }
  return marks;
}

const Mark& markOf(const Marks& marks, std::pair<const char*, int> which) {
  int seen = 0;
  for (const auto& mark : marks) {
    if (mark.name == which.first && seen++ == which.second) return mark;
  }
  throw std::runtime_error(std::string("the run has no mark ") + which.first);
}

void printFigure(const char* name, double ours, double reference, const char* target) {
  std::printf("%-44s %10.3f %10.3f %8.3f   %s\n", name, ours, reference, ours / reference, target);
  benchRow(name, ours, reference, target);
}

// Each stage's median, ours and the tool's, and what the difference adds to the whole ratio.
void printStages(const std::vector<Marks>& runs, const std::vector<Steps>& references) {
  std::printf("\nstages of the run, median s of %d rounds (the tools' in the same rounds)\n",
              fairRounds(3));
  std::printf("%-40s %8s %8s %8s %9s  %s\n", "stage", "ours", "tool", "ratio", "ours-tool", "tool");
  double ourSum = 0, toolSum = 0;
  for (const auto& stage : kStages) {
    std::vector<double> ours, tools;
    for (const auto& marks : runs) {
      const auto& from = markOf(marks, stage.from);
      ours.push_back((stage.part ? from.end : markOf(marks, stage.to).at) - from.at);
    }
    for (const auto& steps : references) {
      double total = 0;
      for (auto step : stage.steps) total += steps.seconds[step];
      tools.push_back(total);
    }
    double our = median(ours), tool = stage.steps.empty() ? 0.0 : median(tools);
    if (!stage.part) ourSum += our, toolSum += tool;
    if (stage.steps.empty()) {
      std::printf("%-40s %8.3f %8s %8s %+9.3f\n", stage.name, our, "-", "-", our);
    } else {
      std::printf("%-40s %8.3f %8.3f %8.3f %+9.3f  %s\n", stage.name, our, tool, our / tool,
                  our - tool, stage.tool);
    }
  }
  std::printf("%-40s %8.3f %8.3f %8.3f %+9.3f\n", "sum of the stages", ourSum, toolSum,
              ourSum / toolSum, ourSum - toolSum);
}

int measure(const std::string& self, const fs::path& work, const std::string& port) {
  linkStamped(work);
  std::vector<double> ourSeconds, ourSelfMiB, ourTreeMiB;
  std::vector<Marks> ourMarks;
  std::vector<Steps> references, againstItself;
  for (int round = kWarmUpRound; round < fairRounds(3); ++round) {
    const auto outputs = work / "round";
    fs::remove_all(outputs);
    for (int side : sideOrder(std::max(round, 0), 3)) {
      settle();
      if (side == 0) {
        auto run = runChild({self, "install", work.string(), port, outputs.string()});
        ourSeconds.push_back(run.seconds);
        ourTreeMiB.push_back(run.peakMiB);
        ourSelfMiB.push_back(std::stod(run.output) / 1024.0);
        ourMarks.push_back(marksOf(run.output));
      } else {
        fs::create_directories(outputs);
        (side == 1 ? references : againstItself).push_back(reference(work, port, outputs));
      }
      fs::remove_all(outputs);  // the next side fills the memory just freed
    }
    const auto& last = references.back();
    std::fprintf(stderr,
                 "round %d: installer %.2f s; reference %.2f s (curl %.2f, dgst %.2f, attach "
                 "%.2f, ditto %.2f, codesign+spctl x2 %.2f, detach %.2f s), again %.2f s\n",
                 round + 1, ourSeconds.back(), last.all(), last.seconds[download],
                 last.seconds[digest], last.seconds[attach], last.seconds[copy], last.checks(),
                 last.seconds[detach], againstItself.back().all());
    if (round == kWarmUpRound) {
      for (auto* figures : {&ourSeconds, &ourSelfMiB, &ourTreeMiB}) figures->clear();
      ourMarks.clear();
      references.clear();
      againstItself.clear();
    }
  }
  std::vector<double> listed, all, again, allRatios;
  for (std::size_t i = 0; i < references.size(); ++i) {
    listed.push_back(references[i].listed());
    all.push_back(references[i].all());
    again.push_back(againstItself[i].all());
    allRatios.push_back(ourSeconds[i] / all.back());
  }
  std::printf("run(true) of a %.0f MiB image over loopback TLS from nginx, median of %d rounds\n",
              static_cast<double>(
                  fs::file_size(work / "www" / "desktop-releases" / kVersion / "app-arm64.dmg")) /
                  1048576.0,
              fairRounds(3));
  std::printf("%-44s %10s %10s %8s   %s\n", "figure", "ours", "reference", "ratio", "target");
  printFigure(kSelfFigure, median(again), median(all), kSelfTarget);
  // The installer also runs the six checks that this reference leaves out: a figure, no target.
  printFigure("seconds vs curl+dgst+attach+ditto", median(ourSeconds), median(listed),
              "none: no checks in the reference");
  printFigure("seconds vs the same + 6 checks + detach", median(ourSeconds), median(all),
              "ratio <= 0.70");
  std::printf("%-44s %10s %10s %8.3f\n", "  median of the rounds' own ratios", "", "",
              median(allRatios));
  std::printf("%-44s %10.3f\n", "peak resident memory, installer (MiB)", median(ourSelfMiB));
  benchRow("peak resident memory, installer (MiB)", median(ourSelfMiB), std::nullopt,
           "installer < 48");
  std::printf("%-44s %10.3f   %s\n", "  with the tools it waited for (MiB)", median(ourTreeMiB),
              "installer < 48");
  printStages(ourMarks, references);
  std::printf("\n");
  return sayWhetherTrusted(median(again) / median(all)) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  auto called = fs::path(argv[0]).filename();
  if (std::find(std::begin(kTools), std::end(kTools), called) != std::end(kTools)) {
    return stamped(argv);
  }
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

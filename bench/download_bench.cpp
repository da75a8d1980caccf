// Side-by-side measurements of the downloader against libcurl's own command-line tool and a
// plain libcurl transfer, and how fast a cancel ends a transfer in each stage that waits (name
// lookup, connect, TLS handshake, headers, body), all reached through a slow name server. Run
// through bench/download_bench.sh, which starts nginx.
//
//   download_bench host                 the distribution host name compiled in
//   download_bench free-port            a free loopback port
//   download_bench measure PORT DIR [PROXYPORT]
//                                       the figures (nginx serves DIR/www/big.bin on PORT); with
//                                       PROXYPORT, throughput through squid there too
//   download_bench fetch ...            one download by the Downloader (a child of measure)
//   download_bench verify ...           the same with the file's digest, printed second
//   download_bench pieces ...           one plain libcurl download counting its pieces

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <InstallerCore/Distribution.hpp>
#include <PelorinBase/Files.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BenchRows.hpp"
#include "ChildRun.hpp"
#include "pipeline/Downloader.hpp"
#include "pipeline/NetworkError.hpp"
#include "support/SlowLookup.hpp"
#include "support/TestDistribution.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using PelorinInstaller::Cancellation;
using PelorinInstaller::Downloader;
using PelorinInstaller::TransferSettings;

constexpr std::int64_t kGiB = 1LL << 30;

std::string host() { return std::string(InstallerCore::Distribution::host()); }

std::string bigURL() { return "https://" + host() + "/big.bin"; }

std::string connectTo(int port) { return host() + ":443:127.0.0.1:" + std::to_string(port); }

bool sameContent(const fs::path& a, const fs::path& b) {
  std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
  std::vector<char> p(1 << 20), q(1 << 20);
  while (x && y) {
    x.read(p.data(), static_cast<std::streamsize>(p.size()));
    y.read(q.data(), static_cast<std::streamsize>(q.size()));
    if (x.gcount() != y.gcount() || std::memcmp(p.data(), q.data(), x.gcount()) != 0) return false;
  }
  return x.eof() && y.eof();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void printHeader() {
  std::printf("%-34s %12s %12s %10s   %s\n", "figure", "ours", "reference", "ratio", "target");
}

void printFigure(const char* name, double ours, double reference, const char* target) {
  std::printf("%-34s %12.2f %12.2f %10.4f   %s\n", name, ours, reference, ours / reference, target);
  benchRow(name, ours, reference, target);
}

// --- children ---

int fetch(char** argv, bool verify) {
  // fetch|verify URL FILE BYTES CAFILE CONNECTTO [PROXYPORT]
  TransferSettings settings;
  settings.caFile = argv[5];
  settings.connectTo = {argv[6]};
  if (argv[7]) {
    PelorinInstaller::Proxy proxy{.kind = PelorinInstaller::Proxy::Kind::http,
                                  .host = "127.0.0.1",
                                  .port = std::stoi(argv[7])};
    settings.proxy = [proxy](const std::string&) { return proxy; };
  }
  long long reports = 0;
  Downloader downloader(*InstallerCore::Url::parse(argv[2]), argv[3], std::stoll(argv[4]),
                        std::make_shared<Cancellation>(), settings, [&](double) { ++reports; });
  if (verify) {
    auto digest = downloader.fetch().sha256;
    std::printf("%lld\n%s\n", reports, digest.value_or("none").c_str());
  } else {
    downloader.run();
    std::printf("%lld\n", reports);
  }
  return 0;
}

struct PieceCounter {
  int fd;
  long long pieces = 0;
};

std::size_t countPiece(char* data, std::size_t size, std::size_t count, void* user) {
  auto& counter = *static_cast<PieceCounter*>(user);
  ++counter.pieces;
  return ::write(counter.fd, data, size * count) == static_cast<ssize_t>(size * count)
             ? size * count
             : 0;
}

int pieces(char** argv) {
  // pieces URL FILE CAFILE CONNECTTO: one write per piece that libcurl hands over.
  PieceCounter counter{::open(argv[3], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)};
  curl_slist* connect = curl_slist_append(nullptr, argv[5]);
  CURL* easy = curl_easy_init();
  curl_easy_setopt(easy, CURLOPT_URL, argv[2]);
  curl_easy_setopt(easy, CURLOPT_CAINFO, argv[4]);
  curl_easy_setopt(easy, CURLOPT_CONNECT_TO, connect);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, countPiece);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &counter);
  CURLcode code = curl_easy_perform(easy);
  curl_easy_cleanup(easy);
  curl_slist_free_all(connect);
  ::close(counter.fd);
  if (code != CURLE_OK) return 1;
  std::printf("%lld\n", counter.pieces);
  return 0;
}

// --- cancel latency in every stage that waits, through a slow name lookup ---

constexpr std::size_t kStallBody = 1 << 20;
constexpr std::size_t kStallAt = 64 * 1024;
constexpr auto kSlowLookup = std::chrono::seconds(3);
constexpr auto kQuickLookup = std::chrono::milliseconds(100);

// A loopback port whose accept queue is full: the SYN of a new connection gets no answer, so the
// connection waits in connect.
class FullBacklog {
 public:
  FullBacklog() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(listener_, 0) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
        ::connect(filler_, reinterpret_cast<sockaddr*>(&address), size) != 0) {
      ::close(filler_);
      ::close(listener_);
      throw std::runtime_error("cannot fill a backlog");
    }
    port_ = ntohs(address.sin_port);
  }
  ~FullBacklog() {
    ::close(filler_);
    ::close(listener_);
  }
  FullBacklog(const FullBacklog&) = delete;
  FullBacklog& operator=(const FullBacklog&) = delete;
  int port() const { return port_; }

 private:
  int listener_ = -1, filler_ = -1, port_ = 0;
};

// A stage a transfer can wait in: where the host's name leads, and how to tell from outside that
// the transfer waits there.
struct Stage {
  enum class Sign { lookupBegun, lookupAnswered, serverHolding, bodyHeld };
  const char* figure;
  std::chrono::milliseconds lookup;
  int port;
  std::string path;
  Sign sign;
};

// What a wait is measured from: counts before the transfer starts.
struct Marks {
  int lookupsBegun = PelorinTesting::slowLookupsStarted();
  int lookupsAnswered = PelorinTesting::slowLookupsAnswered();
  std::size_t stalls;  // of the test server, once this transfer is held
};

std::string slowConnectTo(const Stage& stage) {
  return host() + ":443:" + PelorinTesting::slowLookupName(stage.lookup) + ":" +
         std::to_string(stage.port);
}

// Returns once the transfer waits in `stage`, and a little longer so that it has settled there.
void waitUntilThere(const Stage& stage, const Marks& before, PelorinTesting::TestServer& server,
                    const std::atomic<std::int64_t>& received) {
  auto limit = Clock::now() + std::chrono::seconds(10);
  auto there = [&] {
    switch (stage.sign) {
      case Stage::Sign::lookupBegun:
        return PelorinTesting::slowLookupsStarted() > before.lookupsBegun;
      case Stage::Sign::lookupAnswered:
        return PelorinTesting::slowLookupsAnswered() > before.lookupsAnswered;
      case Stage::Sign::serverHolding:
        return server.waitForStalls(before.stalls, std::chrono::milliseconds(0));
      case Stage::Sign::bodyHeld:
        return server.waitForStalls(before.stalls, std::chrono::milliseconds(0)) &&
               received >= static_cast<std::int64_t>(kStallAt);
    }
    return false;
  };
  while (!there()) {
    if (Clock::now() > limit)
      throw std::runtime_error(std::string("never reached: ") + stage.figure);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

double downloaderCancel(PelorinTesting::TestDistribution& distribution, const Stage& stage,
                        const Marks& before, const fs::path& file) {
  auto token = std::make_shared<Cancellation>();
  auto settings = distribution.settings();
  settings.connectTo = {slowConnectTo(stage)};
  std::atomic<std::int64_t> received{0};
  Downloader downloader(
      *InstallerCore::Url::parse(PelorinTesting::TestDistribution::url(stage.path)), file,
      static_cast<std::int64_t>(kStallBody), token, settings,
      [&](double fraction) { received = static_cast<std::int64_t>(fraction * kStallBody); });
  Clock::time_point ended;
  std::error_code outcome;
  std::thread runner([&] {
    try {
      downloader.run();
    } catch (const std::system_error& error) {
      outcome = error.code();
    }
    ended = Clock::now();
  });
  waitUntilThere(stage, before, distribution.server(), received);
  auto start = Clock::now();
  token->cancel();
  runner.join();
  distribution.server().release();
  fs::remove(file);
  if (outcome != PelorinInstaller::networkError(PelorinInstaller::kTransferCancelled).code()) {
    throw std::runtime_error("the cancelled transfer ended with " + outcome.message());
  }
  return std::chrono::duration<double, std::milli>(ended - start).count();
}

struct EasyCancel {
  std::atomic<bool> cancelled{false};
  std::atomic<std::int64_t> received{0};
};

std::size_t discard(char*, std::size_t size, std::size_t count, void* user) {
  static_cast<EasyCancel*>(user)->received += static_cast<std::int64_t>(size * count);
  return size * count;
}

int abortWhenCancelled(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<EasyCancel*>(user)->cancelled ? 1 : 0;
}

// The usual way: a flag read by libcurl's progress callback, which runs when libcurl gets to it.
double progressCallbackCancel(PelorinTesting::TestDistribution& distribution, const Stage& stage,
                              const Marks& before) {
  EasyCancel state;
  curl_slist* connect = curl_slist_append(nullptr, slowConnectTo(stage).c_str());
  CURL* easy = curl_easy_init();
  auto url = PelorinTesting::TestDistribution::url(stage.path);
  auto ca = distribution.caFile().string();
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_CAINFO, ca.c_str());
  curl_easy_setopt(easy, CURLOPT_CONNECT_TO, connect);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discard);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &state);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, abortWhenCancelled);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &state);
  Clock::time_point ended;
  CURLcode code = CURLE_OK;
  std::thread runner([&] {
    code = curl_easy_perform(easy);
    ended = Clock::now();
  });
  waitUntilThere(stage, before, distribution.server(), state.received);
  auto start = Clock::now();
  state.cancelled = true;
  runner.join();
  distribution.server().release();
  curl_easy_cleanup(easy);
  curl_slist_free_all(connect);
  if (code != CURLE_ABORTED_BY_CALLBACK) throw std::runtime_error("reference did not abort");
  return std::chrono::duration<double, std::milli>(ended - start).count();
}

struct StageFigures {
  const char* figure;
  std::vector<double> ours, reference;
};

// Ten cancels by the token and three by a progress callback in each stage. The lookup is
// measured last: the lookups it abandons answer later and must not be taken for the other stages'
// signs.
std::vector<StageFigures> cancelLatencies(const fs::path& file) {
  PelorinTesting::TestDistribution distribution;
  PelorinTesting::Reply held;
  held.stallHeaders = true;
  distribution.server().route("/held", [=](const PelorinTesting::Request&) { return held; });
  PelorinTesting::Reply stalled;
  stalled.body = std::string(kStallBody, 's');
  stalled.stallAfter = kStallAt;
  distribution.server().route("/stall", [=](const PelorinTesting::Request&) { return stalled; });
  FullBacklog backlog;
  PelorinTesting::ContactProbe silent;  // completes TCP connections and never speaks TLS
  const int server = distribution.server().port();

  using Sign = Stage::Sign;
  const Stage stages[] = {
      {"cancel latency, lookup (ms)", kSlowLookup, server, "/file", Sign::lookupBegun},
      {"cancel latency, connect (ms)", kQuickLookup, backlog.port(), "/file", Sign::lookupAnswered},
      {"cancel latency, TLS handshake (ms)", kQuickLookup, silent.port(), "/file",
       Sign::lookupAnswered},
      {"cancel latency, headers (ms)", kQuickLookup, server, "/held", Sign::serverHolding},
      {"cancel latency, body (ms)", kQuickLookup, server, "/stall", Sign::bodyHeld},
  };
  std::size_t stalls = 0;
  auto marks = [&](const Stage& stage) {
    bool holds = stage.sign == Sign::serverHolding || stage.sign == Sign::bodyHeld;
    return Marks{.stalls = holds ? ++stalls : stalls};
  };
  std::vector<StageFigures> figures(std::size(stages));
  for (std::size_t index : {1, 2, 3, 4, 0}) {
    const Stage& stage = stages[index];
    StageFigures& row = figures[index];
    row.figure = stage.figure;
    for (int i = 0; i < 10; ++i) {
      row.ours.push_back(downloaderCancel(distribution, stage, marks(stage), file));
    }
    for (int i = 0; i < 3; ++i) {
      row.reference.push_back(progressCallbackCancel(distribution, stage, marks(stage)));
    }
    std::fprintf(stderr, "%s: median %.2f, worst %.2f (reference %.2f)\n", stage.figure,
                 median(row.ours), *std::max_element(row.ours.begin(), row.ours.end()),
                 median(row.reference));
  }
  return figures;
}

// --- the figures ---

// Median seconds of the curl tool and of the Downloader, alternating, through the squid at
// `proxyPort`.
std::pair<double, double> proxiedSeconds(const std::string& self, const std::string& mapping,
                                         const std::string& ca, const fs::path& dir,
                                         std::int64_t bytes, int proxyPort) {
  const fs::path file = dir / "proxied.bin";
  const std::string proxy = "http://127.0.0.1:" + std::to_string(proxyPort);
  std::vector<double> ours, theirs;
  for (int round = 0; round < fairRounds(2); ++round) {
    for (int side : sideOrder(round, 2)) {
      if (side == 0) {
        ours.push_back(runChild({self, "fetch", bigURL(), file.string(), std::to_string(bytes), ca,
                                 mapping, std::to_string(proxyPort)})
                           .seconds);
        if (!sameContent(file, dir / "www" / "big.bin")) {
          throw std::runtime_error("the file downloaded through the proxy differs");
        }
      } else {
        theirs.push_back(
            runChild({"/usr/bin/curl", "-sS", "--fail", "-o", file.string(), "--cacert", ca,
                      "--connect-to", mapping, "--proxy", proxy, bigURL()})
                .seconds);
      }
      fs::remove(file);  // the next side fills the memory just freed
    }
    std::fprintf(stderr, "through squid, round %d: curl %.2f s, downloader %.2f s\n", round + 1,
                 theirs.back(), ours.back());
  }
  return {median(ours), median(theirs)};
}

int measure(const std::string& self, int port, const fs::path& dir, int proxyPort) {
  const fs::path source = dir / "www" / "big.bin";
  const auto bytes = static_cast<std::int64_t>(fs::file_size(source));
  const fs::path ours = dir / "ours.bin", theirs = dir / "curl.bin", counted = dir / "pieces.bin";
  const std::string ca = (dir / "cert.pem").string(), mapping = connectTo(port);
  const double gib = static_cast<double>(bytes) / kGiB;

  const std::string digest = PelorinBase::sha256File(source);
  std::vector<double> ourSeconds, verifySeconds, curlSeconds, againSeconds, ourMemory, curlMemory;
  long long reports = 0;
  // The curl tool, the Downloader, the Downloader with the file's digest and the curl tool again,
  // each round in another order; each side's file goes as soon as it is checked, so that the next
  // side fills the memory just freed.
  auto curl = [&](std::vector<double>& seconds) {
    fs::remove(theirs);
    auto reference = runChild({"/usr/bin/curl", "-sS", "--fail", "-o", theirs.string(), "--cacert",
                               ca, "--connect-to", mapping, bigURL()});
    seconds.push_back(reference.seconds);
    curlMemory.push_back(reference.peakMiB);
    fs::remove(theirs);
  };
  auto downloader = [&](const char* mode) {
    fs::remove(ours);
    auto run = runChild({self, mode, bigURL(), ours.string(), std::to_string(bytes), ca, mapping});
    (mode == std::string("verify") ? verifySeconds : ourSeconds).push_back(run.seconds);
    ourMemory.push_back(run.peakMiB);
    std::istringstream output(run.output);
    std::string seen = "none";
    output >> reports >> seen;
    if (mode == std::string("verify") && seen != digest) {
      throw std::runtime_error("the digest taken while downloading differs: " + seen);
    }
    if (!sameContent(ours, source)) throw std::runtime_error("the downloaded file differs");
    fs::remove(ours);
  };
  const std::vector<std::function<void()>> runs = {
      [&] { curl(curlSeconds); }, [&] { downloader("fetch"); }, [&] { downloader("verify"); },
      [&] { curl(againSeconds); }};
  for (int round = kWarmUpRound; round < fairRounds(4); ++round) {
    for (int side : sideOrder(std::max(round, 0), 4)) runs[std::size_t(side)]();
    std::fprintf(stderr, "round %d: curl %.2f s, downloader %.2f s, with the digest %.2f s\n",
                 round + 1, curlSeconds.back(), ourSeconds.back(), verifySeconds.back());
    if (round == kWarmUpRound) {
      for (auto* figures :
           {&ourSeconds, &verifySeconds, &curlSeconds, &againSeconds, &ourMemory, &curlMemory})
        figures->clear();
    }
  }
  auto piecesRun = runChild({self, "pieces", bigURL(), counted.string(), ca, mapping});
  fs::remove(counted);
  const double piecesPerGiB = std::stod(piecesRun.output) / gib;

  auto cancels = cancelLatencies(dir / "stall.bin");
  std::pair<double, double> proxied;
  if (proxyPort > 0) proxied = proxiedSeconds(self, mapping, ca, dir, bytes, proxyPort);

  const double mb = static_cast<double>(bytes) / 1e6;
  std::printf("1 GiB over loopback TLS from nginx, median of %d rounds\n", fairRounds(4));
  printHeader();
  printFigure(kSelfFigure, median(againSeconds), median(curlSeconds), kSelfTarget);
  printFigure("throughput (MB/s) vs curl CLI", mb / median(ourSeconds), mb / median(curlSeconds),
              "ratio >= 0.95");
  printFigure("download + SHA-256 (s) vs curl download", median(verifySeconds), median(curlSeconds),
              "ratio <= 1.05");
  if (proxyPort > 0) {
    printFigure("throughput via squid (MB/s) vs curl", mb / proxied.first, mb / proxied.second,
                "ratio >= 0.95");
  }
  printFigure("peak resident memory (MiB) vs curl", median(ourMemory), median(curlMemory),
              "ours < 32");
  printFigure("progress reports per GiB vs pieces", static_cast<double>(reports) / gib,
              piecesPerGiB, "ours <= 4096");
  for (const auto& stage : cancels) {
    printFigure(stage.figure, median(stage.ours), median(stage.reference), "ours < 50");
  }
  std::printf(
      "\nCancels through a name lookup of %lld ms (%lld ms for the lookup itself); the\n"
      "reference is a libcurl transfer stopped by its progress callback. Worst of 10:\n",
      static_cast<long long>(kQuickLookup.count()),
      static_cast<long long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(kSlowLookup).count()));
  for (const auto& stage : cancels) {
    std::printf("%-34s %12.2f %12.2f\n", stage.figure,
                *std::max_element(stage.ours.begin(), stage.ours.end()),
                *std::max_element(stage.reference.begin(), stage.reference.end()));
  }
  std::printf("\n");
  return sayWhetherTrusted(median(againSeconds) / median(curlSeconds)) ? 0 : 1;
}

int freePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    return 1;
  }
  std::printf("%d\n", ntohs(address.sin_port));
  ::close(fd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  try {
    if (mode == "host" && argc == 2) return std::printf("%s\n", host().c_str()) < 0;
    if (mode == "free-port" && argc == 2) return freePort();
    if ((mode == "fetch" || mode == "verify") && (argc == 7 || argc == 8)) {
      return fetch(argv, mode == "verify");
    }
    if (mode == "pieces" && argc == 6) return pieces(argv);
    if (mode == "measure" && (argc == 4 || argc == 5)) {
      return measure(fs::canonical("/proc/self/exe").string(), std::stoi(argv[2]), argv[3],
                     argc == 5 ? std::stoi(argv[4]) : 0);
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "download_bench: %s\n", error.what());
    return 1;
  }
  std::fprintf(stderr, "usage: download_bench host | free-port | measure PORT DIR [PROXYPORT]\n");
  return 2;
}

// Side-by-side measurements of the downloader against libcurl's own command-line tool and a
// plain libcurl transfer. Run through bench/download_bench.sh, which starts nginx.
//
//   download_bench host                 the distribution host name compiled in
//   download_bench free-port            a free loopback port
//   download_bench measure PORT DIR     the figures (nginx serves DIR/www/big.bin on PORT)
//   download_bench fetch ...            one download by the Downloader (a child of measure)
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

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BenchRows.hpp"
#include "ChildRun.hpp"
#include "pipeline/Downloader.hpp"
#include "pipeline/NetworkError.hpp"
#include "support/TestDistribution.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using PelorinInstaller::Cancellation;
using PelorinInstaller::Downloader;
using PelorinInstaller::TransferSettings;

constexpr std::int64_t kGiB = 1LL << 30;
constexpr int kRounds = 5;

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

int fetch(char** argv) {
  // fetch URL FILE BYTES CAFILE CONNECTTO
  TransferSettings settings;
  settings.caFile = argv[5];
  settings.connectTo = {argv[6]};
  long long reports = 0;
  Downloader downloader(*InstallerCore::Url::parse(argv[2]), argv[3], std::stoll(argv[4]),
                        std::make_shared<Cancellation>(), settings, [&](double) { ++reports; });
  downloader.run();
  std::printf("%lld\n", reports);
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

// --- cancel latency against a stalled body ---

constexpr std::size_t kStallBody = 1 << 20;
constexpr std::size_t kStallAt = 64 * 1024;

// Waits until a transfer holds the first kStallAt bytes and the server holds back the rest,
// then a little longer, so the transfer is blocked waiting for data.
void waitUntilBlocked(PelorinTesting::TestServer& server, std::size_t stalls,
                      const std::atomic<std::int64_t>& received) {
  if (!server.waitForStalls(stalls, std::chrono::seconds(10))) throw std::runtime_error("no stall");
  auto limit = Clock::now() + std::chrono::seconds(10);
  while (received < static_cast<std::int64_t>(kStallAt) && Clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (received < static_cast<std::int64_t>(kStallAt)) throw std::runtime_error("no data");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

double downloaderCancel(PelorinTesting::TestDistribution& distribution, const fs::path& file,
                        std::size_t round) {
  auto token = std::make_shared<Cancellation>();
  std::atomic<std::int64_t> received{0};
  Downloader downloader(
      *InstallerCore::Url::parse(PelorinTesting::TestDistribution::url("/stall")), file,
      static_cast<std::int64_t>(kStallBody), token, distribution.settings(),
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
  waitUntilBlocked(distribution.server(), round, received);
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
double progressCallbackCancel(PelorinTesting::TestDistribution& distribution, std::size_t round) {
  auto settings = distribution.settings();
  EasyCancel state;
  curl_slist* connect = curl_slist_append(nullptr, settings.connectTo.at(0).c_str());
  CURL* easy = curl_easy_init();
  auto url = PelorinTesting::TestDistribution::url("/stall");
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_CAINFO, settings.caFile.c_str());
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
  waitUntilBlocked(distribution.server(), round, state.received);
  auto start = Clock::now();
  state.cancelled = true;
  runner.join();
  distribution.server().release();
  curl_easy_cleanup(easy);
  curl_slist_free_all(connect);
  if (code != CURLE_ABORTED_BY_CALLBACK) throw std::runtime_error("reference did not abort");
  return std::chrono::duration<double, std::milli>(ended - start).count();
}

// --- the figures ---

int measure(const std::string& self, int port, const fs::path& dir) {
  const fs::path source = dir / "www" / "big.bin";
  const auto bytes = static_cast<std::int64_t>(fs::file_size(source));
  const fs::path ours = dir / "ours.bin", theirs = dir / "curl.bin", counted = dir / "pieces.bin";
  const std::string ca = (dir / "cert.pem").string(), mapping = connectTo(port);
  const double gib = static_cast<double>(bytes) / kGiB;

  std::vector<double> ourSeconds, curlSeconds, ourMemory, curlMemory;
  long long reports = 0;
  for (int round = 0; round < kRounds; ++round) {
    fs::remove(theirs);
    auto reference = runChild({"/usr/bin/curl", "-sS", "--fail", "-o", theirs.string(), "--cacert",
                               ca, "--connect-to", mapping, bigURL()});
    curlSeconds.push_back(reference.seconds);
    curlMemory.push_back(reference.peakMiB);
    fs::remove(theirs);

    fs::remove(ours);
    auto run =
        runChild({self, "fetch", bigURL(), ours.string(), std::to_string(bytes), ca, mapping});
    ourSeconds.push_back(run.seconds);
    ourMemory.push_back(run.peakMiB);
    reports = std::stoll(run.output);
    std::fprintf(stderr, "round %d: curl %.2f s, downloader %.2f s\n", round + 1, reference.seconds,
                 run.seconds);
  }
  if (!sameContent(ours, source)) throw std::runtime_error("the downloaded file differs");
  fs::remove(ours);
  auto piecesRun = runChild({self, "pieces", bigURL(), counted.string(), ca, mapping});
  fs::remove(counted);
  const double piecesPerGiB = std::stod(piecesRun.output) / gib;

  PelorinTesting::TestDistribution distribution;
  PelorinTesting::Reply stalled;
  stalled.body = std::string(kStallBody, 's');
  stalled.stallAfter = kStallAt;
  distribution.server().route("/stall", [&](const PelorinTesting::Request&) { return stalled; });
  std::vector<double> ourCancel, easyCancel;
  std::size_t stalls = 0;
  for (int i = 0; i < 10; ++i)
    ourCancel.push_back(downloaderCancel(distribution, dir / "stall.bin", ++stalls));
  for (int i = 0; i < 5; ++i) easyCancel.push_back(progressCallbackCancel(distribution, ++stalls));

  const double mb = static_cast<double>(bytes) / 1e6;
  std::printf("1 GiB over loopback TLS from nginx, median of %d alternating rounds\n", kRounds);
  printHeader();
  printFigure("throughput (MB/s) vs curl CLI", mb / median(ourSeconds), mb / median(curlSeconds),
              "ratio >= 0.95");
  printFigure("peak resident memory (MiB) vs curl", median(ourMemory), median(curlMemory),
              "ours < 32");
  printFigure("progress reports per GiB vs pieces", static_cast<double>(reports) / gib,
              piecesPerGiB, "ours <= 4096");
  printFigure("cancel latency (ms) vs progress cb", median(ourCancel), median(easyCancel),
              "ours < 50");
  std::printf("%-34s %12.2f %12.2f\n", "cancel latency, worst (ms)",
              *std::max_element(ourCancel.begin(), ourCancel.end()),
              *std::max_element(easyCancel.begin(), easyCancel.end()));
  return 0;
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
    if (mode == "fetch" && argc == 7) return fetch(argv);
    if (mode == "pieces" && argc == 6) return pieces(argv);
    if (mode == "measure" && argc == 4) {
      return measure(fs::canonical("/proc/self/exe").string(), std::stoi(argv[2]), argv[3]);
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "download_bench: %s\n", error.what());
    return 1;
  }
  std::fprintf(stderr, "usage: download_bench host | free-port | measure PORT DIR\n");
  return 2;
}

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <InstallerCore/Distribution.hpp>
#include <thread>

#include "TestSupport.hpp"
#include "pipeline/Downloader.hpp"
#include "pipeline/NetworkError.hpp"
#include "support/SlowLookup.hpp"
#include "support/TestDistribution.hpp"

namespace PelorinInstaller {

// Reaches the moments around the registration of the transfer with the token.
struct DownloaderProbe {
  static void beforeAttach(Downloader& downloader, std::function<void()> action) {
    downloader.beforeAttach_ = std::move(action);
  }
  static void afterAttach(Downloader& downloader,
                          std::function<void(const std::shared_ptr<CancellableTask>&)> action) {
    downloader.afterAttach_ = std::move(action);
  }
};

namespace {

namespace fs = std::filesystem;
using namespace PelorinTesting;

const std::int64_t kMiB = 1'048'576;
const std::string kHost(InstallerCore::Distribution::host());

// One byte more than an unsized download may hold, different at every position modulo a prime;
// a sized download fetches its first kSize bytes.
const std::string kContent = [] {
  std::string bytes(kMiB + 1, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = char((i * 31 + 7) % 251);
  return bytes;
}();
const std::int64_t kSize = 300'000;
const std::string kFile = kContent.substr(0, kSize);

Reply answer(int status, std::string body, std::string contentRange = "") {
  Reply reply;
  reply.status = status;
  reply.body = body;
  if (!contentRange.empty()) reply.headers.emplace_back("Content-Range", contentRange);
  return reply;
}
// A 206 answer for the file from `first` on, announcing its true range and sending `body` bytes.
Reply rest(std::size_t first, std::size_t body) {
  return answer(206, kContent.substr(first, body),
                "bytes " + std::to_string(first) + "-" + std::to_string(kSize - 1) + "/" +
                    std::to_string(kSize));
}
Reply chunked(Reply reply) {
  reply.chunked = true;
  return reply;
}
// The connection dropped, or held until the test ends, after `bytes` of the body.
Reply cut(Reply reply, std::size_t bytes, bool drop) {
  (drop ? reply.dropAfter : reply.stallAfter) = bytes;
  return reply;
}

// One download with everything it meets: the host on loopback, a probe that every other
// address a redirect or proxy could lead to reaches instead, and the file's folder.
struct Transfer {
  Transfer() {
    settings.connectTo.insert(settings.connectTo.end(),
                              {TestDistribution::connectTo(kHost, 80, probe.port()),
                               TestDistribution::connectTo(kHost, 8443, probe.port()),
                               TestDistribution::connectTo("other.example", 443, probe.port())});
    settings.requestTimeout = std::chrono::seconds(10);
    host.server().route("/file", serveFile(kFile));
    host.server().route("/moved", serveFile(kFile));
  }
  ~Transfer() {
    if (helper.joinable()) helper.join();
    ::unsetenv("https_proxy");
  }
  void keep(long bytes) {
    if (bytes >= 0) writeFile(file, kContent.substr(0, bytes));
  }
  std::string run() {
    return outcomeOf([&] {
      Downloader downloader(InstallerCore::Url::parse(url).value(), file, bytes, token, settings,
                            [this](double fraction) {
                              reports.push_back(fraction);
                              if (failure == "progress") fail();
                            });
      if (failure == "before attach")
        DownloaderProbe::beforeAttach(downloader, [&] { token->cancel(); });
      DownloaderProbe::afterAttach(downloader, [&](const std::shared_ptr<CancellableTask>& task) {
        registered = task;
        if (failure == "once attached") fail();
      });
      downloader.run();
    });
  }
  static void fail() { throw std::system_error(EIO, std::generic_category()); }
  // Starts a lookup of the host name that takes seconds; `cancel` once it has begun.
  void lookUpSlowly(bool cancel) {
    settings.connectTo = {kHost + ":443:" + slowLookupName(std::chrono::seconds(8)) + ":" +
                          std::to_string(host.server().port())};
    helper = std::thread([this, cancel, lookups = slowLookupsStarted()] {
      for (int i = 0; i < 10'000 && slowLookupsStarted() == lookups; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      if (cancel) token->cancel();
    });
  }

  TestDistribution host;
  ContactProbe probe;
  TemporaryFolder folder;
  fs::path file = folder / "download.bin";
  std::string url = TestDistribution::url("/file");
  std::optional<std::int64_t> bytes = kSize;
  std::shared_ptr<Cancellation> token = std::make_shared<Cancellation>();
  TransferSettings settings = host.settings();
  std::string failure;  // where a failure is made: "progress", "before attach", "once attached"
  std::weak_ptr<CancellableTask> registered;
  std::unique_ptr<TestServer> impostor;
  std::thread helper;
  std::vector<double> reports;
};

const long kNoFile = -1, kUntouched = -2, kSomePart = -3;
const std::optional<std::int64_t> kUnsized;
const std::optional<Reply> kTheFile;
const std::string kCancelled = "network " + std::to_string(kTransferCancelled);

struct Row {
  const char* name;
  long kept;                          // bytes of the file on disk before, -1 for none
  std::optional<std::int64_t> bytes;  // the expected size
  std::optional<Reply> reply;         // for "/file", instead of the file
  std::string outcome;
  long left;             // the file after: its first `left` bytes, or as the constants say
  std::size_t requests;  // all of them with this Range header ("" for none)
  std::string range;
  std::function<void(Transfer&)> more = {};
  std::chrono::seconds within = std::chrono::seconds(60);
};

Row redirect(const char* name, std::string location, std::string outcome = "invalidResponse") {
  bool ok = outcome == "ok";
  return {name,         1000,
          kSize,        Reply::redirect(302, location),
          outcome,      ok ? kSize : kNoFile,
          ok ? 2u : 1u, "bytes=1000-"};
}
Row target(const char* name, std::function<void(const fs::path&)> make) {
  return {name, -1, kSize, kTheFile, "damagedDownload", kUntouched, 0, "", [=](Transfer& t) {
            make(t.file);
          }};
}
Row impostor(const char* name, bool trusted) {
  return {name, 1000, kSize, kTheFile, "network 60", 1000, 0, "", [=](Transfer& t) {
            static CertificateAuthority stranger("Untrusted Test CA");
            t.impostor = std::make_unique<TestServer>(
                trusted ? t.host.authority().issue("other.example") : stranger.issue(kHost));
            t.impostor->route("/file", serveFile(kFile));
            t.settings.connectTo = {TestDistribution::connectTo(kHost, 443, t.impostor->port())};
          }};
}

const Row kRows[] = {
    {"CompleteFileNeedsNoRequest", kSize, kSize, kTheFile, "ok", kSize, 0, ""},
    {"LargerFileFetchedAgainWhole", kSize + 4, kSize, kTheFile, "ok", kSize, 1, ""},
    {"PartialFileResumedFromItsEnd", 123'457, kSize, kTheFile, "ok", kSize, 1, "bytes=123457-"},
    {"WholeAnswerToARangeReplacesThePart", 50'000, kSize, answer(200, kFile), "ok", kSize, 1,
     "bytes=50000-"},
    {"UnsizedOfOneMiBReplacesAFile", kMiB + 1, kUnsized, answer(200, kContent.substr(0, kMiB)),
     "ok", kMiB, 1, ""},
    {"UnsizedBeyondOneMiB", -1, kUnsized, chunked(answer(200, kContent)), "damagedDownload",
     kNoFile, 1, ""},
    {"UnsizedAnnouncingBeyondOneMiB", -1, kUnsized, answer(200, kContent), "invalidResponse",
     kNoFile, 1, ""},
    {"UnsizedGettingAPartialAnswer", -1, kUnsized, answer(206, "{}", "bytes 0-1/2"),
     "invalidResponse", kNoFile, 1, ""},
    {"PartialAnswerFromAnotherByte", 1000, kSize, rest(999, kSize - 999), "invalidResponse",
     kNoFile, 1, "bytes=1000-"},
    {"PartialAnswerAnnouncingTooFew", 1000, kSize, rest(1000, kSize - 1001), "invalidResponse",
     kNoFile, 1, "bytes=1000-"},
    {"ServerError", -1, kSize, answer(500, "oops"), "invalidResponse", kNoFile, 1, ""},
    {"BodyEndsShort", 1000, kSize, chunked(rest(1000, kSize - 1010)), "damagedDownload", kSize - 10,
     1, "bytes=1000-"},
    {"ConnectionDropped", -1, kSize, cut(answer(200, kFile), 100'000, true), "network 18", 100'000,
     1, ""},
    {"BodyIdleBeyondTheLimit", -1, kSize, cut(answer(200, kFile), 100'000, false), "network 28",
     100'000, 1, "",
     [](Transfer& t) { t.settings.requestTimeout = std::chrono::milliseconds(300); }},
    {"RedirectLoop", 1000, kSize, Reply::redirect(302, "/file"), "network 47", 1000, 11,
     "bytes=1000-"},
    redirect("RedirectRelative", "moved", "ok"),
    redirect("RedirectToPlainHttp", "http://" + kHost + "/moved"),
    redirect("RedirectToAnotherHost", "//other.example/moved"),
    redirect("RedirectWithCredentials", "https://user:secret@" + kHost + "/moved"),
    {"PlainHttpURL", 1000, kSize, kTheFile, "invalidURL", 1000, 0, "",
     [](Transfer& t) { t.url = "http://" + kHost + "/file"; }},
    impostor("ImpostorForAnotherName", true),
    impostor("ImpostorFromAnUntrustedAuthority", false),
    target("TargetIsAFolder", [](auto& file) { fs::create_directory(file); }),
    target("TargetIsAFifo", [](auto& file) { ::mkfifo(file.c_str(), 0600); }),
    {"EnvironmentProxyIgnored", -1, kSize, kTheFile, "ok", kSize, 1, "",
     [](Transfer& t) {
       ::setenv("https_proxy", ("http://127.0.0.1:" + std::to_string(t.probe.port())).c_str(), 1);
     }},
    {"CancelledBeforeTheRun", 1000, kSize, kTheFile, "cancelled", 1000, 0, "",
     [](Transfer& t) { t.token->cancel(); }},
    {"CancelledBetweenTheCheckAndTheAttach", 1000, kSize, kTheFile, kCancelled, 1000, 0, "",
     [](Transfer& t) { t.failure = "before attach"; }},
    {"FailureInTheProgressReport", -1, kSize, kTheFile, "errno 5", kUntouched, 1, "",
     [](Transfer& t) { t.failure = "progress"; }},
    {"FailureOnceAttached", -1, kSize, kTheFile, "errno 5", kUntouched, 0, "",
     [](Transfer& t) { t.failure = "once attached"; }},
    // Neither a cancel nor the idle limit waits for a slow name lookup to end.
    {"CancelledDuringASlowLookup", 1000, kSize, kTheFile, kCancelled, 1000, 0, "",
     [](Transfer& t) { t.lookUpSlowly(true); }, std::chrono::seconds(4)},
    {"IdleDuringASlowLookup", 1000, kSize, kTheFile, "network 28", 1000, 0, "",
     [](Transfer& t) {
       t.settings.requestTimeout = std::chrono::seconds(1);
       t.lookUpSlowly(false);
     },
     std::chrono::seconds(4)},
    {"CancelledDuringAStalledBody", 1000, kSize, cut(rest(1000, kSize - 1000), 60'000, false),
     kCancelled, kSomePart, 1, "bytes=1000-",
     [](Transfer& t) {
       t.helper = std::thread([&t] {
         t.host.server().waitForStalls(1, std::chrono::seconds(10));
         t.token->cancel();
       });
     }},
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

class Download : public ::testing::TestWithParam<Row> {};

TEST_P(Download, EndsWithTheRightOutcomeFileAndRequests) {
  const auto& row = GetParam();
  Transfer t;
  t.keep(row.kept);
  t.bytes = row.bytes;
  if (row.reply) t.host.server().route("/file", [&](const Request&) { return *row.reply; });
  if (row.more) row.more(t);
  ScopedUmask open(0);

  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(t.run(), row.outcome);
  EXPECT_LT(std::chrono::steady_clock::now() - start, row.within);
  if (t.helper.joinable()) t.helper.join();
  EXPECT_TRUE(t.registered.expired());  // a late cancel reaches no transfer

  if (row.left != kUntouched) {  // how much of the content the file holds
    auto bytes = fs::exists(fs::symlink_status(t.file)) ? readFile(t.file) : "-";
    long left = kContent.starts_with(bytes) ? long(bytes.size()) : bytes == "-" ? kNoFile : -4;
    EXPECT_EQ(row.left == kSomePart && left >= 0 && left < kSize ? kSomePart : left, row.left);
  }
  auto requests = t.host.server().requests();
  EXPECT_EQ(requests.size(), row.requests);
  for (const auto& request : requests) {
    EXPECT_EQ(request.header("Range").value_or(""), row.range);
    EXPECT_EQ(request.header("Accept-Encoding"), "identity");
  }
  EXPECT_EQ(t.probe.connections(), 0);
  EXPECT_EQ(t.impostor ? t.impostor->requestCount() : 0u, 0u);
  if (row.outcome == "ok" && row.kept < 0) {
    EXPECT_EQ(fs::status(t.file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  }
  if (row.outcome == "ok" && row.bytes && row.requests > 0) {
    ASSERT_FALSE(t.reports.empty());
    EXPECT_TRUE(std::is_sorted(t.reports.begin(), t.reports.end()));
    EXPECT_EQ(t.reports.back(), 1.0);
  }
  if (!row.bytes) {
    EXPECT_TRUE(t.reports.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Downloader, Download, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace PelorinInstaller

#include <gtest/gtest.h>

#include <InstallerCore/Distribution.hpp>
#include <PelorinBase/JoiningThread.hpp>
#include <latch>

#include "TestSupport.hpp"
#include "pipeline/Downloader.hpp"
#include "pipeline/NetworkError.hpp"
#include "support/SlowLookup.hpp"
#include "support/TestDistribution.hpp"
#include "support/TestProxy.hpp"

namespace PelorinInstaller {

// Reaches the moments around the registration of the transfer with the token.
struct DownloaderProbe {
  static void around(Downloader& downloader, std::function<void()> before,
                     std::function<void(const std::shared_ptr<CancellableTask>&)> after,
                     std::function<void(std::int64_t)> keptRead) {
    downloader.beforeAttach_ = std::move(before);
    downloader.afterAttach_ = std::move(after);
    downloader.beforeKeptRead_ = std::move(keptRead);
  }
};

namespace {

namespace fs = std::filesystem;
using namespace PelorinTesting;
using std::chrono::seconds;

const std::int64_t kMiB = 1'048'576, kSize = 300'000;
const std::string kHost(InstallerCore::Distribution::host());
// One byte more than an unsized download may hold, different at every position modulo a prime;
// a sized download fetches its first kSize bytes.
const std::string kContent = [] {
  std::string bytes(kMiB + 1, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = char((i * 31 + 7) % 251);
  return bytes;
}();
const std::string kFile = kContent.substr(0, kSize);

// An answer; chunked, or cut after `cutAt` bytes of the body (dropped, or held when `drop` is
// false) when asked.
Reply answer(int status, std::string body, std::string range = "", bool chunked = false,
             std::size_t cutAt = 0, bool drop = true) {
  Reply reply;
  reply.status = status;
  reply.body = body;
  reply.chunked = chunked;
  if (cutAt > 0) (drop ? reply.dropAfter : reply.stallAfter) = cutAt;
  if (!range.empty()) reply.headers.emplace_back("Content-Range", range);
  return reply;
}
// A 206 answer for the file from `first` on, announcing its true range and sending `body` bytes.
Reply rest(std::size_t first, std::size_t body, bool chunked = false, std::size_t stallAt = 0) {
  auto range = "bytes " + std::to_string(first) + "-" + std::to_string(kSize - 1) + "/" +
               std::to_string(kSize);
  return answer(206, kContent.substr(first, body), range, chunked, stallAt, false);
}

// One download with everything it meets: the host on loopback, a probe that every other
// address a redirect or proxy could lead to reaches instead, and the file's folder.
struct Transfer {
  Transfer() {
    for (auto [name, port] : {std::pair{kHost, 80}, {kHost, 8443}, {"other.example", 443}})
      settings.connectTo.push_back(TestDistribution::connectTo(name, port, probe.port()));
    settings.requestTimeout = seconds(10);
    host.server().route("/file", serveFile(kFile));
    host.server().route("/moved", serveFile(kFile));
  }
  ~Transfer() {
    helper.join();
    ::unsetenv("https_proxy");
    ::unsetenv("no_proxy");
    // A lookup or a read the transfer abandoned ends now, into what it shares with the transfer
    // alone.
    if (held) held->count_down();
    settings.proxy = nullptr;
    keptRead = nullptr;
    EXPECT_TRUE(eventually([&] { return heldCall.expired(); }));
  }
  std::string run() {
    auto fail = [&](const char* at) {
      if (failure == at) throw std::system_error(EIO, std::generic_category());
    };
    return outcomeOf([&] {
      Downloader downloader(InstallerCore::Url::parse(url).value(), file, bytes, token, settings,
                            [&](double fraction) {
                              reports.push_back(fraction);
                              if (onProgress) onProgress(fraction);
                              fail("progress");
                            });
      DownloaderProbe::around(
          downloader,
          [&] {
            if (failure == "before attach") token->cancel();
            if (failure == "while the kept part is read" && waitFor(*holding)) token->cancel();
          },
          [&](const std::shared_ptr<CancellableTask>& task) { registered = task; }, keptRead);
      digest = downloader.fetch().sha256;
    });
  }
  // Cancels once a lookup of the host name that takes seconds has begun.
  void cancelDuringASlowLookup() {
    settings.connectTo = {kHost + ":443:" + slowLookupName(seconds(8)) + ":" +
                          std::to_string(host.server().port())};
    helper = PelorinBase::JoiningThread([this, lookups = slowLookupsStarted()] {
      eventually([&] { return slowLookupsStarted() != lookups; });
      token->cancel();
    });
  }

  // Every transfer asks the system this proxy, through the given one or squid, which then alone
  // resolves the host's name: the mapping keeps the name and changes only the port, so libcurl
  // asks the proxy for "HOST:PORT" and never looks the name up itself.
  void throughProxy(std::optional<TestProxy::Credentials> required = {},
                    TestProxy::Credentials given = {}) {
    proxy = std::make_unique<TestProxy>(required);
    via(proxy->proxy(given));
  }
  void via(Proxy chosen) {
    settings.connectTo = {kHost + ":443:" + kHost + ":" + std::to_string(host.server().port())};
    settings.proxy = [chosen](const std::string&) { return chosen; };
  }
  // Squid behind stunnel, with a certificate for "localhost" from `authority`.
  void throughHttpsProxy(const CertificateAuthority& authority) {
    throughProxy();
    front = std::make_unique<TlsFront>(*proxy, authority.issue("localhost"));
    via(front->proxy());
  }
  bool logged(const std::string& target, const std::string& tunnel) const {
    return tunnel == "by name" ? socks->askedByName(target) : proxy->logged(target, tunnel);
  }
  static bool waitFor(std::latch& latch) {
    return eventually([&] { return latch.try_wait(); });
  }
  // A call that blocks (for ten seconds at most) until the transfer has ended; `holding` opens
  // once it does.
  std::function<void()> holdingCall() {
    held = std::make_shared<std::latch>(1);
    holding = std::make_shared<std::latch>(1);
    auto alive = std::make_shared<int>();
    heldCall = alive;
    return [held = held, holding = holding, alive] {
      holding->count_down();
      waitFor(*held);
    };
  }
  // A proxy lookup that blocks until the transfer has ended, and then still answers; cancelled
  // once it blocks, or not.
  void holdTheLookup(bool cancel = true) {
    settings.proxy = [call = holdingCall()](const std::string&) {
      call();
      return Proxy{.kind = Proxy::Kind::http, .host = "127.0.0.1", .port = 1};
    };
    if (!cancel) return;
    helper = PelorinBase::JoiningThread([this] {
      waitFor(*holding);
      token->cancel();
    });
  }
  // The first read of the kept part waits until the whole body has arrived.
  void readTheKeptPartAfterTheBody() {
    auto arrived = std::make_shared<std::latch>(1);
    onProgress = [arrived](double fraction) {
      if (fraction == 1.0) arrived->count_down();
    };
    keptRead = [arrived](std::int64_t at) {
      if (at == 0) waitFor(*arrived);
    };
  }
  // The second read of the kept part blocks until the transfer has ended; the cancel comes once
  // it does, before the transfer is registered.
  void holdTheKeptPartsSecondRead() {
    failure = "while the kept part is read";
    keptRead = [call = holdingCall()](std::int64_t at) {
      if (at > 0) call();
    };
  }

  TestDistribution host;
  ContactProbe probe;
  TemporaryFolder folder;
  fs::path file = folder / "download.bin";
  std::string url = TestDistribution::url("/file");
  std::optional<std::int64_t> bytes = kSize;
  std::shared_ptr<Cancellation> token = std::make_shared<Cancellation>();
  TransferSettings settings = host.settings();
  std::string failure;  // where a failure is made: "progress" or "before attach"
  std::weak_ptr<CancellableTask> registered;
  std::unique_ptr<TestServer> impostor;
  PelorinBase::JoiningThread helper;
  std::vector<double> reports;
  std::function<void(double)> onProgress;
  std::unique_ptr<TestProxy> proxy;
  std::unique_ptr<TlsFront> front;
  std::unique_ptr<SocksProxy> socks;
  std::function<void(std::int64_t)> keptRead;
  std::shared_ptr<std::latch> held, holding;
  std::weak_ptr<int> heldCall;  // expires once the held call has been let go
  std::optional<std::string> digest;
};

const long kNoFile = -1, kUntouched = -2, kSomePart = -3, kOther = -4;
const std::optional<std::int64_t> kUnsized;
const std::optional<Reply> kTheFile;
const std::string kCancelled = "network " + std::to_string(kTransferCancelled);

// Every request of a row carries the Range header of the part kept, if a sized download kept
// one shorter than the file.
struct Row {
  const char* name;
  long kept;                   // bytes of the file on disk before, -1 for none
  std::optional<Reply> reply;  // for "/file", instead of the file
  std::string outcome;
  long left;  // the file after: its first `left` bytes, or as the constants say
  std::size_t requests;
  std::function<void(Transfer&)> more = {};
  std::optional<std::int64_t> bytes = kSize;  // the expected size
  seconds within = seconds(60);
  std::string tunnel = {};  // through squid: how its access log ends the CONNECT
};

Row redirect(const char* name, std::string location, std::string outcome = "invalidResponse") {
  bool ok = outcome == "ok";
  return {name, 1000, Reply::redirect(302, location), outcome, ok ? kSize : kNoFile, ok ? 2u : 1u};
}
Row impostor(const char* name, bool trusted) {
  return {name, 1000, kTheFile, "network 60", 1000, 0, [=](Transfer& t) {
            static CertificateAuthority stranger("Untrusted Test CA");
            t.impostor = std::make_unique<TestServer>(
                trusted ? t.host.authority().issue("other.example") : stranger.issue(kHost));
            t.impostor->route("/file", serveFile(kFile));
            t.settings.connectTo = {TestDistribution::connectTo(kHost, 443, t.impostor->port())};
          }};
}
Row unsized(const char* name, long kept, Reply reply, std::string outcome, long left) {
  return {name, kept, reply, outcome, left, 1, {}, kUnsized};
}
Row proxied(const char* name, long kept, std::optional<Reply> reply, std::string outcome, long left,
            std::size_t requests, std::string tunnel, std::function<void(Transfer&)> more) {
  Row row{name, kept, reply, outcome, left, requests, more};
  row.tunnel = tunnel;
  return row;
}
// A password that a proxy URL would have to escape.
const TestProxy::Credentials kUser{"tester", "s3cret:p@ss/word"};
Row failing(const char* name, long kept, std::string where, std::string outcome, long left,
            std::size_t requests) {
  auto fail = [=](Transfer& t) { t.failure = where; };
  return {name, kept, kTheFile, outcome, left, requests, fail};
}

const Row kRows[] = {
    {"CompleteFileNeedsNoRequest", kSize, kTheFile, "ok", kSize, 0},
    {"LargerFileFetchedAgainWhole", kSize + 4, kTheFile, "ok", kSize, 1},
    {"PartialFileResumedFromItsEnd", 123'457, kTheFile, "ok", kSize, 1},
    {"ResumedForTheLastByte", kSize - 1, kTheFile, "ok", kSize, 1},
    {"BodyArrivesWhileTheKeptPartIsRead", 270'000, kTheFile, "ok", kSize, 1,
     [](Transfer& t) { t.readTheKeptPartAfterTheBody(); }},
    // The digest is of the bytes on disk, whatever they are.
    {"KeptPartDamagedOnDiskResumed", 123'457, kTheFile, "ok", kOther, 1,
     [](Transfer& t) {
       auto bytes = readFile(t.file);
       bytes[100'000] ^= 1;
       writeFile(t.file, bytes);
     }},
    {"WholeAnswerToARangeReplacesThePart", 50'000, answer(200, kFile), "ok", kSize, 1},
    unsized("UnsizedOfOneMiBReplacesAFile", kMiB + 1, answer(200, kContent.substr(0, kMiB)), "ok",
            kMiB),
    unsized("UnsizedBeyondOneMiB", -1, answer(200, kContent, "", true), "damagedDownload", kNoFile),
    unsized("UnsizedAnnouncingBeyondOneMiB", -1, answer(200, kContent), "invalidResponse", kNoFile),
    unsized("UnsizedGettingAPartialAnswer", -1, answer(206, "{}", "bytes 0-1/2"), "invalidResponse",
            kNoFile),
    {"PartialAnswerFromAnotherByte", 1000, rest(999, kSize - 999), "invalidResponse", kNoFile, 1},
    {"PartialAnswerAnnouncingTooFew", 1000, rest(1000, kSize - 1001), "invalidResponse", kNoFile,
     1},
    {"ServerError", -1, answer(500, "oops"), "invalidResponse", kNoFile, 1},
    {"BodyEndsShort", 1000, rest(1000, kSize - 1010, true), "damagedDownload", kSize - 10, 1},
    {"ConnectionDropped", -1, answer(200, kFile, "", false, 100'000), "network 18", 100'000, 1},
    {"BodyIdleBeyondTheLimit", -1, answer(200, kFile, "", false, 100'000, false), "network 28",
     100'000, 1, [](Transfer& t) { t.settings.requestTimeout = std::chrono::milliseconds(300); }},
    {"RedirectLoop", 1000, Reply::redirect(302, "/file"), "network 47", 1000, 11},
    redirect("RedirectRelative", "moved", "ok"),
    redirect("RedirectToPlainHttp", "http://" + kHost + "/moved"),
    redirect("RedirectToAnotherHost", "//other.example/moved"),
    {"PlainHttpURL", 1000, kTheFile, "invalidURL", 1000, 0,
     [](Transfer& t) { t.url = "http://" + kHost + "/file"; }},
    impostor("ImpostorForAnotherName", true),
    impostor("ImpostorFromAnUntrustedAuthority", false),
    {"TargetIsAFolder", -1, kTheFile, "damagedDownload", kUntouched, 0,
     [](Transfer& t) { fs::create_directory(t.file); }},
    {"EnvironmentProxyIgnored", -1, kTheFile, "ok", kSize, 1,
     [](Transfer& t) {
       ::setenv("https_proxy", ("http://127.0.0.1:" + std::to_string(t.probe.port())).c_str(), 1);
     }},
    // The system's exceptions list is its to apply, not the environment's.
    proxied("ThroughAProxyThatAloneKnowsTheHost", -1, kTheFile, "ok", kSize, 1, "TCP_TUNNEL/200",
            [](Transfer& t) {
              t.throughProxy();
              ::setenv("no_proxy", kHost.c_str(), 1);
            }),
    proxied("ResumedThroughTheProxy", 123'457, kTheFile, "ok", kSize, 1, "TCP_TUNNEL/200",
            [](Transfer& t) { t.throughProxy(); }),
    proxied("ProxyWantsCredentialsNoneGiven", 1000, kTheFile, "network 56", 1000, 0,
            "TCP_DENIED/407", [](Transfer& t) { t.throughProxy(kUser); }),
    proxied("ProxyWantsCredentialsRightOnes", 1000, kTheFile, "ok", kSize, 1, "TCP_TUNNEL/200",
            [](Transfer& t) { t.throughProxy(kUser, kUser); }),
    // Nothing listens on port 1: a file the transfer made is gone, a kept part stays.
    {"HostUnreachable", -1, kTheFile, "network 7", kNoFile, 0,
     [](Transfer& t) { t.settings.connectTo = {TestDistribution::connectTo(kHost, 443, 1)}; },
     kUnsized},
    {"HostUnreachableWithAPartKept", 1000, kTheFile, "network 7", 1000, 0,
     [](Transfer& t) { t.settings.connectTo = {TestDistribution::connectTo(kHost, 443, 1)}; }},
    {"ProxyDown", 1000, kTheFile, "network 7", 1000, 0,
     [](Transfer& t) {
       t.throughProxy();
       t.proxy->kill();
     }},
    // Once all that the host sent before it stalled is in, the proxy goes.
    {"TunnelDroppedByTheProxy", 1000, rest(1000, kSize - 1000, false, 60'000), "network 18", 61'000,
     1,
     [](Transfer& t) {
       t.throughProxy();
       t.onProgress = [&t](double fraction) {
         if (fraction * kSize >= 61'000) t.proxy->kill();
       };
     }},
    // What the system's exceptions list makes of the URL fetched: direct.
    {"DirectFromTheLookup", 1000, kTheFile, "ok", kSize, 1,
     [](Transfer& t) {
       Proxy elsewhere{.kind = Proxy::Kind::http, .host = "127.0.0.1", .port = t.probe.port()};
       t.settings.proxy = [=](const std::string& url) {
         return url == TestDistribution::url("/file") ? Proxy{} : elsewhere;
       };
     }},
    {"CancelledDuringTheProxyLookup", 1000, kTheFile, kCancelled, 1000, 0,
     [](Transfer& t) { t.holdTheLookup(); }},
    // The lookup's own limit, not the request's.
    {"ProxyLookupWithoutAnAnswerInTime", 1000, kTheFile, "network 5", 1000, 0,
     [](Transfer& t) {
       t.holdTheLookup(false);
       t.settings.proxyTimeout = std::chrono::milliseconds(300);
     },
     kSize, seconds(4)},
    // Never around a proxy the system names.
    {"ProxyOfAKindNoTransferUses", 1000, kTheFile, "network 5", 1000, 0,
     [](Transfer& t) { t.via({.kind = Proxy::Kind::unusable}); }},
    proxied("ThroughAnHttpsProxy", -1, kTheFile, "ok", kSize, 1, "TCP_TUNNEL/200",
            [](Transfer& t) { t.throughHttpsProxy(t.host.authority()); }),
    {"HttpsProxyFromAnUntrustedAuthority", 1000, kTheFile, "network 60", 1000, 0,
     [](Transfer& t) { t.throughHttpsProxy(CertificateAuthority("Untrusted Test CA")); }},
    proxied("ThroughSocks5LeavingTheNameToIt", -1, kTheFile, "ok", kSize, 1, "by name",
            [](Transfer& t) {
              t.socks = std::make_unique<SocksProxy>();
              t.via(t.socks->proxy(true));
            }),
    {"CancelledBeforeTheRun", 1000, kTheFile, "cancelled", 1000, 0,
     [](Transfer& t) { t.token->cancel(); }},
    failing("CancelledBetweenTheCheckAndTheAttach", 1000, "before attach", kCancelled, 1000, 0),
    failing("FailureInTheProgressReport", -1, "progress", "errno 5", kUntouched, 1),
    // A cancel does not wait for a slow name lookup to end.
    {"CancelledDuringASlowLookup", 1000, kTheFile, kCancelled, 1000, 0,
     [](Transfer& t) { t.cancelDuringASlowLookup(); }, kSize, seconds(4)},
    {"CancelledWhileTheKeptPartIsRead", 270'000, kTheFile, kCancelled, 270'000, 0,
     [](Transfer& t) { t.holdTheKeptPartsSecondRead(); }, kSize, seconds(4)},
    {"CancelledDuringAStalledBody", 1000, rest(1000, kSize - 1000, false, 60'000), kCancelled,
     kSomePart, 1,
     [](Transfer& t) {
       t.helper = PelorinBase::JoiningThread([&t] {
         t.host.server().waitForStalls(1, seconds(10));
         t.token->cancel();
       });
     }},
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

class Download : public ::testing::TestWithParam<Row> {};

TEST_P(Download, EndsWithTheRightOutcomeFileAndRequests) {
  const auto& row = GetParam();
  Transfer t;
  if (row.kept >= 0) writeFile(t.file, kContent.substr(0, row.kept));
  t.bytes = row.bytes;
  if (row.reply) t.host.server().route("/file", [&](const Request&) { return *row.reply; });
  if (row.more) row.more(t);
  ScopedUmask open(0);

  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(t.run(), row.outcome);
  EXPECT_LT(std::chrono::steady_clock::now() - start, row.within);
  t.helper.join();
  EXPECT_TRUE(t.registered.expired());  // a late cancel reaches no transfer
  if (!row.tunnel.empty()) {
    auto target = t.settings.connectTo.at(0).substr(kHost.size() + 5);
    EXPECT_TRUE(t.logged(target, row.tunnel)) << (t.proxy ? t.proxy->accessLog() : "");
  }

  if (row.left != kUntouched) {  // how much of the content the file holds
    auto bytes = fs::exists(fs::symlink_status(t.file)) ? readFile(t.file) : "-";
    long left = kContent.starts_with(bytes) ? long(bytes.size()) : bytes == "-" ? kNoFile : kOther;
    EXPECT_EQ(row.left == kSomePart && left >= 0 && left < kSize ? kSomePart : left, row.left);
  }
  bool resumes = row.bytes && row.kept > 0 && row.kept < *row.bytes;
  auto range = resumes ? "bytes=" + std::to_string(row.kept) + "-" : "";
  auto requests = t.host.server().requests();
  EXPECT_EQ(requests.size(), row.requests);
  for (const auto& request : requests) {
    EXPECT_EQ(request.header("Range").value_or(""), range);
    EXPECT_EQ(request.header("Accept-Encoding"), "identity");
  }
  EXPECT_EQ(t.probe.connections() + (t.impostor ? t.impostor->requestCount() : 0u), 0u);
  if (row.outcome == "ok" && row.kept < 0) {
    EXPECT_EQ(fs::status(t.file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  }
  // A digest of exactly what is on disk, for every download that fetched its file.
  if (row.outcome == "ok" && row.requests > 0) {
    EXPECT_EQ(t.digest, PelorinBase::sha256File(t.file));
  } else {
    EXPECT_EQ(t.digest, std::nullopt);
  }
  // Progress only for a sized download, never going back, ending at 1.
  double last = t.reports.empty() ? -1.0 : t.reports.back();
  if (!row.bytes || (row.outcome == "ok" && row.requests > 0)) {
    EXPECT_EQ(last, row.bytes ? 1.0 : -1.0);
  }
  EXPECT_TRUE(std::is_sorted(t.reports.begin(), t.reports.end()));
}

INSTANTIATE_TEST_SUITE_P(Downloader, Download, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace PelorinInstaller

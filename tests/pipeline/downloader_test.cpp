#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <InstallerCore/Distribution.hpp>
#include <InstallerCore/InstallerError.hpp>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

#include "pipeline/Downloader.hpp"
#include "pipeline/NetworkError.hpp"
#include "support/ContactProbe.hpp"
#include "support/SlowLookup.hpp"
#include "support/TestDistribution.hpp"

namespace PelorinInstaller {

// Reaches the moment between the downloader's token check and its attach.
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

using InstallerCore::InstallerError;
using PelorinTesting::ContactProbe;
using PelorinTesting::Reply;
using PelorinTesting::TestDistribution;
namespace fs = std::filesystem;

constexpr std::size_t kSize = 300'000;
constexpr std::size_t kPartial = 1'000;
constexpr std::int64_t kMiB = 1'048'576;

std::string hostName() { return std::string(InstallerCore::Distribution::host()); }

std::error_code network(int curlCode) { return {curlCode, networkCategory()}; }

// Bytes that differ at every position modulo a prime, so a misplaced piece shows.
std::string pattern(std::size_t size, unsigned seed = 7) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 31 + seed) % 251);
  return bytes;
}

void writeFile(const fs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::optional<std::string> readFile(const fs::path& path) {
  if (!fs::exists(fs::symlink_status(path))) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

Reply sized(int status, std::string body,
            std::vector<std::pair<std::string, std::string>> headers = {}) {
  Reply reply;
  reply.status = status;
  reply.body = std::move(body);
  reply.headers = std::move(headers);
  return reply;
}

std::string contentRange(std::size_t first, std::size_t size) {
  return "bytes " + std::to_string(first) + "-" + std::to_string(size - 1) + "/" +
         std::to_string(size);
}

struct Outcome {
  std::optional<fs::path> file;
  std::error_code error;
};

Outcome outcomeOf(Downloader& downloader) {
  try {
    return {downloader.run(), {}};
  } catch (const std::system_error& error) {
    return {std::nullopt, error.code()};
  }
}

// Makes a file or folder unwritable even for root (the immutable flag), restoring it afterwards.
class Unwritable {
 public:
  explicit Unwritable(fs::path path) : path_(std::move(path)) { active_ = set(true); }
  ~Unwritable() {
    if (active_) set(false);
  }
  bool active() const { return active_; }

 private:
  bool set(bool on) {
    if (::geteuid() != 0) return ::chmod(path_.c_str(), on ? 0500 : 0700) == 0;
    int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return ok;
  }
  fs::path path_;
  bool active_ = false;
};

class DownloaderTest : public ::testing::Test {
 protected:
  DownloaderTest() {
    // Short enough that a fault in the code under test fails the test instead of hanging it.
    settings.requestTimeout = std::chrono::seconds(10);
    settings.transferTimeout = std::chrono::seconds(60);
  }

  Downloader downloader(const std::string& path, std::optional<std::int64_t> bytes) {
    return downloaderFor(TestDistribution::url(path), bytes);
  }
  Downloader downloaderFor(const std::string& url, std::optional<std::int64_t> bytes) {
    auto parsed = InstallerCore::Url::parse(url);
    EXPECT_TRUE(parsed) << url;
    return Downloader(parsed.value_or(InstallerCore::Url()), target, bytes, token, settings,
                      [this](double fraction) { reports.push_back(fraction); });
  }
  Outcome download(const std::string& path, std::optional<std::int64_t> bytes = kSize) {
    auto d = downloader(path, bytes);
    return outcomeOf(d);
  }

  TestDistribution host;
  PelorinTesting::TemporaryFolder folder;
  fs::path target = folder / "download.bin";
  std::shared_ptr<Cancellation> token = std::make_shared<Cancellation>();
  TransferSettings settings = host.settings();
  std::vector<double> reports;
  const std::string content = pattern(kSize);
};

// --- Resuming -------------------------------------------------------------------------------

TEST_F(DownloaderTest, ACompleteFileIsReturnedWithoutARequest) {
  writeFile(target, content);
  host.server().route("/file", PelorinTesting::serveFile(content));
  auto outcome = download("/file");
  EXPECT_EQ(outcome.file, target);
  EXPECT_EQ(host.server().requestCount(), 0u);
  EXPECT_TRUE(reports.empty());
}

TEST_F(DownloaderTest, ALargerFileIsDownloadedAgainFromTheStartWithoutRange) {
  writeFile(target, content + "tail");
  host.server().route("/file", PelorinTesting::serveFile(content));
  auto outcome = download("/file");
  ASSERT_FALSE(outcome.error) << outcome.error.message();
  EXPECT_EQ(readFile(target), content);
  auto requests = host.server().requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_FALSE(requests[0].header("Range"));
}

TEST_F(DownloaderTest, APartialFileIsCompletedFromItsEndWithARangeRequest) {
  const std::size_t partial = 123'457;
  writeFile(target, content.substr(0, partial));
  host.server().route("/file", PelorinTesting::serveFile(content));
  auto outcome = download("/file");
  ASSERT_FALSE(outcome.error) << outcome.error.message();
  EXPECT_EQ(readFile(target), content);
  auto requests = host.server().requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].header("Range"), "bytes=123457-");
  EXPECT_EQ(requests[0].header("Accept-Encoding"), "identity");
  EXPECT_EQ(host.server().bodyBytesSent(), static_cast<std::int64_t>(kSize - partial));
}

TEST_F(DownloaderTest, AWholeFileAnsweringARangeRequestReplacesThePartialFile) {
  writeFile(target, std::string(50'000, 'x'));
  host.server().route("/file", [&](const PelorinTesting::Request&) { return sized(200, content); });
  auto outcome = download("/file");
  ASSERT_FALSE(outcome.error) << outcome.error.message();
  EXPECT_EQ(readFile(target), content);
  EXPECT_EQ(host.server().requests().at(0).header("Range"), "bytes=50000-");
}

TEST_F(DownloaderTest, AnEmptyPartialFileSendsNoRange) {
  writeFile(target, "");
  host.server().route("/file", PelorinTesting::serveFile(content));
  ASSERT_FALSE(download("/file").error);
  EXPECT_EQ(readFile(target), content);
  EXPECT_FALSE(host.server().requests().at(0).header("Range"));
}

TEST_F(DownloaderTest, WithoutAnExpectedSizeAnExistingFileIsReplacedWithoutRange) {
  writeFile(target, "an older manifest");
  host.server().route("/latest.json", [](const PelorinTesting::Request&) {
    return sized(200, "{\"schemaVersion\":1}");
  });
  ASSERT_FALSE(download("/latest.json", std::nullopt).error);
  EXPECT_EQ(readFile(target), "{\"schemaVersion\":1}");
  EXPECT_FALSE(host.server().requests().at(0).header("Range"));
}

TEST_F(DownloaderTest, ADroppedConnectionKeepsWhatArrivedAndTheNextDownloaderResumes) {
  host.server().route("/file", [&](const PelorinTesting::Request&) {
    auto reply = sized(200, content);
    reply.dropAfter = 100'000;
    return reply;
  });
  auto first = download("/file");
  EXPECT_EQ(first.error, network(18));  // CURLE_PARTIAL_FILE
  EXPECT_EQ(readFile(target), content.substr(0, 100'000));

  host.server().route("/file", PelorinTesting::serveFile(content));
  auto second = download("/file");
  ASSERT_FALSE(second.error) << second.error.message();
  EXPECT_EQ(readFile(target), content);
  EXPECT_EQ(host.server().requests().at(1).header("Range"), "bytes=100000-");
}

// --- The server's faults --------------------------------------------------------------------

enum class Left { nothing, partial };

struct FaultCase {
  const char* name;
  std::size_t partial;                // bytes of the file on disk before the run
  std::optional<std::int64_t> bytes;  // expected size
  std::function<Reply(const std::string& content)> reply;
  std::error_code error;
  Left left;
  std::size_t leftBytes = 0;  // with Left::partial: the file is this prefix of the content
};

void PrintTo(const FaultCase& fault, std::ostream* out) { *out << fault.name; }

class ServerFaults : public DownloaderTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(ServerFaults, EndTheDownloadWithTheRightErrorAndFile) {
  const FaultCase& fault = GetParam();
  if (fault.partial > 0) writeFile(target, content.substr(0, fault.partial));
  host.server().route("/file",
                      [&](const PelorinTesting::Request&) { return fault.reply(content); });
  auto outcome = download("/file", fault.bytes);
  EXPECT_EQ(outcome.error, fault.error) << outcome.error.message();
  if (fault.left == Left::nothing) {
    EXPECT_FALSE(fs::exists(fs::symlink_status(target)));
  } else {
    EXPECT_EQ(readFile(target), content.substr(0, fault.leftBytes));
  }
}

const std::error_code kInvalidResponse = InstallerError::invalidResponse;
const std::error_code kDamaged = InstallerError::damagedDownload;

INSTANTIATE_TEST_SUITE_P(
    Downloader, ServerFaults,
    ::testing::Values(
        FaultCase{"PartialAnswerFromAnotherByte", kPartial, kSize,
                  [](const std::string& c) {
                    return sized(206, c.substr(kPartial - 1),
                                 {{"Content-Range", contentRange(kPartial - 1, kSize)}});
                  },
                  kInvalidResponse, Left::nothing},
        FaultCase{
            "PartialAnswerWithoutTotal", kPartial, kSize,
            [](const std::string& c) {
              return sized(206, c.substr(kPartial), {{"Content-Range", "bytes 1000-299999/*"}});
            },
            kInvalidResponse, Left::nothing},
        FaultCase{"PartialAnswerWithoutContentRange", kPartial, kSize,
                  [](const std::string& c) { return sized(206, c.substr(kPartial)); },
                  kInvalidResponse, Left::nothing},
        FaultCase{"PartialAnswerToAWholeFileRequest", 0, kSize,
                  [](const std::string& c) {
                    return sized(206, c, {{"Content-Range", contentRange(0, kSize)}});
                  },
                  kInvalidResponse, Left::nothing},
        FaultCase{"RangeNotSatisfiable", kPartial, kSize,
                  [](const std::string&) { return sized(416, ""); }, kInvalidResponse,
                  Left::nothing},
        FaultCase{"NotModified", kPartial, kSize, [](const std::string&) { return sized(304, ""); },
                  kInvalidResponse, Left::nothing},
        FaultCase{"ServerError", 0, kSize, [](const std::string&) { return sized(500, "oops"); },
                  kInvalidResponse, Left::nothing},
        FaultCase{"RedirectWithoutLocation", kPartial, kSize,
                  [](const std::string&) { return sized(302, ""); }, kInvalidResponse,
                  Left::nothing},
        FaultCase{"WholeAnswerAnnouncingAnotherLength", kPartial, kSize,
                  [](const std::string& c) { return sized(200, c.substr(1)); }, kInvalidResponse,
                  Left::nothing},
        FaultCase{"PartialAnswerAnnouncingAnotherLength", kPartial, kSize,
                  [](const std::string& c) {
                    return sized(206, c.substr(kPartial, kSize - kPartial - 1),
                                 {{"Content-Range", contentRange(kPartial, kSize)}});
                  },
                  kInvalidResponse, Left::nothing},
        FaultCase{"OneByteTooMany", 0, kSize,
                  [](const std::string& c) {
                    auto reply = sized(200, c + "!");
                    reply.chunked = true;
                    return reply;
                  },
                  kDamaged, Left::nothing},
        FaultCase{"BodyEndsShortWithoutAnnouncedLength", kPartial, kSize,
                  [](const std::string& c) {
                    auto reply = sized(206, c.substr(kPartial, kSize - kPartial - 10),
                                       {{"Content-Range", contentRange(kPartial, kSize)}});
                    reply.chunked = true;
                    return reply;
                  },
                  kDamaged, Left::partial, kSize - 10},
        FaultCase{"ConnectionDroppedMidBody", kPartial, kSize,
                  [](const std::string& c) {
                    auto reply = sized(206, c.substr(kPartial),
                                       {{"Content-Range", contentRange(kPartial, kSize)}});
                    reply.dropAfter = 50'000;
                    return reply;
                  },
                  network(18), Left::partial, kPartial + 50'000},
        FaultCase{"UnsizedBodyBeyondOneMiB", kPartial, std::nullopt,
                  [](const std::string&) {
                    auto reply = sized(200, std::string(kMiB + 1, 'm'));
                    reply.chunked = true;
                    return reply;
                  },
                  kDamaged, Left::nothing},
        FaultCase{"UnsizedBodyAnnouncingOneMiBAndOne", 0, std::nullopt,
                  [](const std::string&) { return sized(200, std::string(kMiB + 1, 'm')); },
                  kInvalidResponse, Left::nothing},
        FaultCase{"UnsizedBodyWithAPartialAnswer", 0, std::nullopt,
                  [](const std::string&) {
                    return sized(206, "{}", {{"Content-Range", "bytes 0-1/2"}});
                  },
                  kInvalidResponse, Left::nothing}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DownloaderTest, AnUnsizedBodyOfExactlyOneMiBIsAccepted) {
  const std::string body(kMiB, 'j');
  host.server().route("/latest.json",
                      [&](const PelorinTesting::Request&) { return sized(200, body); });
  auto outcome = download("/latest.json", std::nullopt);
  ASSERT_FALSE(outcome.error) << outcome.error.message();
  EXPECT_EQ(readFile(target), body);
}

TEST_F(DownloaderTest, ABodyThatStopsLongerThanTheRequestTimeOutEndsTheTransferAndKeepsThePart) {
  settings.requestTimeout = std::chrono::milliseconds(300);
  host.server().route("/file", [&](const PelorinTesting::Request&) {
    auto reply = sized(200, content);
    reply.stallAfter = 100'000;
    return reply;
  });
  auto outcome = download("/file");
  EXPECT_EQ(outcome.error, network(28));  // CURLE_OPERATION_TIMEDOUT
  EXPECT_EQ(readFile(target), content.substr(0, 100'000));
}

TEST_F(DownloaderTest, ATransferLongerThanItsWholeTimeOutEndsAndKeepsThePart) {
  settings.transferTimeout = std::chrono::milliseconds(500);
  host.server().route("/file", [&](const PelorinTesting::Request&) {
    auto reply = sized(200, content);  // about 15 s at this pace, never idle for long
    reply.pieceSize = 1000;
    reply.pause = std::chrono::milliseconds(50);
    return reply;
  });
  auto outcome = download("/file");
  EXPECT_EQ(outcome.error, network(28));
  auto left = readFile(target).value_or("");
  EXPECT_GT(left.size(), 0u);
  EXPECT_LT(left.size(), kSize);
  EXPECT_EQ(left, content.substr(0, left.size()));
}

// --- The URL policy -------------------------------------------------------------------------

TEST_F(DownloaderTest, ARefusedURLIsNeverRequestedAndTheFileIsLeftAlone) {
  for (const std::string& url : std::vector<std::string>{
           "http://" + hostName() + "/file", "https://other.example/file",
           "https://" + hostName() + ":8443/file", "https://user@" + hostName() + "/file",
           "https://" + hostName() + "/file#part"}) {
    writeFile(target, content.substr(0, kPartial));
    auto d = downloaderFor(url, kSize);
    EXPECT_EQ(outcomeOf(d).error, InstallerError::invalidURL) << url;
    EXPECT_EQ(readFile(target), content.substr(0, kPartial)) << url;
  }
  EXPECT_EQ(host.server().requestCount(), 0u);
}

struct RedirectCase {
  const char* name;
  std::string location;
};

void PrintTo(const RedirectCase& redirect, std::ostream* out) { *out << redirect.location; }

class RefusedRedirects : public DownloaderTest,
                         public ::testing::WithParamInterface<RedirectCase> {};

// A redirect that is not followed leaves its own 3xx answer as the response, which the download
// cannot use: the recorded invalidURL gives way to invalidResponse and the part is discarded.
TEST_P(RefusedRedirects, AreNeverContactedAndDiscardThePartialFile) {
  ContactProbe probe;
  const std::string name(InstallerCore::Distribution::host());
  for (auto entry : {TestDistribution::connectTo(name, 80, probe.port()),
                     TestDistribution::connectTo(name, 21, probe.port()),
                     TestDistribution::connectTo(name, 8443, probe.port()),
                     TestDistribution::connectTo("other.example", 443, probe.port())}) {
    settings.connectTo.push_back(entry);
  }
  writeFile(target, content.substr(0, kPartial));
  host.server().route("/file", [&](const PelorinTesting::Request&) {
    return Reply::redirect(302, GetParam().location);
  });
  host.server().route("/moved", PelorinTesting::serveFile(content));

  auto outcome = download("/file");
  EXPECT_EQ(outcome.error, InstallerError::invalidResponse);
  EXPECT_FALSE(fs::exists(fs::symlink_status(target)));
  EXPECT_EQ(probe.connections(), 0);
  EXPECT_EQ(host.server().requestCount(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Downloader, RefusedRedirects,
    ::testing::Values(RedirectCase{"PlainHttp", "http://" + hostName() + "/moved"},
                      RedirectCase{"Ftp", "ftp://" + hostName() + "/moved"},
                      RedirectCase{"AnotherHost", "https://other.example/moved"},
                      RedirectCase{"AnotherHostSchemeRelative", "//other.example/moved"},
                      RedirectCase{"AnotherPort", "https://" + hostName() + ":8443/moved"},
                      RedirectCase{"UserName", "https://user@" + hostName() + "/moved"},
                      RedirectCase{"Password", "https://user:secret@" + hostName() + "/moved"},
                      RedirectCase{"Fragment", "https://" + hostName() + "/moved#top"},
                      RedirectCase{"HostInOtherLetterCase",
                                   "https://UPPER." + hostName() + "/moved"},
                      RedirectCase{"NotAURL", "https://[::1/moved"}),
    [](const auto& info) { return std::string(info.param.name); });

struct FollowCase {
  const char* name;
  int status;
  std::string location;  // from "/dir/start"
};

void PrintTo(const FollowCase& redirect, std::ostream* out) {
  *out << redirect.status << " " << redirect.location;
}

class FollowedRedirects : public DownloaderTest,
                          public ::testing::WithParamInterface<FollowCase> {};

TEST_P(FollowedRedirects, KeepTheRequestHeadersAndResume) {
  writeFile(target, content.substr(0, kPartial));
  host.server().route("/dir/start", [&](const PelorinTesting::Request&) {
    auto reply = Reply::redirect(GetParam().status, GetParam().location);
    reply.headers.emplace_back("Set-Cookie", "session=1; Path=/");
    return reply;
  });
  host.server().route("/dir/moved", PelorinTesting::serveFile(content));

  auto outcome = download("/dir/start");
  ASSERT_FALSE(outcome.error) << outcome.error.message();
  EXPECT_EQ(readFile(target), content);
  auto requests = host.server().requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].path, "/dir/moved");
  EXPECT_EQ(requests[1].header("Range"), "bytes=1000-");
  EXPECT_EQ(requests[1].header("Accept-Encoding"), "identity");
  EXPECT_FALSE(requests[1].header("Cookie"));
}

INSTANTIATE_TEST_SUITE_P(Downloader, FollowedRedirects,
                         ::testing::Values(FollowCase{"Relative", 302, "moved"},
                                           FollowCase{"AbsolutePath", 301, "/dir/moved"},
                                           FollowCase{"SeeOther", 303, "/dir/./moved"},
                                           FollowCase{"Temporary", 307,
                                                      "https://" + hostName() + "/dir/moved"},
                                           FollowCase{"PermanentWithPort443", 308,
                                                      "https://" + hostName() + ":443/dir/moved"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DownloaderTest, ARedirectLoopEndsAsATransportErrorAndKeepsThePart) {
  writeFile(target, content.substr(0, kPartial));
  host.server().route("/loop",
                      [](const PelorinTesting::Request&) { return Reply::redirect(302, "/loop"); });
  auto outcome = download("/loop");
  EXPECT_EQ(outcome.error, network(47));  // CURLE_TOO_MANY_REDIRECTS
  EXPECT_EQ(host.server().requestCount(), 11u);
  EXPECT_EQ(readFile(target), content.substr(0, kPartial));
}

// --- The file on disk -----------------------------------------------------------------------

TEST_F(DownloaderTest, AnItemThatIsNotARegularFileIsLeftInPlace) {
  host.server().route("/file", PelorinTesting::serveFile(content));
  writeFile(folder / "real", "real");
  auto check = [&](const char* what) {
    auto outcome = download("/file");
    EXPECT_EQ(outcome.error, InstallerError::damagedDownload) << what;
  };

  fs::create_directory(target);
  check("a directory");
  EXPECT_TRUE(fs::is_directory(target));
  fs::remove(target);

  fs::create_symlink(folder / "real", target);
  check("a symbolic link to a file");
  EXPECT_TRUE(fs::is_symlink(target));
  EXPECT_EQ(readFile(folder / "real"), "real");
  fs::remove(target);

  fs::create_symlink(folder / "missing", target);
  check("a dangling symbolic link");
  EXPECT_TRUE(fs::is_symlink(target));
  EXPECT_FALSE(fs::exists(folder / "missing"));
  fs::remove(target);

  ASSERT_EQ(::mkfifo(target.c_str(), 0600), 0);
  check("a FIFO");
  EXPECT_TRUE(fs::is_fifo(target));

  EXPECT_EQ(host.server().requestCount(), 0u);
}

TEST_F(DownloaderTest, AnUnwritablePartialFileFailsWithTheFileErrorAndStaysAsItWas) {
  writeFile(target, content.substr(0, kPartial));
  host.server().route("/file", PelorinTesting::serveFile(content));
  {
    Unwritable guard(target);
    if (!guard.active()) GTEST_SKIP() << "cannot make a file unwritable here";
    auto outcome = download("/file");
    EXPECT_TRUE(outcome.error == std::errc::operation_not_permitted ||
                outcome.error == std::errc::permission_denied)
        << outcome.error.message();
  }
  EXPECT_EQ(readFile(target), content.substr(0, kPartial));
  EXPECT_EQ(host.server().requestCount(), 0u);
}

TEST_F(DownloaderTest, AFolderWhereNoFileCanBeCreatedFailsWithTheFileError) {
  host.server().route("/file", PelorinTesting::serveFile(content));
  {
    Unwritable guard(folder.path());
    if (!guard.active()) GTEST_SKIP() << "cannot make a folder unwritable here";
    auto outcome = download("/file");
    EXPECT_TRUE(outcome.error == std::errc::operation_not_permitted ||
                outcome.error == std::errc::permission_denied)
        << outcome.error.message();
  }
  target = folder / "missing" / "download.bin";
  EXPECT_EQ(download("/file").error, std::errc::no_such_file_or_directory);
  EXPECT_EQ(host.server().requestCount(), 0u);
}

TEST_F(DownloaderTest, ANewFileIsPrivateWhateverTheUmask) {
  host.server().route("/file", PelorinTesting::serveFile(content));
  for (mode_t mask : {0000, 0077, 0277}) {
    fs::remove(target);
    mode_t previous = ::umask(mask);
    auto outcome = download("/file");
    ::umask(previous);
    ASSERT_FALSE(outcome.error) << outcome.error.message();
    struct stat status {};
    ASSERT_EQ(::stat(target.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u) << "umask " << mask;
  }
}

TEST_F(DownloaderTest, TheEnvironmentHasNoSay) {
  // A proxy from the environment and credentials from ~/.netrc must not be used.
  ContactProbe proxy;
  writeFile(folder / ".netrc", "machine " + hostName() + " login someone password secret\n");
  std::string proxyURL = "http://127.0.0.1:" + std::to_string(proxy.port());
  const char* oldHome = std::getenv("HOME");
  std::string savedHome = oldHome ? oldHome : "";
  ::setenv("HOME", folder.path().c_str(), 1);
  for (auto name : {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
    ::setenv(name, proxyURL.c_str(), 1);
  }
  host.server().route("/file", PelorinTesting::serveFile(content));
  auto outcome = download("/file");
  for (auto name : {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) ::unsetenv(name);
  oldHome ? ::setenv("HOME", savedHome.c_str(), 1) : ::unsetenv("HOME");

  ASSERT_FALSE(outcome.error) << outcome.error.message();
  EXPECT_EQ(proxy.connections(), 0);
  EXPECT_FALSE(host.server().requests().at(0).header("Authorization"));
}

// --- TLS ------------------------------------------------------------------------------------

TEST_F(DownloaderTest, AServerThatCannotProveItIsTheHostGetsNothingAndWritesNothing) {
  PelorinTesting::CertificateAuthority stranger("Untrusted Test CA");
  struct Case {
    const char* name;
    PelorinTesting::TlsIdentity identity;
    int error;
  };
  for (const auto& tls :
       {Case{"certificate for another name", host.authority().issue("other.example"), 60},
        Case{"certificate from an untrusted authority", stranger.issue(hostName()), 60}}) {
    PelorinTesting::TestServer impostor(tls.identity);
    impostor.route("/file", PelorinTesting::serveFile(content));
    settings.connectTo = {TestDistribution::connectTo(hostName(), 443, impostor.port())};
    writeFile(target, content.substr(0, kPartial));

    auto outcome = download("/file");
    EXPECT_EQ(outcome.error, network(tls.error)) << tls.name;  // CURLE_PEER_FAILED_VERIFICATION
    EXPECT_EQ(readFile(target), content.substr(0, kPartial)) << tls.name;
    EXPECT_EQ(impostor.requestCount(), 0u) << tls.name;
    EXPECT_EQ(impostor.bodyBytesSent(), 0) << tls.name;
  }
}

// --- Cancellation ---------------------------------------------------------------------------

// Tells another thread when the downloader has stored a number of bytes.
class StoredBytes {
 public:
  void report(std::int64_t bytes) {
    std::lock_guard guard(lock_);
    stored_ = bytes;
    changed_.notify_all();
  }
  bool waitFor(std::int64_t bytes) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, std::chrono::seconds(10), [&] { return stored_ >= bytes; });
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::int64_t stored_ = 0;
};

TEST_F(DownloaderTest, ACancelBeforeRunTouchesNothing) {
  writeFile(target, content.substr(0, kPartial));
  host.server().route("/file", PelorinTesting::serveFile(content));
  token->cancel();
  EXPECT_EQ(download("/file").error, InstallerError::cancelled);
  EXPECT_EQ(readFile(target), content.substr(0, kPartial));
  fs::remove(target);
  EXPECT_EQ(download("/file").error, InstallerError::cancelled);
  EXPECT_FALSE(fs::exists(target));
  EXPECT_EQ(host.server().requestCount(), 0u);
}

TEST_F(DownloaderTest, ACancelBetweenTheTokenCheckAndTheAttachStopsTheTransferBeforeItStarts) {
  writeFile(target, content.substr(0, kPartial));
  host.server().route("/file", PelorinTesting::serveFile(content));
  auto d = downloader("/file", kSize);
  DownloaderProbe::beforeAttach(d, [&] { token->cancel(); });
  EXPECT_EQ(outcomeOf(d).error, network(kTransferCancelled));
  EXPECT_EQ(host.server().requestCount(), 0u);
  EXPECT_EQ(readFile(target), content.substr(0, kPartial));
}

TEST_F(DownloaderTest, ACancelFromAnotherThreadStopsABlockedTransferAndKeepsThePart) {
  writeFile(target, content.substr(0, kPartial));
  host.server().route("/file", [&](const PelorinTesting::Request&) {
    auto reply =
        sized(206, content.substr(kPartial), {{"Content-Range", contentRange(kPartial, kSize)}});
    reply.stallAfter = 60'000;
    return reply;
  });
  StoredBytes stored;
  auto d = Downloader(*InstallerCore::Url::parse(TestDistribution::url("/file")), target, kSize,
                      token, settings, [&](double fraction) {
                        reports.push_back(fraction);
                        stored.report(std::llround(fraction * kSize));
                      });
  std::thread canceller([&] {
    EXPECT_TRUE(host.server().waitForStalls(1, std::chrono::seconds(10)));
    EXPECT_TRUE(stored.waitFor(kPartial + 60'000));
    token->cancel();
    token->cancel();  // twice is harmless
  });
  auto outcome = outcomeOf(d);
  canceller.join();
  EXPECT_EQ(outcome.error, network(kTransferCancelled));
  EXPECT_EQ(readFile(target), content.substr(0, kPartial + 60'000));

  // The token stays cancelled, and a late cancel after the transfer reaches nothing.
  token->cancel();
  EXPECT_EQ(download("/file").error, InstallerError::cancelled);
  EXPECT_EQ(host.server().requestCount(), 1u);
}

// The host name goes through getaddrinfo (the connect-to mapping names a slow test host, not an
// address); neither a cancel nor the idle limit may wait for the lookup to end.
TEST_F(DownloaderTest, ASlowNameLookupHoldsUpNeitherACancelNorTheIdleLimit) {
  constexpr auto kLookup = std::chrono::seconds(8);
  struct Case {
    const char* name;
    bool cancel;  // once the lookup has begun
    std::chrono::milliseconds idle;
    int error;
  };
  host.server().route("/file", PelorinTesting::serveFile(content));
  settings.connectTo = {hostName() + ":443:" + PelorinTesting::slowLookupName(kLookup) + ":" +
                        std::to_string(host.server().port())};
  for (const auto& c : {Case{"cancel", true, std::chrono::seconds(10), kTransferCancelled},
                        Case{"idle limit", false, std::chrono::milliseconds(500), 28}}) {
    token = std::make_shared<Cancellation>();
    settings.requestTimeout = c.idle;
    writeFile(target, content.substr(0, kPartial));
    const int lookups = PelorinTesting::slowLookupsStarted();
    std::thread canceller([&] {
      auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (PelorinTesting::slowLookupsStarted() == lookups &&
             std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      if (c.cancel) token->cancel();
    });
    auto start = std::chrono::steady_clock::now();
    auto outcome = download("/file");
    auto took = std::chrono::steady_clock::now() - start;
    canceller.join();
    EXPECT_GT(PelorinTesting::slowLookupsStarted(), lookups) << c.name;
    EXPECT_EQ(outcome.error, network(c.error)) << c.name;
    EXPECT_LT(took, kLookup / 4) << c.name;
    EXPECT_EQ(readFile(target), content.substr(0, kPartial)) << c.name;
  }
  EXPECT_EQ(host.server().requestCount(), 0u);
}

TEST_F(DownloaderTest, ACancelAfterASuccessfulTransferChangesNothing) {
  host.server().route("/file", PelorinTesting::serveFile(content));
  ASSERT_FALSE(download("/file").error);
  token->cancel();
  EXPECT_EQ(readFile(target), content);
}

// --- Failures inside the transfer -----------------------------------------------------------

// Writing past a size limit of the process fails with EFBIG while it is in force.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    signal_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved_;
    lowered.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, signal_);
  }

 private:
  rlimit saved_{};
  void (*signal_)(int);
};

// Whatever fails while the transfer runs reaches the caller unchanged, and the token no longer
// reaches the transfer afterwards, so a late cancel is harmless.
TEST_F(DownloaderTest, AFailureInsideTheTransferReachesTheCallerAndLeavesTheTokenDetached) {
  struct Case {
    const char* name;
    std::optional<rlim_t> fileSizeLimit;
    bool failProgress;
    bool failOnceRegistered;
    std::errc error;
  };
  host.server().route("/file", PelorinTesting::serveFile(content));
  for (const auto& c :
       {Case{"write error", 100'000, false, false, std::errc::file_too_large},
        Case{"progress failure", std::nullopt, true, false, std::errc::io_error},
        Case{"failure once registered", std::nullopt, false, true, std::errc::interrupted}}) {
    fs::remove(target);
    auto d = Downloader(*InstallerCore::Url::parse(TestDistribution::url("/file")), target, kSize,
                        token, settings, [&](double) {
                          if (c.failProgress) throw std::system_error(make_error_code(c.error));
                        });
    std::weak_ptr<CancellableTask> registered;
    bool wasRegistered = false;
    DownloaderProbe::afterAttach(d, [&](const std::shared_ptr<CancellableTask>& task) {
      registered = task;
      wasRegistered = true;
      if (c.failOnceRegistered) throw std::system_error(make_error_code(c.error));
    });
    Outcome outcome;
    {
      std::optional<FileSizeLimit> limit;
      if (c.fileSizeLimit) limit.emplace(*c.fileSizeLimit);
      outcome = outcomeOf(d);
    }
    EXPECT_EQ(outcome.error, c.error) << c.name << ": " << outcome.error.message();
    EXPECT_TRUE(wasRegistered && registered.expired()) << c.name;
    token->cancel();
    token = std::make_shared<Cancellation>();
  }
}

// --- Progress -------------------------------------------------------------------------------

TEST_F(DownloaderTest, ProgressNeverGoesBackEvenWhenARangeRequestIsAnsweredWhole) {
  writeFile(target, std::string(290'000, 'x'));
  host.server().route("/file", [&](const PelorinTesting::Request&) { return sized(200, content); });
  ASSERT_FALSE(download("/file").error);
  ASSERT_FALSE(reports.empty());
  EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
  EXPECT_LT(reports.front(), 290'000.0 / kSize);  // counted from 0, not from the discarded part
  EXPECT_EQ(reports.back(), 1.0);
}

TEST_F(DownloaderTest, TheFirstReportOfAResumedTransferCountsThePartialFile) {
  const std::size_t partial = 200'000;
  writeFile(target, content.substr(0, partial));
  host.server().route("/file", PelorinTesting::serveFile(content));
  ASSERT_FALSE(download("/file").error);
  ASSERT_FALSE(reports.empty());
  EXPECT_GT(reports.front(), static_cast<double>(partial) / kSize);
  EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
  EXPECT_EQ(reports.back(), 1.0);
}

TEST_F(DownloaderTest, ADownloadWithoutExpectedSizeReportsNoProgress) {
  host.server().route("/latest.json",
                      [](const PelorinTesting::Request&) { return sized(200, pattern(500'000)); });
  ASSERT_FALSE(download("/latest.json", std::nullopt).error);
  EXPECT_EQ(readFile(target), pattern(500'000));
  EXPECT_TRUE(reports.empty());
}

}  // namespace
}  // namespace PelorinInstaller

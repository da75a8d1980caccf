#include "PelorinRelease/HostCheck.hpp"

#include <curl/curl.h>

#include <InstallerCore/Distribution.hpp>
#include <InstallerCore/DownloadResponse.hpp>
#include <InstallerCore/InstallerError.hpp>
#include <InstallerCore/ReleaseManifest.hpp>
#include <algorithm>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

#include <PelorinBase/Files.hpp>
#include <PelorinSeal/Seal.hpp>
#include "PelorinRelease/Release.hpp"
#include "pipeline/Attachment.hpp"
#include "pipeline/Checks.hpp"
#include "pipeline/CommandError.hpp"
#include "pipeline/CurlHandles.hpp"
#include "pipeline/Downloader.hpp"
#include "pipeline/NetworkError.hpp"

namespace PelorinRelease {
namespace {

using InstallerCore::InstallerError;
using InstallerCore::ReleaseManifest;
using InstallerCore::Url;
using PelorinInstaller::TransferSettings;
namespace Distribution = InstallerCore::Distribution;

constexpr std::size_t kProbeBytes = 64 * 1024;  // what a probe reads of an image
constexpr std::size_t kManifestCap = 1'048'576;
constexpr int kRedirectLimit = 10;  // as the downloader

using Easy = PelorinInstaller::CurlEasy;
using List = PelorinInstaller::CurlList;

List listOf(const std::vector<std::string>& items) {
  List list;
  for (const auto& item : items) {
    curl_slist* grown = curl_slist_append(list.get(), item.c_str());
    if (!grown) throw std::bad_alloc();
    (void)list.release();
    list.reset(grown);
  }
  return list;
}

// The message key the installer's window shows for an error, with the detail it adds.
std::string seenAs(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::system_error& failure) {
    const auto& code = failure.code();
    if (code.category() == InstallerCore::installerCategory()) {
      return "error." + std::string(InstallerCore::name(InstallerError(code.value())));
    }
    if (code.category() == PelorinInstaller::networkCategory()) {
      return "error.network (" + code.message() + ")";
    }
    return "error.generic (" + std::string(code.category().name()) + ": " +
           std::to_string(code.value()) + "): " + failure.what();
  } catch (const PelorinInstaller::CommandError& failure) {
    return "error.verification (" + failure.tool + ": " + std::to_string(failure.status) + ")";
  } catch (const nlohmann::json::exception& failure) {
    return "error.generic (json: " + std::to_string(failure.id) + "): " + failure.what();
  } catch (const std::exception& failure) {
    return std::string("error.generic: ") + failure.what();
  }
}

std::string networkText(CURLcode code) {
  return "error.network (" + std::string(curl_easy_strerror(code)) + ")";
}

template <typename Value>
void set(CURL* easy, CURLoption option, Value value) {
  if (auto code = curl_easy_setopt(easy, option, value); code != CURLE_OK) {
    throw PelorinInstaller::networkError(code);
  }
}

// The same options as every transfer of the installer, without following redirects.
void configure(CURL* easy, const std::string& url, const TransferSettings& settings,
               curl_slist* connectTo) {
  set(easy, CURLOPT_URL, url.c_str());
  set(easy, CURLOPT_PROTOCOLS_STR, "https");
  set(easy, CURLOPT_FOLLOWLOCATION, 0L);
  set(easy, CURLOPT_NETRC, static_cast<long>(CURL_NETRC_IGNORED));
  set(easy, CURLOPT_PROXY, "");
  set(easy, CURLOPT_NOSIGNAL, 1L);
  set(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  set(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!settings.caFile.empty()) set(easy, CURLOPT_CAINFO, settings.caFile.c_str());
  if (connectTo) set(easy, CURLOPT_CONNECT_TO, connectTo);
  // The installer's limits: idle time per request (the connection here, the body in fetch())
  // and the whole transfer.
  set(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings.requestTimeout.count()));
  set(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(settings.transferTimeout.count()));
}

// What the host answered to one GET, after the redirects the installer would follow.
struct Answer {
  CURLcode result = CURLE_OK;
  long status = 0;
  std::optional<std::string> contentRange, contentEncoding;
  std::int64_t announced = -1;
  std::string body;                    // its first bytes, up to the cap
  bool cut = false;                    // more followed
  std::vector<std::string> redirects;  // followed, in order
  std::optional<std::string> refused;  // a redirect the installer would not follow
};

struct Receiving {
  Answer& answer;
  std::size_t cap;
  std::chrono::milliseconds idle;
  std::chrono::steady_clock::time_point since = std::chrono::steady_clock::now();
  curl_off_t received = 0;
  bool stalled = false;
};

// Ends a request that has received nothing for the idle time, as the downloader does.
int watch(void* user, curl_off_t, curl_off_t now, curl_off_t, curl_off_t) {
  auto& receiving = *static_cast<Receiving*>(user);
  auto time = std::chrono::steady_clock::now();
  if (now != receiving.received) {
    receiving.received = now;
    receiving.since = time;
  } else if (time - receiving.since >= receiving.idle) {
    receiving.stalled = true;
    return 1;
  }
  return 0;
}

std::size_t keep(char* bytes, std::size_t size, std::size_t count, void* user) {
  auto& receiving = *static_cast<Receiving*>(user);
  auto& body = receiving.answer.body;
  std::size_t length = size * count, room = receiving.cap - body.size();
  body.append(bytes, std::min(length, room));
  if (length <= room) return length;
  receiving.answer.cut = true;
  return CURL_WRITEFUNC_ERROR;
}

// The header's value; several of one name joined with ", ", as the downloader reads them.
std::optional<std::string> header(CURL* easy, const char* name) {
  std::optional<std::string> value;
  curl_header* found = nullptr;
  for (std::size_t i = 0; curl_easy_header(easy, name, i, CURLH_HEADER, -1, &found) == CURLHE_OK;
       ++i) {
    value = value ? *value + ", " + found->value : std::string(found->value);
    if (i + 1 >= found->amount) break;
  }
  return value;
}

bool isRedirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// GET `url` (from byte `from` when given), reading at most `cap` bytes of the body.
Answer fetch(Url url, std::optional<std::int64_t> from, std::size_t cap,
             const TransferSettings& settings) {
  std::vector<std::string> headers{"Accept-Encoding: identity"};
  if (from) headers.push_back("Range: bytes=" + std::to_string(*from) + "-");
  auto requestHeaders = listOf(headers);
  auto connectTo = listOf(settings.connectTo);
  Answer answer;
  for (int redirects = 0;; ++redirects) {
    Easy easy(curl_easy_init());
    if (!easy) throw std::bad_alloc();
    configure(easy.get(), url.text(), settings, connectTo.get());
    Receiving receiving{answer, cap, settings.requestTimeout};
    answer.body.clear();
    answer.cut = false;
    set(easy.get(), CURLOPT_HTTPHEADER, requestHeaders.get());
    set(easy.get(), CURLOPT_WRITEFUNCTION, &keep);
    set(easy.get(), CURLOPT_WRITEDATA, static_cast<void*>(&receiving));
    set(easy.get(), CURLOPT_XFERINFOFUNCTION, &watch);
    set(easy.get(), CURLOPT_XFERINFODATA, static_cast<void*>(&receiving));
    set(easy.get(), CURLOPT_NOPROGRESS, 0L);
    answer.result = curl_easy_perform(easy.get());
    if (answer.cut && answer.result == CURLE_WRITE_ERROR) answer.result = CURLE_OK;
    if (receiving.stalled) answer.result = CURLE_OPERATION_TIMEDOUT;
    curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &answer.status);
    curl_off_t announced = -1;
    curl_easy_getinfo(easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
    answer.announced = announced;
    answer.contentRange = header(easy.get(), "Content-Range");
    answer.contentEncoding = header(easy.get(), "Content-Encoding");
    auto location = header(easy.get(), "Location");
    if (answer.result != CURLE_OK || !isRedirect(answer.status) || !location) return answer;
    auto target = PelorinInstaller::resolveRedirect(url, *location);
    if (!target || !Distribution::accepts(*target)) {
      answer.refused = target ? target->text() : *location;
      return answer;
    }
    if (redirects == kRedirectLimit) {
      answer.result = CURLE_TOO_MANY_REDIRECTS;
      return answer;
    }
    answer.redirects.push_back(target->text());
    url = *target;
  }
}

std::string described(const Answer& answer) {
  std::string text;
  for (const auto& target : answer.redirects) text += "redirected to " + target + ", ";
  if (answer.refused) {
    return text + "redirected to " + *answer.refused +
           ", not followed (the installer's URL policy refuses it)";
  }
  if (answer.status == 0) return text + "no answer";
  text += "answered " + std::to_string(answer.status);
  if (answer.contentRange) text += " with Content-Range \"" + *answer.contentRange + "\"";
  if (answer.contentEncoding) text += ", Content-Encoding \"" + *answer.contentEncoding + "\"";
  text += answer.announced >= 0 ? ", " + std::to_string(answer.announced) + " bytes announced"
                                : ", no length announced";
  return text;
}

CheckLine passed(std::string name, std::string detail) {
  return {std::move(name), true, std::move(detail)};
}
CheckLine failed(std::string name, std::string error, const std::string& detail) {
  return {std::move(name), false, error + ": " + detail};
}

// Bytes of an image as a probe received them, from `start`.
struct Sample {
  std::int64_t start;
  std::string bytes;
};

// A request for an image from `offset`, judged as the downloader judges a response; what a
// passing one received goes to `samples`.
CheckLine probe(const std::string& name, const ReleaseManifest::Artifact& artifact,
                std::int64_t offset, const TransferSettings& settings,
                std::vector<Sample>& samples) {
  auto answer =
      fetch(artifact.url, offset ? std::optional(offset) : std::nullopt, kProbeBytes, settings);
  auto what = described(answer);
  // The downloader then judges the redirect's own answer, a 3xx, and that is what the window
  // shows.
  if (answer.refused) return failed(name, "error.invalidResponse", what);
  if (answer.result != CURLE_OK) return failed(name, networkText(answer.result), what);
  const auto bytes = artifact.bytes;
  const auto expected = "bytes " + std::to_string(offset) + "-" + std::to_string(bytes - 1) + "/" +
                        std::to_string(bytes);
  bool resumed = false;
  try {
    resumed =
        InstallerCore::DownloadResponse::append(answer.status, answer.contentRange, offset, bytes);
  } catch (...) {
    return failed(name, seenAs(std::current_exception()),
                  what + (offset ? "; wanted 206 with Content-Range \"" + expected + "\"" : ""));
  }
  const auto start = resumed ? offset : 0;
  const auto received = start + static_cast<std::int64_t>(answer.body.size());
  if (answer.announced >= 0 && answer.announced != bytes - start) {
    return failed(name, "error.invalidResponse",
                  what + "; the manifest's size leaves " + std::to_string(bytes - start));
  }
  if (answer.contentEncoding && *answer.contentEncoding != "identity") {
    return failed(name, "error.damagedDownload", what + ": not the image's own bytes");
  }
  if (received > bytes || (!answer.cut && received < bytes)) {
    return failed(name, "error.damagedDownload",
                  what + "; the body ends at byte " + std::to_string(received) +
                      (answer.cut ? " or later" : "") + ", the manifest says " +
                      std::to_string(bytes));
  }
  if (offset && !resumed) {
    return failed(name, "no resume", what + ": an interrupted download starts over");
  }
  samples.push_back({start, std::move(answer.body)});
  return passed(name, what);
}

// The certificates the host presents, leaf first: each subject, and the last one's issuer.
std::string presentedChain(CURL* easy) {
  curl_certinfo* info = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_CERTINFO, &info) != CURLE_OK || !info ||
      info->num_of_certs == 0) {
    return "no certificate";
  }
  std::string text, issuer;
  for (int i = 0; i < info->num_of_certs; ++i) {
    for (auto* field = info->certinfo[i]; field; field = field->next) {
      std::string_view line = field->data;
      if (line.starts_with("Subject:")) text += (i ? ", then " : "") + std::string(line.substr(8));
      if (line.starts_with("Issuer:")) issuer = line.substr(7);
    }
  }
  return text + ", issued by " + issuer;
}

// A TLS handshake with the distribution host, no request sent.
CheckLine checkTls(const TransferSettings& settings) {
  const auto name = "TLS chain of " + std::string(Distribution::host());
  const auto store = settings.caFile.empty() ? "the system's trust store" : settings.caFile;
  auto connectTo = listOf(settings.connectTo);
  auto handshake = [&](bool verify, CURLcode& result) {
    Easy easy(curl_easy_init());
    if (!easy) throw std::bad_alloc();
    configure(easy.get(), Distribution::manifestURL().text(), settings, connectTo.get());
    set(easy.get(), CURLOPT_CONNECT_ONLY, 1L);
    set(easy.get(), CURLOPT_CERTINFO, 1L);
    set(easy.get(), CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
    set(easy.get(), CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
    result = curl_easy_perform(easy.get());
    return presentedChain(easy.get());
  };
  CURLcode result;
  auto chain = handshake(true, result);
  if (result == CURLE_OK) return passed(name, chain + "; trusted by " + store);
  auto error = networkText(result);
  if (result != CURLE_PEER_FAILED_VERIFICATION) return failed(name, error, "no TLS connection");
  // Only to say what the host presents: the unverified connection sends nothing.
  CURLcode unverified;
  chain = handshake(false, unverified);
  return failed(name, error, chain + "; not trusted by " + store);
}

std::string versionText(InstallerCore::SystemVersion system) {
  return std::to_string(system.major) + "." + std::to_string(system.minor) + "." +
         std::to_string(system.patch);
}

// The manifest's own minimum system, from a decoding in which no system is too old.
std::optional<InstallerCore::SystemVersion> minimumOf(const std::string& text) {
  auto manifest = ReleaseManifest::decode(text, {999'999'999, 0, 0});
  auto version = InstallerCore::Version::parse(manifest.minimumSystemVersion);
  if (!version) return std::nullopt;
  const auto& numbers = version->numbers();
  return InstallerCore::SystemVersion{numbers[0], numbers[1], numbers[2]};
}

// Downloads the image whole with the installer's downloader and compares it with the manifest.
// Then the probes' bytes must be the image's own at their places: a host that serves another
// file to ranges breaks every resumed download.
CheckLine download(const std::string& name, const std::string& arch,
                   const ReleaseManifest::Artifact& artifact, const std::vector<Sample>& samples,
                   const fs::path& folder, const HostCheckOptions& options) {
  auto file = folder / ("app-" + arch + ".dmg");
  try {
    std::function<void(double)> progress;
    if (options.progress) progress = [&](double fraction) { options.progress(arch, fraction); };
    PelorinInstaller::Downloader(artifact.url, file, artifact.bytes, nullptr, options.transfer,
                                 progress)
        .run();
  } catch (...) {
    return failed(name, seenAs(std::current_exception()),
                  "the installer's downloader stopped; the manifest says " +
                      std::to_string(artifact.bytes) + " bytes");
  }
  auto digest = PelorinBase::sha256File(file);
  auto size = std::to_string(fs::file_size(file)) + " bytes";
  if (digest != artifact.sha256) {
    return failed(name, "error.damagedDownload",
                  size + " with SHA-256 " + digest + ", the manifest says " + artifact.sha256);
  }
  std::ifstream input(file, std::ios::binary);
  for (const auto& sample : samples) {
    std::string own(sample.bytes.size(), '\0');
    input.seekg(sample.start);
    input.read(own.data(), static_cast<std::streamsize>(own.size()));
    if (!input || own != sample.bytes) {
      return failed(name, "error.damagedDownload",
                    "the bytes served from byte " + std::to_string(sample.start) +
                        " are not the image's: a download resumed there fails its digest");
    }
  }
  return passed(name, size + ", SHA-256 as in the manifest, and so are the probes' bytes");
}

// The stand-ins trusting `anchor`: they trust the key beside them, so they are linked (or copied)
// with it into `folder`. The key is checked first, as the stand-ins would check it.
PelorinInstaller::Host::Tools trusting(const PelorinInstaller::Host::Tools& tools,
                                       const fs::path& anchor, const fs::path& folder) {
  PelorinSeal::requireAnchor(readTextFile(anchor));
  fs::create_directory(folder);
  fs::copy_file(anchor, folder / "anchor.pem");
  PelorinInstaller::Host::Tools copies;
  for (auto [tool, copy] : {std::pair{&tools.hdiutil, &copies.hdiutil},
                            {&tools.ditto, &copies.ditto},
                            {&tools.codesign, &copies.codesign},
                            {&tools.spctl, &copies.spctl}}) {
    const auto target = folder / fs::path(*tool).filename();
    std::error_code linked;
    fs::create_hard_link(*tool, target, linked);
    if (linked) fs::copy_file(*tool, target);
    *copy = target.string();
  }
  return copies;
}

// What each of the installer's checks of a bundle says when it passes.
std::string passText(std::string_view check, const ReleaseManifest& manifest,
                     const fs::path& anchor) {
  if (check == "identifier") return std::string(Distribution::bundleID);
  if (check == "version") return manifest.version + ", as the manifest says";
  if (check == "minimum system") return "runs on " + manifest.minimumSystemVersion;
  if (check == "code signature")
    return "intact, signed with the key " + anchor.string() + " trusts";
  if (check == "requirement") return "team " + std::string(Distribution::teamID);
  if (check == "assessment") return "accepted";
  return "present";
}

// The tools that verify as the installer's would, trusting the given key or else the one beside
// them; none, after a failed line, when that key cannot be trusted.
std::optional<PelorinInstaller::Host::Tools> trustedTools(
    const PelorinInstaller::Host::Tools& tools, bool given, const fs::path& anchor,
    const fs::path& folder, const std::function<bool(CheckLine)>& add) {
  const auto name = "trust anchor " + anchor.string();
  try {
    if (!given) {
      PelorinSeal::requireAnchor(readTextFile(anchor));
      add(passed(name, "beside the tools, as the installer trusts it"));
      return tools;
    }
    auto copies = trusting(tools, anchor, folder);
    add(passed(name, "given with --anchor"));
    return copies;
  } catch (const std::exception& error) {
    add(failed(name, "error.verification (codesign: 1)",
               std::string(error.what()) + ": every release would be refused"));
    return std::nullopt;
  }
}

// Attaches the downloaded image read-only as the installer does and runs the installer's checks
// of the application in it, one line each, on the manifest's minimum system.
void verifyImage(const std::string& name, const std::string& arch, const fs::path& image,
                 const ReleaseManifest& manifest, const PelorinInstaller::Host::Tools& tools,
                 const fs::path& anchor, const std::function<bool(CheckLine)>& add) {
  PelorinInstaller::Host host;
  host.tools = tools;
  const auto minimum = InstallerCore::Version::parse(manifest.minimumSystemVersion)->numbers();
  host.system = {minimum[0], minimum[1], minimum[2]};
  const auto mountPoint = image.parent_path() / ("mount-" + arch);
  bool attached = false;
  try {
    fs::create_directory(mountPoint);
    PelorinInstaller::Attachment attachment(host, image, mountPoint);
    attached = true;
    add(passed(name + " attached", "read-only"));
    PelorinInstaller::verify(
        host, mountPoint / Distribution::appName, manifest.version, arch,
        [&](std::string_view check, std::exception_ptr failure) {
          const auto line = name + " " + std::string(check);
          if (!failure) {
            add(passed(line, passText(check, manifest, anchor)));
          } else {
            add(failed(line, seenAs(failure), "the installer refuses this application"));
          }
        });
  } catch (...) {
    // Each check's failure has its line already.
    if (!attached)
      add(failed(name + " attached", seenAs(std::current_exception()), "not attached"));
  }
  std::error_code ignored;
  fs::remove(mountPoint, ignored);
}

}  // namespace

std::vector<CheckLine> checkHost(const HostCheckOptions& options,
                                 const std::function<void(const CheckLine&)>& report) {
  std::vector<CheckLine> lines;
  auto add = [&](CheckLine line) {
    if (report) report(line);
    lines.push_back(std::move(line));
    return lines.back().passed;
  };
  static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (initialised != CURLE_OK) throw PelorinInstaller::networkError(initialised);
  if (!add(checkTls(options.transfer))) return lines;

  WorkFolder work(fs::temp_directory_path());
  const auto& url = Distribution::manifestURL();
  const std::string fetched = "manifest " + url.path();
  try {
    PelorinInstaller::Downloader(url, work.path() / "latest.json", std::nullopt, nullptr,
                                 options.transfer, {})
        .run();
  } catch (const std::system_error& error) {
    // A transport failure would only repeat; any other one: what the host answered.
    auto seen = seenAs(std::current_exception());
    if (error.code().category() == PelorinInstaller::networkCategory()) {
      add(failed(fetched, seen, "no usable answer"));
    } else {
      add(failed(fetched, seen,
                 described(fetch(url, std::nullopt, kManifestCap, options.transfer))));
    }
    return lines;
  }
  auto text = readTextFile(work.path() / "latest.json");
  add(passed(fetched, std::to_string(text.size()) + " bytes"));

  std::optional<ReleaseManifest> manifest;
  try {
    auto minimum = minimumOf(text);
    if (!minimum) throw std::system_error(InstallerError::invalidManifest);
    manifest = ReleaseManifest::decode(text, *minimum);
    add(passed("manifest on its minimum system " + versionText(*minimum),
               "release " + manifest->version));
  } catch (...) {
    add(failed("manifest on its minimum system", seenAs(std::current_exception()),
               "the installer refuses this document"));
    return lines;
  }
  const auto running = "manifest on this system " + versionText(options.system);
  try {
    ReleaseManifest::decode(text, options.system);
    add(passed(running, "accepted"));
  } catch (...) {
    add(failed(running, seenAs(std::current_exception()),
               "it needs " + manifest->minimumSystemVersion));
  }

  std::optional<PelorinInstaller::Host::Tools> tools;
  fs::path anchor;
  if (options.full && options.tools) {
    anchor =
        options.anchor.value_or(fs::path(options.tools->codesign).parent_path() / "anchor.pem");
    tools = trustedTools(*options.tools, options.anchor.has_value(), anchor, work.path() / "tools",
                         add);
  }
  for (const auto& [arch, artifact] : manifest->artifacts) {
    const auto image = arch + " " + artifact.url.path();
    std::vector<Sample> samples;
    add(probe(image + " from byte 0", artifact, 0, options.transfer, samples));
    if (artifact.bytes >= 2) {
      const auto middle = artifact.bytes / 2;
      add(probe(image + " from byte " + std::to_string(middle), artifact, middle, options.transfer,
                samples));
    }
    if (options.full &&
        add(download(image + " whole", arch, artifact, samples, work.path(), options)) && tools) {
      verifyImage(image, arch, work.path() / ("app-" + arch + ".dmg"), *manifest, *tools, anchor,
                  add);
    }
  }
  return lines;
}

std::string connectToHost(std::string_view host) {
  auto target = std::string(host);
  if (target.empty() || target.find_first_of("/ \t@?#") != std::string::npos) {
    throw ReleaseError("not a host name: " + target);
  }
  // "::1" cannot say where its port would begin: the port follows the brackets.
  if (target.front() != '[' && std::count(target.begin(), target.end(), ':') > 1) {
    throw ReleaseError(target + ": an IPv6 address goes in brackets, [" + target + "]:PORT");
  }
  // A port given after the name (or after "]" of an IPv6 address) is kept; otherwise 443.
  auto colon = target.rfind(':');
  auto bracket = target.rfind(']');
  bool hasPort = colon != std::string::npos && (bracket == std::string::npos || colon > bracket);
  if (hasPort) {
    const auto port = target.substr(colon + 1);
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) < 1 ||
        std::stoi(port) > 65535) {
      throw ReleaseError(target + ": the port must be a number from 1 to 65535");
    }
  }
  return std::string(Distribution::host()) + ":443:" + target + (hasPort ? "" : ":443");
}

}  // namespace PelorinRelease

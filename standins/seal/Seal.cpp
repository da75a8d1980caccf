#include "PelorinSeal/Seal.hpp"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <PelorinBase/Files.hpp>
#include <deque>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

namespace PelorinSeal {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using PelorinBase::FileDescriptor;

constexpr off_t kMaxResourcesBytes = 64 << 20;
constexpr off_t kMaxSignatureBytes = 1024;
constexpr std::size_t kSignatureBytes = 64;  // Ed25519
constexpr std::int64_t kFormat = 1;

struct Entry {
  enum class Type { file, directory, link } type;
  std::uint32_t mode = 0;  // files only
  std::string sha256;      // files only
  std::string target;      // links only
  friend bool operator==(const Entry&, const Entry&) = default;
};
using Entries = std::map<std::string, Entry>;

[[noreturn]] void doubt(const std::string& why) { throw SealError(why); }

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct DigestFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

// Opens a regular file without following a link or blocking on a FIFO.
FileDescriptor openRegular(const fs::path& file, struct stat& info) {
  FileDescriptor input(open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!input.isOpen()) doubt("cannot open " + file.string());
  if (fstat(input.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    doubt(file.string() + " is not a regular file");
  }
  return input;
}

std::string readSmallFile(const fs::path& file, off_t limit) {
  struct stat info;
  auto input = openRegular(file, info);
  if (info.st_size > limit) doubt(file.string() + " is too large");
  std::string bytes;
  if (!PelorinBase::readUpTo(input.get(), static_cast<std::size_t>(info.st_size), bytes) ||
      bytes.size() != static_cast<std::size_t>(info.st_size)) {
    doubt("cannot read " + file.string());
  }
  return bytes;
}

std::optional<std::vector<unsigned char>> unhex(std::string_view text) {
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  if (text.size() % 2) return std::nullopt;
  std::vector<unsigned char> bytes;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    int high = digit(text[i]), low = digit(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<unsigned char>(high * 16 + low));
  }
  return bytes;
}

// SHA-256 of a regular file and its permission bits.
Entry fileEntry(const fs::path& file) {
  struct stat info;
  auto input = openRegular(file, info);
  std::string digest;
  try {
    digest = PelorinBase::sha256(input.get(), file);
  } catch (const std::exception& error) {
    doubt(error.what());
  }
  return {Entry::Type::file, std::uint32_t(info.st_mode & 07777), digest, {}};
}

constexpr int kMaxLinksFollowed = 40;  // Linux's own limit

// The names of a relative path, with "" for each doubled or trailing slash.
std::vector<std::string> names(std::string_view path) {
  std::vector<std::string> parts;
  for (std::size_t start = 0;;) {
    auto end = path.find('/', start);
    parts.emplace_back(path.substr(start, end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

// Whether a link, resolved name by name through the bundle's own entries as the kernel would,
// ends inside the bundle. The target's text alone is not enough: "up/../../.." stays inside on
// paper, yet "up" may itself be a link to "..". A dangling last name is harmless; a missing
// folder, a file used as a folder, an absolute target or a loop is a doubt.
bool resolvesInside(const Entries& entries, const std::string& link) {
  auto route = names(link);
  std::deque<std::string> pending(route.begin(), route.end());
  std::string at;  // what is resolved so far, relative to the bundle; "" is the bundle itself
  int followed = 0;
  while (!pending.empty()) {
    auto name = std::move(pending.front());
    pending.pop_front();
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      if (at.empty()) return false;
      auto slash = at.rfind('/');
      at.erase(slash == std::string::npos ? 0 : slash);
      continue;
    }
    auto next = at.empty() ? name : at + "/" + name;
    auto found = entries.find(next);
    if (found == entries.end() || found->second.type == Entry::Type::file) return pending.empty();
    if (found->second.type == Entry::Type::directory) {
      at = std::move(next);
      continue;
    }
    const auto& target = found->second.target;
    if (target.empty() || target.front() == '/' || ++followed > kMaxLinksFollowed) return false;
    auto parts = names(target);
    pending.insert(pending.begin(), parts.begin(), parts.end());
  }
  return true;
}

bool isSealFile(const std::string& relative) {
  return relative == kResourcesFile || relative == kSignatureFile;
}

// Every entry under the bundle, the seal's own two files excepted.
Entries walk(const fs::path& bundle) {
  Entries entries;
  for (auto it = fs::recursive_directory_iterator(bundle); it != fs::recursive_directory_iterator();
       ++it) {
    auto relative = it->path().lexically_relative(bundle);
    auto name = relative.generic_string();
    if (isSealFile(name)) continue;
    auto status = it->symlink_status();
    if (fs::is_directory(status)) {
      entries.emplace(name, Entry{Entry::Type::directory, 0, {}, {}});
    } else if (fs::is_regular_file(status)) {
      entries.emplace(name, fileEntry(it->path()));
    } else if (fs::is_symlink(status)) {
      entries.emplace(name, Entry{Entry::Type::link, 0, {}, fs::read_symlink(it->path()).string()});
    } else {
      doubt(name + " is neither a file, a folder nor a link");
    }
  }
  for (const auto& [name, entry] : entries) {
    if (entry.type == Entry::Type::link && !resolvesInside(entries, name)) {
      doubt("link " + name + " does not resolve inside the bundle");
    }
  }
  return entries;
}

const char* typeName(Entry::Type type) {
  switch (type) {
    case Entry::Type::file:
      return "file";
    case Entry::Type::directory:
      return "directory";
    case Entry::Type::link:
      return "link";
  }
  return "";
}

json document(const Identity& identity, const Entries& entries) {
  json list = json::object();
  for (const auto& [name, entry] : entries) {
    json item = {{"type", typeName(entry.type)}};
    if (entry.type == Entry::Type::file) {
      item["mode"] = entry.mode;
      item["sha256"] = entry.sha256;
    } else if (entry.type == Entry::Type::link) {
      item["target"] = entry.target;
    }
    list[name] = item;
  }
  json sealed = {{"format", kFormat},
                 {"identifier", identity.identifier},
                 {"team", identity.team},
                 {"entries", list}};
  if (identity.assessed) sealed["assessment"] = "accepted";
  return sealed;
}

const json& member(const json& object, const char* key, json::value_t type) {
  auto found = object.find(key);
  if (found == object.end() || found->type() != type) {
    doubt(std::string("the seal's \"") + key + "\" is missing or malformed");
  }
  return *found;
}

Entry parseEntry(const std::string& name, const json& item) {
  if (!item.is_object()) doubt("the seal's entry " + name + " is malformed");
  auto type = member(item, "type", json::value_t::string).get<std::string>();
  if (type == "directory") return {Entry::Type::directory, 0, {}, {}};
  if (type == "link") {
    return {
        Entry::Type::link, 0, {}, member(item, "target", json::value_t::string).get<std::string>()};
  }
  if (type != "file") doubt("the seal's entry " + name + " has an unknown type");
  auto mode = member(item, "mode", json::value_t::number_unsigned).get<std::uint64_t>();
  auto digest = member(item, "sha256", json::value_t::string).get<std::string>();
  if (mode > 07777 || digest.size() != 64 || !unhex(digest)) {
    doubt("the seal's entry " + name + " is malformed");
  }
  return {Entry::Type::file, std::uint32_t(mode), digest, {}};
}

Key loadPrivateKey(std::string_view pem) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), int(pem.size())));
  Key key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) {
    doubt("not an Ed25519 private key in PEM form");
  }
  return key;
}

Key loadPublicKey(std::string_view pem) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), int(pem.size())));
  Key key(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) {
    doubt("the anchor is not an Ed25519 public key in PEM form");
  }
  return key;
}

std::string publicPem(EVP_PKEY* key) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PUBKEY(bio.get(), key) != 1) doubt("cannot write the public key");
  char* data = nullptr;
  long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, std::size_t(size));
}

std::string sign(std::string_view message, EVP_PKEY* key) {
  std::unique_ptr<EVP_MD_CTX, DigestFree> context(EVP_MD_CTX_new());
  unsigned char signature[kSignatureBytes];
  std::size_t length = sizeof signature;
  if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key) != 1 ||
      EVP_DigestSign(context.get(), signature, &length,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1) {
    doubt("cannot sign the seal");
  }
  return PelorinBase::hex(std::span(signature, length));
}

bool signatureVerifies(std::string_view message, const std::vector<unsigned char>& signature,
                       EVP_PKEY* key) {
  std::unique_ptr<EVP_MD_CTX, DigestFree> context(EVP_MD_CTX_new());
  return context && EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key) == 1 &&
         EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                          reinterpret_cast<const unsigned char*>(message.data()),
                          message.size()) == 1;
}

void writeFile(const fs::path& file, std::string_view bytes) {
  fs::remove(file);
  try {
    PelorinBase::writeFile(file, bytes, 0644, PelorinBase::Create::exclusively);
  } catch (const fs::filesystem_error&) {
    doubt("cannot write " + file.string());
  }
}

// The first difference between the sealed list and the bundle, if any.
std::optional<std::string> difference(const Entries& sealed, const Entries& actual) {
  for (const auto& [name, entry] : actual) {
    auto found = sealed.find(name);
    if (found == sealed.end()) return name + " is not sealed";
    if (!(found->second == entry)) return name + " was changed after sealing";
  }
  for (const auto& [name, entry] : sealed) {
    if (!actual.contains(name)) return name + " is missing";
  }
  return std::nullopt;
}

}  // namespace

KeyPair generateKeyPair() {
  Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
  if (!key) doubt("cannot make an Ed25519 key");
  std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  if (!bio ||
      PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    doubt("cannot write the private key");
  }
  char* data = nullptr;
  long size = BIO_get_mem_data(bio.get(), &data);
  return {std::string(data, std::size_t(size)), publicPem(key.get())};
}

std::string publicKeyOf(std::string_view privatePem) {
  auto key = loadPrivateKey(privatePem);
  return publicPem(key.get());
}

void requireAnchor(std::string_view anchorPem) { loadPublicKey(anchorPem); }

void seal(const fs::path& bundle, const Identity& identity, std::string_view privatePem) {
  auto key = loadPrivateKey(privatePem);
  if (!fs::is_directory(fs::symlink_status(bundle))) doubt(bundle.string() + " is not a folder");
  // The seal's folder and files are replaced: a link among them would carry the writes elsewhere.
  for (std::string_view file : {kResourcesFile, kSignatureFile}) {
    auto path = bundle;
    for (const auto& name : fs::path(file)) {
      path /= name;
      if (fs::is_symlink(fs::symlink_status(path))) doubt(path.string() + " is a link");
    }
  }
  auto folder = bundle / fs::path(kResourcesFile).parent_path();
  fs::create_directories(folder);
  fs::remove(bundle / kResourcesFile);
  fs::remove(bundle / kSignatureFile);
  std::string resources;
  try {
    resources = document(identity, walk(bundle)).dump(1) + "\n";
  } catch (const json::exception&) {
    doubt("a name in the bundle is not valid UTF-8");
  }
  auto signature = sign(resources, key.get());
  writeFile(bundle / kResourcesFile, resources);
  writeFile(bundle / kSignatureFile, signature + "\n");
}

Identity verify(const fs::path& bundle, std::string_view anchorPem) {
  auto anchor = loadPublicKey(anchorPem);
  struct stat info;
  if (lstat(bundle.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    doubt(bundle.string() + " is not a bundle folder");
  }
  auto resources = readSmallFile(bundle / kResourcesFile, kMaxResourcesBytes);
  auto signatureText = readSmallFile(bundle / kSignatureFile, kMaxSignatureBytes);
  if (!signatureText.empty() && signatureText.back() == '\n') signatureText.pop_back();
  auto signature = unhex(signatureText);
  if (!signature || signature->size() != kSignatureBytes ||
      !signatureVerifies(resources, *signature, anchor.get())) {
    doubt("the seal's signature does not verify against the anchor key");
  }

  json sealed;
  try {
    sealed = json::parse(resources);
  } catch (const json::exception&) {
    doubt("the seal is not readable");
  }
  if (!sealed.is_object() ||
      member(sealed, "format", json::value_t::number_unsigned).get<std::int64_t>() != kFormat) {
    doubt("the seal has an unknown format");
  }
  Identity identity{member(sealed, "identifier", json::value_t::string).get<std::string>(),
                    member(sealed, "team", json::value_t::string).get<std::string>(), false};
  if (auto stamp = sealed.find("assessment"); stamp != sealed.end()) {
    if (*stamp != "accepted") doubt("the seal's assessment stamp is malformed");
    identity.assessed = true;
  }
  Entries listed;
  for (const auto& [name, item] : member(sealed, "entries", json::value_t::object).items()) {
    if (isSealFile(name)) doubt("the seal lists its own files");
    listed.emplace(name, parseEntry(name, item));
  }
  if (auto different = difference(listed, walk(bundle))) doubt(*different);
  return identity;
}

}  // namespace PelorinSeal

#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

// The stand-in code signature: a signed list of every entry of a bundle.
namespace PelorinSeal {

// What a seal states about its bundle besides the entries.
struct Identity {
  std::string identifier;
  std::string team;
  bool assessed = false;  // carries the assessment stamp that spctl looks for
};

// An Ed25519 key pair in PEM form.
struct KeyPair {
  std::string privatePem;
  std::string publicPem;
};

// Any doubt about a seal or a key; the text says which.
struct SealError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The seal's two files, relative to the bundle.
inline constexpr std::string_view kResourcesFile = "Contents/_CodeSignature/CodeResources";
inline constexpr std::string_view kSignatureFile = "Contents/_CodeSignature/CodeSignature";

KeyPair generateKeyPair();
// The public half of a private key in PEM form.
std::string publicKeyOf(std::string_view privatePem);
// Throws SealError unless the text is an Ed25519 public key in PEM form, one verify() can trust.
void requireAnchor(std::string_view anchorPem);

// Lists every entry of the bundle (files with mode and digest, folders, links that resolve inside
// it through its own links) and signs the list with the private key. Never writes through a link.
void seal(const std::filesystem::path& bundle, const Identity& identity,
          std::string_view privatePem);

// The sealed identity, when the seal's signature verifies against the anchor key and its list
// matches the bundle exactly. Throws SealError on any doubt.
Identity verify(const std::filesystem::path& bundle, std::string_view anchorPem);

}  // namespace PelorinSeal

#include "PelorinBase/Sha256.hpp"

#include <openssl/evp.h>

#include <array>
#include <span>
#include <stdexcept>

#include "PelorinBase/Files.hpp"

namespace PelorinBase {

void Sha256::Free::operator()(evp_md_ctx_st* context) const { EVP_MD_CTX_free(context); }

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
  if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 is not available");
  }
}

void Sha256::update(const void* bytes, std::size_t length) {
  if (EVP_DigestUpdate(context_.get(), bytes, length) != 1) {
    throw std::runtime_error("SHA-256 failed");
  }
}

std::string Sha256::finish() {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context_.get(), digest.data(), &length) != 1 || length != 32) {
    throw std::runtime_error("SHA-256 failed");
  }
  return hex(std::span(digest.data(), length));
}

}  // namespace PelorinBase

#pragma once

#include <cstddef>
#include <memory>
#include <string>

struct evp_md_ctx_st;

namespace PelorinBase {

// A SHA-256 computation fed piece by piece. Throws std::runtime_error when the digest fails.
class Sha256 {
 public:
  Sha256();
  void update(const void* bytes, std::size_t length);
  // The digest of everything fed, as 64 lower-case hexadecimal digits; ends the computation.
  std::string finish();

 private:
  struct Free {
    void operator()(evp_md_ctx_st* context) const;
  };
  std::unique_ptr<evp_md_ctx_st, Free> context_;
};

}  // namespace PelorinBase

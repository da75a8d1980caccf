#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <filesystem>
#include <memory>
#include <string>

namespace PelorinTesting {

// A certificate and its private key, as a TLS server presents them.
struct TlsIdentity {
  std::shared_ptr<X509> certificate;
  std::shared_ptr<EVP_PKEY> key;
};

// A certificate authority made at run time (P-256 keys, valid from an hour ago for a day). Its
// keys live only in memory; nothing is meant to outlive the test process.
class CertificateAuthority {
 public:
  explicit CertificateAuthority(const std::string& name = "Pelorin Test CA");

  // A server certificate for `dnsName` (subject alternative name), signed by this authority.
  TlsIdentity issue(const std::string& dnsName) const;
  // The authority's own certificate in PEM form, for a trust store file.
  std::string pem() const;
  void writePem(const std::filesystem::path& file) const;

 private:
  TlsIdentity self_;
};

}  // namespace PelorinTesting

#include "support/TestCertificates.hpp"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <stdexcept>

namespace PelorinTesting {
namespace {

void require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("OpenSSL: ") + what);
}

std::shared_ptr<EVP_PKEY> newKey() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  require(key != nullptr, "EC key generation");
  return {key, EVP_PKEY_free};
}

void setName(X509_NAME* name, const std::string& commonName) {
  require(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                     reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                                     -1, 0) == 1,
          "subject name");
}

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_nconf_nid(nullptr, &context, nid, value.c_str());
  require(extension != nullptr, "certificate extension");
  X509_add_ext(cert, extension, -1);
  X509_EXTENSION_free(extension);
}

// A version 3 certificate for `key`; self-signed when `issuer` is null.
std::shared_ptr<X509> makeCertificate(EVP_PKEY* key, const std::string& commonName,
                                      const TlsIdentity* issuer, const std::string& dnsName) {
  std::shared_ptr<X509> cert(X509_new(), X509_free);
  require(cert != nullptr, "X509_new");
  X509* x = cert.get();
  require(X509_set_version(x, 2) == 1, "version");
  std::uint64_t serial = 0;
  require(RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial) == 1, "serial");
  ASN1_INTEGER_set_uint64(X509_get_serialNumber(x), serial >> 1);
  X509_gmtime_adj(X509_getm_notBefore(x), -3600);
  X509_gmtime_adj(X509_getm_notAfter(x), 24 * 3600);
  setName(X509_get_subject_name(x), commonName);
  X509* issuerCert = issuer ? issuer->certificate.get() : x;
  require(X509_set_issuer_name(x, X509_get_subject_name(issuerCert)) == 1, "issuer");
  require(X509_set_pubkey(x, key) == 1, "public key");
  addExtension(x, issuerCert, NID_subject_key_identifier, "hash");
  addExtension(x, issuerCert, NID_authority_key_identifier, "keyid:always");
  if (issuer) {
    addExtension(x, issuerCert, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(x, issuerCert, NID_key_usage, "critical,digitalSignature");
    addExtension(x, issuerCert, NID_ext_key_usage, "serverAuth");
    addExtension(x, issuerCert, NID_subject_alt_name, "DNS:" + dnsName);
  } else {
    addExtension(x, issuerCert, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(x, issuerCert, NID_key_usage, "critical,keyCertSign,cRLSign");
  }
  EVP_PKEY* signingKey = issuer ? issuer->key.get() : key;
  require(X509_sign(x, signingKey, EVP_sha256()) > 0, "signing");
  return cert;
}

}  // namespace

CertificateAuthority::CertificateAuthority(const std::string& name) {
  self_.key = newKey();
  self_.certificate = makeCertificate(self_.key.get(), name, nullptr, "");
}

TlsIdentity CertificateAuthority::issue(const std::string& dnsName) const {
  TlsIdentity identity;
  identity.key = newKey();
  identity.certificate = makeCertificate(identity.key.get(), dnsName, &self_, dnsName);
  return identity;
}

std::string CertificateAuthority::pem() const {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  require(bio && PEM_write_bio_X509(bio.get(), self_.certificate.get()) == 1, "PEM");
  char* data = nullptr;
  long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

void CertificateAuthority::writePem(const std::filesystem::path& file) const {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << pem();
  if (!out.flush()) throw std::runtime_error("cannot write " + file.string());
}

}  // namespace PelorinTesting

#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "TestSupport.hpp"
#include "pipeline/TransferSettings.hpp"
#include "support/TestCertificates.hpp"
#include "support/TestServer.hpp"

namespace PelorinTesting {

// The distribution host on loopback: a test CA in a trust store file and an HTTPS server with a
// certificate for InstallerCore::Distribution::host(), reached under that name through
// connect-to, so that production URLs and policy code are the ones under test.
class TestDistribution {
 public:
  TestDistribution();

  TestServer& server() { return server_; }
  const CertificateAuthority& authority() const { return authority_; }
  const std::filesystem::path& caFile() const { return caFile_; }

  // Trusts the test CA and maps HOST:443 to the server. The time-outs are the production ones.
  PelorinInstaller::TransferSettings settings() const;

  // "https://" + host + path.
  static std::string url(std::string_view path);
  // A connect-to entry that sends "name:port" to 127.0.0.1:loopbackPort.
  static std::string connectTo(std::string_view name, int port, int loopbackPort);

 private:
  TemporaryFolder folder_;
  CertificateAuthority authority_;
  std::filesystem::path caFile_;
  TestServer server_;
};

}  // namespace PelorinTesting

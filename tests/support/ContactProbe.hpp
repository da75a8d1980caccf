#pragma once

namespace PelorinTesting {

// A loopback port that nothing should ever reach: it counts the connections made to it.
class ContactProbe {
 public:
  ContactProbe();
  ~ContactProbe();
  ContactProbe(const ContactProbe&) = delete;
  ContactProbe& operator=(const ContactProbe&) = delete;

  int port() const { return port_; }
  // Connections made so far (each one is closed as it is counted).
  int connections();

 private:
  int socket_ = -1;
  int port_ = 0;
  int count_ = 0;
};

}  // namespace PelorinTesting

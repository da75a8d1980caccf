#include "support/ContactProbe.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace PelorinTesting {

ContactProbe::ContactProbe() {
  socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (socket_ < 0) throw std::system_error(errno, std::generic_category(), "socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(socket_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(socket_, 64) != 0 ||
      ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    int error = errno;
    ::close(socket_);
    throw std::system_error(error, std::generic_category(), "contact probe");
  }
  port_ = ntohs(address.sin_port);
}

ContactProbe::~ContactProbe() { ::close(socket_); }

// The kernel completes a connection into the backlog before anyone accepts it, so draining the
// backlog now counts every connection made so far.
int ContactProbe::connections() {
  for (;;) {
    int connection = ::accept4(socket_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) break;
    ::close(connection);
    ++count_;
  }
  return count_;
}

}  // namespace PelorinTesting

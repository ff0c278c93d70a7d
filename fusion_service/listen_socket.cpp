#include "fusion_service/listen_socket.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace quorv::fusion_service {
namespace {

struct AddressList {
  addrinfo* first = nullptr;
  ~AddressList() {
    if (first) freeaddrinfo(first);
  }
};

std::string lowercase_reason(int error) {
  std::string text = std::strerror(error);
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

}  // namespace

ListenSocket listen_on(const std::string& host, int port) {
  const std::string where = host + ":" + std::to_string(port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  AddressList addresses;
  const int resolved = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &addresses.first);
  if (resolved != 0) throw std::runtime_error("FusionServer: cannot resolve " + host + ": " + gai_strerror(resolved));

  int error = EADDRNOTAVAIL;
  for (const addrinfo* a = addresses.first; a; a = a->ai_next) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      error = errno;
      continue;
    }
    // SO_REUSEADDR only lets a restarted service take a port whose old
    // connections linger in TIME_WAIT; on Linux it never lets two sockets
    // listen on one port.
    const int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, SOMAXCONN) == 0) {
      sockaddr_storage bound{};
      socklen_t length = sizeof bound;
      getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
      const int bound_port = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                                                         : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
      return {fd, bound_port};
    }
    error = errno;
    close(fd);
  }
  throw std::runtime_error("FusionServer: cannot bind " + where + ": " + lowercase_reason(error));
}

}  // namespace quorv::fusion_service

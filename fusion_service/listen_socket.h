// The service's listening socket (service-internal).
#pragma once

#include <string>

namespace quorv::fusion_service {

struct ListenSocket {
  int fd = -1;
  int port = 0;
};

/// A non-blocking socket listening on `host`:`port` (0: any free port) with
/// the system's largest backlog. A port another socket already listens on
/// is refused, std::runtime_error "... address already in use": the socket
/// never shares its port (no SO_REUSEPORT), so a second service cannot take
/// half of the first one's requests.
ListenSocket listen_on(const std::string& host, int port);

}  // namespace quorv::fusion_service

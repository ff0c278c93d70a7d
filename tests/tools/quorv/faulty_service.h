// A fusion service on 127.0.0.1 that misbehaves request by request, and
// listeners that reset or never answer: the faults a run of quorv must survive.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "fusion_service/fusion_service.h"
#include "tests/support/loopback_server.h"

namespace quorv::test {

constexpr const char* kFaultToken = "fault-token";

// How the service answers the n-th request (counting from 0; the run's check of the service is request 0).
enum class Answer { Proper, Slow, Garbage, TooMany, Refuse, Broken, Silent };

class FaultyService {
 public:
  explicit FaultyService(std::function<Answer(int)> script) : script_(std::move(script)) {
    loopback_.server.Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
      switch (script_(requests++)) {
        case Answer::Slow:
          std::this_thread::sleep_for(std::chrono::milliseconds(250));
          [[fallthrough]];
        case Answer::Proper: {
          const auto answer =
              fusion_service::answer_blend_info(req.body, req.get_header_value("Authorization"), kFaultToken);
          res.status = answer.status;
          res.set_content(answer.body.dump(), "application/json");
          break;
        }
        case Answer::Garbage: res.set_content("<html>gateway error</html>", "text/html"); break;
        case Answer::TooMany: res.status = 429; break;
        case Answer::Refuse: res.status = 503; break;
        case Answer::Broken: res.status = 500; break;
        // Longer than any --fusion-timeout the tests give; the client gives up first.
        case Answer::Silent: std::this_thread::sleep_for(std::chrono::milliseconds(1500)); break;
      }
    });
    base = loopback_.start();
  }
  void stop() { loopback_.server.stop(); }

  std::atomic<int> requests{0};
  std::string base;

 private:
  std::function<Answer(int)> script_;
  LoopbackServer loopback_;
};

// A listener on 127.0.0.1 that accepts every connection and then resets it,
// or (`silent`) keeps it open without a word.
class RawListener {
 public:
  explicit RawListener(bool silent = false) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(listen(fd_, 16), 0);
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    base = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/";
    if (silent) return;  // the kernel completes the connections; nobody reads them
    thread_ = std::thread([this] {
      for (;;) {
        const int client = accept(fd_, nullptr, nullptr);
        if (client < 0) return;
        const linger reset{1, 0};
        setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(client);
      }
    });
  }
  ~RawListener() {
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    if (thread_.joinable()) thread_.join();
  }
  std::string base;

 private:
  int fd_ = -1;
  std::thread thread_;
};

/// The address of a port on 127.0.0.1 where nothing listens (bound, then let go).
inline std::string closed_port_address() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/";
}

}  // namespace quorv::test

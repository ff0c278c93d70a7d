// Real HTTP servers on loopback addresses for the tests.
#pragma once

#include <httplib.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "host/services/package_services.h"

namespace quorv::test {

/// The base address get_apiurl returns while the object lives.
struct ApiUrl {
  explicit ApiUrl(const std::string& base) { host::set_apiurl(base); }
  ~ApiUrl() { host::clear_apiurl(); }
  ApiUrl(const ApiUrl&) = delete;
  ApiUrl& operator=(const ApiUrl&) = delete;
};

/// A cpp-httplib server on a loopback address and an ephemeral port; add
/// handlers to `server`, then start().
class LoopbackServer {
 public:
  explicit LoopbackServer(std::string address = "127.0.0.1") : address_(std::move(address)) {
    // One request per connection unless a test asks for more: stop() waits
    // out every connection a client keeps open, five seconds each.
    server.set_keep_alive_max_count(1);
  }
  ~LoopbackServer() {
    server.stop();
    if (thread_.joinable()) thread_.join();
  }
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  /// Starts serving; returns "http://ADDRESS:PORT/".
  std::string start() {
    const int port = server.bind_to_any_port(address_);
    EXPECT_GT(port, 0) << "cannot bind " << address_;
    thread_ = std::thread([this] { server.listen_after_bind(); });
    while (!server.is_running()) std::this_thread::yield();
    return "http://" + address_ + ":" + std::to_string(port) + "/";
  }

  httplib::Server server;

 private:
  std::string address_;
  std::thread thread_;
};

}  // namespace quorv::test

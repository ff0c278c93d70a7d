#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "host/errors.h"
#include "image/quorv_image.h"
#include "tests/support/loopback_server.h"
#include "tests/support/test_support.h"

namespace quorv::service {
namespace {

using test::ApiUrl;
using test::LoopbackServer;

using namespace std::chrono_literals;

constexpr const char* kToken = "secret-token-4711";
const std::string kFailed = kFetchFailedMessage;

// Short limits keep the silent and trickling servers from slowing the suite.
ClientOptions short_limits() {
  ClientOptions options;
  options.connect_timeout = 300ms;
  options.data_timeout = 300ms;
  options.total_timeout = 3000ms;
  return options;
}

NodeState node_with_token(const std::string& token = kToken) {
  NodeState SELF;
  SELF.API.token = token;
  return SELF;
}

// A server answering every POST with `status` and `body`.
std::string serve(LoopbackServer& loopback, int status, std::string body) {
  loopback.server.Post(".*", [status, body](const httplib::Request&, httplib::Response& res) {
    res.status = status;
    res.set_content(body, "application/json");
  });
  return loopback.start();
}

// A bare listening socket on 127.0.0.1. It accepts only when asked to: until
// then the kernel completes connections into the backlog and nothing answers.
class RawListener {
 public:
  RawListener() : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const timeval limit{5, 0};  // a broken client must not hang the suite
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), length), 0);
    EXPECT_EQ(listen(fd_, 4), 0);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~RawListener() { close(fd_); }
  std::string base(const std::string& path = "/") const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

  // Accepts one connection and returns the request's bytes exactly as they
  // arrived, after answering it with 200 {}.
  std::string answer_one() const {
    const int connection = accept(fd_, nullptr, nullptr);
    if (connection < 0) return "";
    const timeval limit{5, 0};
    setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string text;
    char buffer[4096];
    size_t header_end = std::string::npos, wanted = 0;
    while (header_end == std::string::npos || text.size() < wanted) {
      const ssize_t got = recv(connection, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      text.append(buffer, static_cast<size_t>(got));
      header_end = text.find("\r\n\r\n");
      const size_t length_at = text.find("Content-Length: ");
      if (header_end != std::string::npos && length_at < header_end)
        wanted = header_end + 4 + std::stoul(text.substr(length_at + 16));
    }
    const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}";
    send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
    close(connection);
    return text;
  }

 private:
  int fd_;
  int port_ = 0;
};

Json fetch(const NodeState& SELF = node_with_token(), const ClientOptions& options = short_limits()) {
  return Quorv_Image::api_nuero_generative_fusion_tiles(Json{{"index", 0}}, SELF, options);
}

TEST(Service_FusionClient, SendsBothHeadersInOrderAndThePayloadToTheConcatenatedAddress) {
  const Json payload = prepare_neuro_generative_fusion({{0, 0, 0, 0, 0, 64, 64}, {0, 1, 1, 32, 0, 64, 64}}, 1);
  test::CapturedServices captured;
  RawListener listener;
  for (const std::string path : {"/api/", "/api"}) {
    const ApiUrl url(listener.base(path));
    std::future<std::string> request = std::async(std::launch::async, [&] { return listener.answer_one(); });
    EXPECT_EQ(api_nuero_generative_fusion_tiles(payload, node_with_token(), short_limits()), Json::object());
    const std::string text = request.get();
    EXPECT_EQ(text.rfind("POST " + path + "blend_info.php HTTP/1.1\r\n", 0), 0u) << text;
    const size_t agent = text.find("\r\nUser-Agent: Mozilla/5.0 (ComfyUI Patreon Node)\r\n");
    const size_t authorization = text.find("\r\nAuthorization: Bearer secret-token-4711\r\n");
    EXPECT_NE(agent, std::string::npos);
    EXPECT_NE(authorization, std::string::npos);
    EXPECT_LT(agent, authorization);
    EXPECT_NE(text.find("\r\nContent-Type: application/json\r\n"), std::string::npos);
    EXPECT_EQ(text.substr(text.find("\r\n\r\n") + 4), payload.dump());
  }
  EXPECT_TRUE(captured.printed.empty());
}

TEST(Service_FusionClient, PassesASuccessReplyThroughUnchanged) {
  test::CapturedServices captured;
  const std::string reply = R"({"zeta":[1,2.5,"x"],"top":{"exists":true,"index":1,"crop_x":0,"crop_y":128},"alpha":null})";
  for (const std::string& body : {std::string("{}"), reply}) {
    LoopbackServer server;
    const ApiUrl url(serve(server, 200, body));
    EXPECT_EQ(fetch().dump(), body);
  }
  EXPECT_TRUE(captured.printed.empty());
}

// A keep-alive server answering {} that records the client's port of each
// request: one port per connection. Idle connections close after a second.
class PortRecorder {
 public:
  PortRecorder() {
    loopback_.server.set_keep_alive_max_count(5);
    loopback_.server.set_keep_alive_timeout(1);
    loopback_.server.Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
      const std::lock_guard<std::mutex> lock(guard_);
      ports_.push_back(req.remote_port);
      res.set_content("{}", "application/json");
    });
  }
  std::string start() { return loopback_.start(); }
  std::vector<int> ports() {
    const std::lock_guard<std::mutex> lock(guard_);
    return ports_;
  }

 private:
  std::mutex guard_;
  std::vector<int> ports_;
  LoopbackServer loopback_;  // last, so that it stops before what its handler uses goes
};

TEST(Service_FusionClient, KeepsItsConnectionAndOpensANewOneWhenTheServiceDroppedIt) {
  test::CapturedServices captured;
  PortRecorder server;
  const ApiUrl url(server.start());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(fetch(), Json::object());
  // The server has closed the idle connection: the next request must not fail on it.
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(fetch(), Json::object());
  const std::vector<int> ports = server.ports();
  ASSERT_EQ(ports.size(), 4u);
  EXPECT_EQ(ports.at(1), ports.at(0));
  EXPECT_EQ(ports.at(2), ports.at(0));
  EXPECT_TRUE(captured.printed.empty());
}

TEST(Service_FusionClient, AForkedChildOpensItsOwnConnection) {
  PortRecorder server;
  const ApiUrl url(server.start());
  EXPECT_EQ(fetch(), Json::object());  // the parent's connection stays open
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Requests from the two processes over one socket would mix their replies.
    bool replied = false;
    try {
      replied = fetch() == Json::object();
    } catch (...) {
    }
    _exit(replied ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(fetch(), Json::object());
  const std::vector<int> ports = server.ports();
  ASSERT_EQ(ports.size(), 3u);
  EXPECT_NE(ports.at(1), ports.at(0));
  EXPECT_EQ(ports.at(2), ports.at(0));
}

TEST(Service_FusionClient, FailedStatusesGiveAnEmptyReplyAndOnly429PrintsALine) {
  test::CapturedServices captured;
  for (int status : {429, 500, 404}) {
    LoopbackServer server;
    const ApiUrl url(serve(server, status, R"({"top":{"exists":true,"index":0}})"));
    EXPECT_EQ(fetch(), Json::object()) << status;
  }
  EXPECT_EQ(captured.printed, std::vector<std::string>{kCreditsExhaustedMessage});
}

TEST(Service_FusionClient, UnreadableRepliesPrintTheFailedLineWithTheReason) {
  std::string deep = "{\"a\":" + std::string(64, '[') + std::string(64, ']') + "}";
  std::string wide = "{";
  for (int i = 0; i <= 256; ++i) wide += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":0";
  wide += "}";
  const std::pair<std::string, std::string> cases[] = {
      {"<html>busy</html>", "the reply is not JSON: [json.exception.parse_error.101]"},
      {"[1,2]", "the reply is not a JSON object, got array"},
      {"42", "the reply is not a JSON object, got number"},
      {deep, "nests deeper than 64 levels"},
      {wide, "more than 256 members"},
      // The decoder quotes what it read, here the token: it is masked.
      {"\"Bearer " + std::string(kToken), "last read: '\"Bearer ***'"}};
  for (const auto& [body, reason] : cases) {
    test::CapturedServices captured;
    LoopbackServer server;
    const ApiUrl url(serve(server, 200, body));
    EXPECT_EQ(fetch(), Json::object());
    ASSERT_EQ(captured.printed.size(), 1u) << reason;
    EXPECT_EQ(captured.printed[0].rfind(kFailed, 0), 0u);
    EXPECT_NE(captured.printed[0].find(reason), std::string::npos) << captured.printed[0];
    EXPECT_EQ(captured.printed[0].find(kToken), std::string::npos);
  }
}

TEST(Service_FusionClient, UnreachableOrUnconfiguredServicesPrintTheFailedLine) {
  std::string closed;
  { closed = RawListener().base(); }  // nothing listens there any more
  RawListener silent;
  const std::pair<std::optional<std::string>, std::string> cases[] = {
      {closed, "Couldn't connect"},
      {silent.base(), "no data from the service for 300 ms"},
      {std::string("ftp://127.0.0.1:1/"), "ftp"},
      {std::nullopt, "no fusion service address is configured"}};
  for (const auto& [base, reason] : cases) {
    test::CapturedServices captured;
    if (base) host::set_apiurl(*base);
    EXPECT_EQ(fetch(), Json::object());
    host::clear_apiurl();
    ASSERT_EQ(captured.printed.size(), 1u) << reason;
    EXPECT_EQ(captured.printed[0].rfind(kFailed, 0), 0u);
    EXPECT_NE(captured.printed[0].find(reason), std::string::npos) << captured.printed[0];
  }

  test::CapturedServices captured;
  const ApiUrl url(silent.base());
  EXPECT_EQ(fetch(NodeState()), Json::object());
  EXPECT_EQ(fetch(node_with_token("abc\r\nX-Injected: 1")), Json::object());
  ASSERT_EQ(captured.printed.size(), 2u);
  EXPECT_EQ(captured.printed[0], kFailed + "NodeState field API.token is not set");
  EXPECT_NE(captured.printed[1].find("control character"), std::string::npos) << captured.printed[1];
}

TEST(Service_FusionClient, ATricklingServiceIsCutOffByTheTotalLimit) {
  test::CapturedServices captured;
  std::atomic<bool> done{false};
  LoopbackServer server;
  server.server.Post(".*", [&done](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(1000, "application/json", [&done](size_t, size_t, httplib::DataSink& sink) {
      std::this_thread::sleep_for(50ms);  // well inside the data limit
      return !done && sink.write(" ", 1);
    });
  });
  const ApiUrl url(server.start());
  ClientOptions options = short_limits();
  options.total_timeout = 500ms;
  EXPECT_EQ(fetch(node_with_token(), options), Json::object());
  done = true;
  ASSERT_EQ(captured.printed.size(), 1u);
  EXPECT_NE(captured.printed[0].find("timed out"), std::string::npos) << captured.printed[0];
}

TEST(Service_FusionClient, RefusesRepliesLargerThanTheLimit) {
  test::CapturedServices captured;
  ClientOptions options = short_limits();
  options.max_reply_bytes = 1000;
  const std::string exact = "{\"pad\":\"" + std::string(1000 - 10, 'x') + "\"}";
  for (const std::string& body : {exact, exact + " "}) {
    LoopbackServer server;
    const ApiUrl url(serve(server, 200, body));
    EXPECT_EQ(fetch(node_with_token(), options).dump(), body.size() == 1000 ? exact : "{}");
  }
  EXPECT_EQ(captured.printed, std::vector<std::string>{kFailed + "the reply is larger than 1000 bytes"});

  ClientOptions negative = short_limits();
  negative.data_timeout = -1ms;
  EXPECT_THROW_WITH(fetch(node_with_token(), negative), ValueError, "data_timeout must be positive, got -1 ms");
}

TEST(Service_FusionClient, RedirectsKeepTheTokenOnTheFirstHostAndStayWithinLimits) {
  std::atomic<bool> authorization_arrived{false}, first_had_token{false};
  LoopbackServer other("127.0.0.2");
  other.server.Post(".*", [&](const httplib::Request& req, httplib::Response& res) {
    authorization_arrived = req.has_header("Authorization");
    res.set_content(R"({"from":"other"})", "application/json");
  });
  const std::string other_base = other.start();

  LoopbackServer first;
  first.server.Post("/blend_info.php", [&](const httplib::Request& req, httplib::Response& res) {
    first_had_token = req.get_header_value("Authorization") == std::string("Bearer ") + kToken;
    res.set_redirect(other_base + "blend_info.php", 307);
  });
  first.server.Post("/loopblend_info.php", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("/loopblend_info.php", 307);
  });
  first.server.Post("/fileblend_info.php", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("file:///etc/hostname", 302);
  });
  const std::string base = first.start();

  test::CapturedServices captured;
  {
    const ApiUrl url(base);
    EXPECT_EQ(fetch().dump(), R"({"from":"other"})");
  }
  EXPECT_TRUE(first_had_token);
  EXPECT_FALSE(authorization_arrived);
  for (const char* path : {"loop", "file"}) {
    const ApiUrl url(base + path);
    EXPECT_EQ(fetch(), Json::object());
  }
  ASSERT_EQ(captured.printed.size(), 2u);
  EXPECT_NE(captured.printed[0].find("Maximum (3) redirects followed"), std::string::npos) << captured.printed[0];
  EXPECT_EQ(captured.printed[1].rfind(kFailed, 0), 0u);
}

}  // namespace
}  // namespace quorv::service

#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "fusion_service/fusion_service.h"
#include "image/quorv_image.h"
#include "tests/support/test_support.h"

namespace quorv::fusion_service {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const std::vector<GridSpec> kTwoByTwo = {{0, 0, 0, 0, 0, 64, 64},
                                         {0, 1, 1, 48, 0, 64, 64},
                                         {1, 0, 2, 0, 40, 64, 64},
                                         {1, 1, 3, 48, 40, 64, 64}};

std::string regression_bytes(const std::string& name) {
  std::ifstream in(std::string(QUORV_TEST_DATA_DIR) + "/regress/" + name, std::ios::binary);
  EXPECT_TRUE(in) << name;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string small_request(const std::string& token) {
  const std::string body = Quorv_Image::prepare_neuro_generative_fusion(kTwoByTwo, 3).dump();
  return "POST /blend_info.php HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + token +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

struct Response {
  int status = 0;
  std::string body;
};

// A plain TCP connection to the service, for bytes no HTTP client would send;
// every wait is bounded.
class RawConnection {
 public:
  explicit RawConnection(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawConnection() { close(fd_); }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool connected() const { return connected_; }

  // False once the service has stopped taking bytes (it answered and closed).
  bool send_bytes(const std::string& bytes) {
    for (size_t sent = 0; sent < bytes.size();) {
      pollfd writable{fd_, POLLOUT, 0};
      if (poll(&writable, 1, 5000) <= 0) return false;
      const ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && errno != EAGAIN) return false;
      if (n > 0) sent += static_cast<size_t>(n);
    }
    return true;
  }

  // The next `count` final responses, fewer if the service closes first or
  // `limit` passes.
  std::vector<Response> responses(size_t count, milliseconds limit = milliseconds(5000)) {
    std::vector<Response> found;
    const Clock::time_point end = Clock::now() + limit;
    while (found.size() < count) {
      if (const auto response = take_response()) {
        if (response->status != 100) found.push_back(*response);
        continue;
      }
      if (!receive_until(end)) break;
    }
    return found;
  }

  // True when the service closes the connection before `limit` passes.
  bool closed_within(milliseconds limit) {
    const Clock::time_point end = Clock::now() + limit;
    while (receive_until(end)) {
    }
    return peer_closed_;
  }

 private:
  bool receive_until(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now()).count();
    pollfd readable{fd_, POLLIN, 0};
    if (left <= 0 || poll(&readable, 1, static_cast<int>(left)) <= 0) return false;
    char data[65536];
    const ssize_t n = recv(fd_, data, sizeof data, 0);
    if (n <= 0) {
      peer_closed_ = true;
      return false;
    }
    received_.append(data, static_cast<size_t>(n));
    return true;
  }

  std::optional<Response> take_response() {
    const size_t head_end = received_.find("\r\n\r\n");
    if (head_end == std::string::npos) return std::nullopt;
    const std::string head = received_.substr(0, head_end);
    size_t length = 0;
    const size_t field = head.find("Content-Length: ");
    if (field != std::string::npos) length = std::stoul(head.substr(field + 16));
    if (received_.size() < head_end + 4 + length) return std::nullopt;
    Response response{std::stoi(head.substr(9, 3)), received_.substr(head_end + 4, length)};
    received_.erase(0, head_end + 4 + length);
    return response;
  }

  int fd_;
  bool connected_ = false;
  bool peer_closed_ = false;
  std::string received_;
};

std::vector<int> statuses(const std::vector<Response>& responses) {
  std::vector<int> out;
  for (const Response& r : responses) out.push_back(r.status);
  return out;
}

TEST(FusionService_Server, AnswersTheModuleClientOverHttp) {
  FusionServer server;
  const int port = server.start("127.0.0.1", 0, std::string("tok"));
  ASSERT_GT(port, 0);
  EXPECT_EQ(server.base_address(), "http://127.0.0.1:" + std::to_string(port) + "/");
  EXPECT_THROW(server.start(), std::runtime_error);

  test::CapturedServices captured;
  host::set_apiurl(server.base_address());
  NodeState SELF;
  SELF.API.token = "tok";
  const service::Json reply =
      Quorv_Image::api_nuero_generative_fusion_tiles(Quorv_Image::prepare_neuro_generative_fusion(kTwoByTwo, 3), SELF);
  EXPECT_EQ(reply.dump(), R"({"top":{"exists":true,"index":1,"crop_x":0,"crop_y":24},)"
                          R"("left":{"exists":true,"index":2,"crop_x":16,"crop_y":0}})");
  SELF.API.token = "other";  // 401: an empty reply, and no line
  EXPECT_EQ(Quorv_Image::api_nuero_generative_fusion_tiles(Quorv_Image::prepare_neuro_generative_fusion(kTwoByTwo, 3), SELF),
            service::Json::object());
  host::clear_apiurl();
  EXPECT_TRUE(captured.printed.empty());

  // Refusals of the HTTP layer carry a JSON error text too; kept-alive
  // requests on one connection are all answered.
  {
    httplib::Client client("127.0.0.1", port);
    client.set_keep_alive(true);
    const auto too_large = client.Post("/blend_info.php", {{"Authorization", "Bearer tok"}},
                                       std::string(kMaxRequestBytes + 1, ' '), "application/json");
    ASSERT_TRUE(too_large);
    EXPECT_EQ(too_large->status, 413);
    EXPECT_NE(too_large->body.find("larger than 4194304 bytes"), std::string::npos) << too_large->body;
    for (int i = 0; i < 3; ++i) {
      const auto unknown = client.Get("/index.html");
      ASSERT_TRUE(unknown);
      EXPECT_EQ(unknown->status, 404);
      EXPECT_NE(unknown->body.find("\"error\":\"HTTP 404"), std::string::npos) << unknown->body;
    }
  }
  server.stop();
  EXPECT_THROW(server.base_address(), std::runtime_error);
}

TEST(FusionService_Server, RefusesAPortAnotherServiceListensOn) {
  FusionServer first;
  const int port = first.start("127.0.0.1", 0, std::string("tok"));
  FusionServer second;
  try {
    second.start("127.0.0.1", port);
    ADD_FAILURE() << "a second service bound port " << port;
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("address already in use"), std::string::npos) << e.what();
  }
  // Every request still reaches the one service that holds the token.
  for (int i = 0; i < 20; ++i) {
    RawConnection client(port);
    ASSERT_TRUE(client.send_bytes(small_request("tok")));
    EXPECT_EQ(statuses(client.responses(1)), std::vector<int>{200});
  }
  first.stop();
  EXPECT_EQ(second.start("127.0.0.1", port), port);  // free again once the first has stopped
  EXPECT_THROW(FusionServer().start("127.0.0.1", 0, std::string()), std::runtime_error);  // an empty token
}

TEST(FusionService_Server, RefusesRegressionRequestsWhileReadingThem) {
  FusionServer server;
  const int port = server.start("127.0.0.1", 0, std::string("tok"));
  const struct {
    const char* file;
    std::vector<int> statuses;
    bool closes;
  } cases[] = {
      {"service_two_pipelined_requests.http", {200, 200}, false},
      {"service_gzip_body.http", {415}, true},
      {"service_wrong_method.http", {405}, false},
      {"service_header_flood.http", {431}, true},
      // Refused on the headers: the announced gigabyte is never awaited.
      {"service_wrong_token_announces_1gib.http", {401}, true},
      {"service_chunked_1gib_chunk.http", {413}, true},
  };
  for (const auto& c : cases) {
    RawConnection client(port);
    ASSERT_TRUE(client.send_bytes(regression_bytes(c.file))) << c.file;
    EXPECT_EQ(statuses(client.responses(c.statuses.size() + 1, milliseconds(c.closes ? 5000 : 500))), c.statuses)
        << c.file;
    if (c.closes) {
      EXPECT_TRUE(client.closed_within(milliseconds(5000))) << c.file;
    }
  }

  // "Expect: 100-continue" gets its interim answer once the headers pass.
  RawConnection expecting(port);
  const std::string request = small_request("tok");
  const size_t body_at = request.find("\r\n\r\n") + 2;
  ASSERT_TRUE(expecting.send_bytes(request.substr(0, body_at) + "Expect: 100-continue\r\n\r\n"));
  ASSERT_TRUE(expecting.send_bytes(request.substr(body_at + 2)));
  EXPECT_EQ(statuses(expecting.responses(1)), std::vector<int>{200});

  // A chunked body streamed past the limit is refused as it arrives; the
  // stream stops on the refusal, long before its 64 MiB.
  RawConnection streaming(port);
  ASSERT_TRUE(streaming.send_bytes(
      "POST /blend_info.php HTTP/1.1\r\nAuthorization: Bearer tok\r\nTransfer-Encoding: chunked\r\n\r\n"));
  const std::string chunk = "10000\r\n" + std::string(0x10000, ' ') + "\r\n";
  for (int i = 0; i < 1024 && streaming.send_bytes(chunk); ++i) {
  }
  EXPECT_EQ(statuses(streaming.responses(1)), std::vector<int>{413});
}

TEST(FusionService_Server, ServesValidClientsWhileSlowAndSilentConnectionsStayOpen) {
  FusionServer server;
  const int port = server.start("127.0.0.1", 0, std::string("tok"));
  std::vector<std::unique_ptr<RawConnection>> idle;
  for (int i = 0; i < 8; ++i) {  // half-sent heads that never finish
    idle.push_back(std::make_unique<RawConnection>(port));
    ASSERT_TRUE(idle.back()->send_bytes("POST /blend_info.php HTTP/1.1\r\nHost: 127.0."));
  }
  for (int i = 0; i < 200; ++i) idle.push_back(std::make_unique<RawConnection>(port));  // silent
  for (const auto& c : idle) ASSERT_TRUE(c->connected());

  for (int i = 0; i < 10; ++i) {
    RawConnection client(port);
    ASSERT_TRUE(client.send_bytes(small_request("tok")));
    const std::vector<Response> answered = client.responses(1);
    ASSERT_EQ(statuses(answered), std::vector<int>{200});
    EXPECT_NE(answered[0].body.find("\"top\""), std::string::npos);
  }
  // The idle connections are closed by the service, not kept forever.
  for (const auto& c : idle) EXPECT_TRUE(c->closed_within(milliseconds(10000)));
}

}  // namespace
}  // namespace quorv::fusion_service

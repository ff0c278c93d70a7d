// How an exchange with the fusion service ended, as fetch_blend_info and a
// fusion update with a ServiceCall hand it back: a caller can tell an empty
// answer from a failure, and a failure's cause from another's.
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "image/fusion/fusion.h"
#include "image/quorv_image.h"
#include "tests/support/loopback_server.h"
#include "tests/support/test_support.h"

namespace quorv::service {
namespace {

using namespace std::chrono_literals;
using Kind = FusionOutcome::Kind;

ClientOptions short_limits() {
  ClientOptions options;
  options.connect_timeout = 300ms;
  options.data_timeout = 300ms;
  options.total_timeout = 3000ms;
  return options;
}

NodeState node_with_token() {
  NodeState SELF;
  SELF.API.token = "outcome-token";
  return SELF;
}

FusionReply fetch_from(const std::string& base) {
  const test::ApiUrl url(base);
  return fetch_blend_info(Json{{"index", 0}}, node_with_token(), short_limits());
}

// A socket on 127.0.0.1 that listens and never answers (`listening`), or a port nothing listens on.
struct Socket {
  explicit Socket(bool listening) : fd(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
    if (listening) {
      EXPECT_EQ(listen(fd, 4), 0);
    }
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    base = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";
    if (!listening) close(fd);
  }
  ~Socket() { close(fd); }
  int fd;
  std::string base;
};

TEST(Service_FusionOutcome, EachWayAnExchangeEndsHasItsKindAndNothingIsPrinted) {
  test::CapturedServices captured;
  int status = 200;
  std::string body = R"({"top": {"exists": true, "index": 0, "crop_y": 8}})";
  test::LoopbackServer loopback;
  loopback.server.Post(".*", [&](const httplib::Request&, httplib::Response& res) {
    res.status = status;
    res.set_content(body, "application/json");
  });
  const std::string base = loopback.start();

  FusionReply reply = fetch_from(base);
  EXPECT_EQ(reply.outcome.kind, Kind::Replied);
  EXPECT_EQ(reply.outcome.http_status, 200);
  EXPECT_EQ(reply.outcome.reason, "");
  EXPECT_EQ(reply.blend_info["top"]["crop_y"], 8);

  body = "{}";  // an empty answer is still an answer
  EXPECT_TRUE(fetch_from(base).outcome.replied());

  for (const int failed : {401, 429, 500, 503}) {
    status = failed;
    reply = fetch_from(base);
    EXPECT_EQ(reply.outcome.kind, Kind::FailedStatus) << failed;
    EXPECT_EQ(reply.outcome.http_status, failed);
    EXPECT_EQ(reply.outcome.reason.rfind("the service answered HTTP " + std::to_string(failed), 0), 0u);
    EXPECT_EQ(reply.blend_info, Json::object());
  }
  EXPECT_NE(fetch_from(base).outcome.reason.find("503"), std::string::npos);
  status = 429;
  EXPECT_NE(fetch_from(base).outcome.reason.find("credits exhausted"), std::string::npos);

  status = 200;
  body = "<html>busy</html>";
  reply = fetch_from(base);
  EXPECT_EQ(reply.outcome.kind, Kind::BadReply);
  EXPECT_NE(reply.outcome.reason.find("the reply is not JSON"), std::string::npos);
  body = "[1, 2]";
  EXPECT_EQ(fetch_from(base).outcome.kind, Kind::BadReply);

  const Socket closed(false), silent(true);
  EXPECT_EQ(fetch_from(closed.base).outcome.kind, Kind::Unreachable);
  reply = fetch_from(silent.base);
  EXPECT_EQ(reply.outcome.kind, Kind::TimedOut);
  EXPECT_NE(reply.outcome.reason.find("no data from the service for 300 ms"), std::string::npos);
  EXPECT_TRUE(captured.printed.empty());

  // Causes compare by kind and status, not by text.
  EXPECT_TRUE((FusionOutcome{Kind::Unreachable, 0, "after 1 ms"}.same_cause({Kind::Unreachable, 0, "after 2 ms"})));
  EXPECT_FALSE((FusionOutcome{Kind::FailedStatus, 500, ""}.same_cause({Kind::FailedStatus, 503, ""})));

  // The old entry point prints as before.
  const test::ApiUrl url(closed.base);
  EXPECT_EQ(api_nuero_generative_fusion_tiles(Json{{"index", 0}}, node_with_token(), short_limits()), Json::object());
  ASSERT_EQ(captured.printed.size(), 1u);
  EXPECT_EQ(captured.printed[0].rfind(kFetchFailedMessage, 0), 0u);
}

TEST(Service_FusionOutcome, AFusionUpdateHandsTheOutcomeBackAndKeepsTheTileWhenTheServiceFails) {
  test::CapturedServices captured;
  NodeState SELF = node_with_token();
  SELF.SIZE.inpaint_border_margin = 8;
  SELF.SIZE.inpaint_blur_margin = 8;
  SELF.SIZE.shift = 0;
  SELF.PARAMS.Tile_Fusion_Blend = 1.0;
  const std::vector<GridSpec> grid{{0, 0, 0, 0, 0, 64, 64}, {1, 0, 1, 0, 32, 64, 64}};
  const at::Tensor top = test::random_picture(1, 64, 64, 3, 1), tile = test::random_picture(1, 64, 64, 3, 2);
  const at::Tensor tile_before = tile.clone();
  SELF.OUTPUTS.grid_images_all = std::vector<at::Tensor>{top, tile};
  const std::vector<OptionalImage> finished{top, std::nullopt};

  int status = 200;
  test::LoopbackServer loopback;
  loopback.server.Post(".*", [&](const httplib::Request&, httplib::Response& res) {
    res.status = status;
    res.set_content(R"({"top": {"exists": true, "index": 0, "crop_x": 0, "crop_y": 32}})", "application/json");
  });
  const test::ApiUrl url(loopback.start());
  for (const auto form : {fusion::FusionForm::Base, fusion::FusionForm::Accumulating}) {
    fusion::ServiceCall call{short_limits(), {}};
    status = 200;
    const at::Tensor fused = fusion::fusion_update(form, SELF, tile, grid, 1, finished, false, 2, call);
    EXPECT_TRUE(call.outcome.replied());
    EXPECT_FALSE(test::same_values(fused, tile));  // the top strip was blended

    status = 503;
    const at::Tensor kept = fusion::fusion_update(form, SELF, tile, grid, 1, finished, false, 2, call);
    EXPECT_EQ(call.outcome.kind, Kind::FailedStatus);
    EXPECT_EQ(call.outcome.http_status, 503);
    EXPECT_TRUE(test::same_values(kept, tile));
  }
  EXPECT_TRUE(test::same_values(tile, tile_before));
  EXPECT_TRUE(captured.printed.empty());
}

}  // namespace
}  // namespace quorv::service

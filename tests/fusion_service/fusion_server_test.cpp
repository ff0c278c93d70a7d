#include <httplib.h>

#include <gtest/gtest.h>

#include "fusion_service/fusion_service.h"
#include "image/quorv_image.h"
#include "tests/support/test_support.h"

namespace quorv::fusion_service {
namespace {

const std::vector<GridSpec> kTwoByTwo = {{0, 0, 0, 0, 0, 64, 64},
                                         {0, 1, 1, 48, 0, 64, 64},
                                         {1, 0, 2, 0, 40, 64, 64},
                                         {1, 1, 3, 48, 40, 64, 64}};

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

  // Refusals the HTTP layer makes by itself carry a JSON error text too.
  {
    httplib::Client client("127.0.0.1", port);
    const auto too_large = client.Post("/blend_info.php", {{"Authorization", "Bearer tok"}},
                                       std::string(kMaxRequestBytes + 1, ' '), "application/json");
    ASSERT_TRUE(too_large);
    EXPECT_EQ(too_large->status, 413);
    EXPECT_NE(too_large->body.find("larger than 4194304 bytes"), std::string::npos) << too_large->body;
    const auto unknown = client.Get("/index.html");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->body, R"({"error":"HTTP 404"})");
  }
  server.stop();
  EXPECT_THROW(server.base_address(), std::runtime_error);
}

}  // namespace
}  // namespace quorv::fusion_service

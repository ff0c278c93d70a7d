#include <gtest/gtest.h>

#include <limits>

#include "fusion_service/fusion_service.h"
#include "image/quorv_image.h"
#include "tests/support/node_states.h"

namespace quorv::fusion_service {
namespace {

// A 3584 x 2560 picture with 1024 tiles: columns at 0, 896, 1792 and 2560
// (the last pushed against the edge), rows at 0, 896 and 1536.
std::vector<GridSpec> real_grid() {
  const at::Tensor picture = test::shape_only_picture(3584, 2560);
  NodeState SELF = test::node_state(picture, {1000, 1000});
  return Quorv_Image::get_tiled_grid_specs(SELF, picture);
}

std::string answered(const std::vector<GridSpec>& grid, int64_t index) {
  const Answer answer = answer_blend_info(service::prepare_neuro_generative_fusion(grid, index).dump(), "");
  EXPECT_EQ(answer.status, 200) << answer.body;
  return answer.body.dump();
}

std::string entry(int index, int crop_x, int crop_y) {
  return R"({"exists":true,"index":)" + std::to_string(index) + R"(,"crop_x":)" + std::to_string(crop_x) +
         R"(,"crop_y":)" + std::to_string(crop_y) + "}";
}

TEST(FusionService_BlendInfo, AnswersEveryOverlappingNeighbourOfARealGrid) {
  const std::vector<GridSpec> grid = real_grid();
  ASSERT_EQ(grid.size(), 12u);
  ASSERT_EQ(grid[7], (GridSpec{1, 3, 6, 2560, 896, 1024, 1024}));
  // Corner: the bottom-right-right tile lies wholly right of the tile.
  EXPECT_EQ(answered(grid, 0), R"({"right":)" + entry(1, 128, 0) + R"(,"bottom":)" + entry(4, 0, 128) +
                                   R"(,"bottomright":)" + entry(5, 128, 128) + "}");
  // Middle: the last row overlaps by more (384), the far-right column not at all.
  EXPECT_EQ(answered(grid, 5), R"({"top":)" + entry(1, 0, 128) + R"(,"left":)" + entry(4, 128, 0) +
                                   R"(,"right":)" + entry(6, 128, 0) + R"(,"bottom":)" + entry(9, 0, 384) +
                                   R"(,"topright":)" + entry(2, 128, 128) + R"(,"bottomright":)" +
                                   entry(10, 128, 384) + "}");
  // Next to the last column, which overlaps by 256.
  EXPECT_EQ(answered(grid, 6), R"({"top":)" + entry(2, 0, 128) + R"(,"left":)" + entry(5, 128, 0) +
                                   R"(,"right":)" + entry(7, 256, 0) + R"(,"bottom":)" + entry(10, 0, 384) +
                                   R"(,"topright":)" + entry(3, 256, 128) + R"(,"bottomright":)" +
                                   entry(11, 256, 384) + "}");
  EXPECT_EQ(answered(grid, 11), R"({"top":)" + entry(7, 0, 384) + R"(,"left":)" + entry(10, 256, 0) + "}");

  // Segment records are never neighbours, and a segment tile gets none.
  std::vector<GridSpec> segmented = grid;
  segmented[1].order = 8000;
  EXPECT_EQ(answered(segmented, 0), R"({"bottom":)" + entry(4, 0, 128) + R"(,"bottomright":)" + entry(5, 128, 128) + "}");
  EXPECT_EQ(answered(segmented, 1), "{}");
}

TEST(FusionService_BlendInfo, RefusesBadRequestsTooLargeBodiesAndWrongTokens) {
  nlohmann::json good = nlohmann::json::parse(service::prepare_neuro_generative_fusion(real_grid(), 3).dump());
  auto with = [&good](const char* pointer, const nlohmann::json& value) {
    nlohmann::json changed = good;
    changed[nlohmann::json::json_pointer(pointer)] = value;
    return changed.dump();
  };
  nlohmann::json without_specs = good;
  without_specs.erase("grid_specs");
  const std::pair<std::string, std::string> bad[] = {
      {"{\"index\":", "the request is not JSON"},
      // Found by fuzzing: a number too large for a double escaped as a 500.
      {std::string(456, '8'), "the request is not JSON"},
      {"[1]", "must be a JSON object, got array"},
      {without_specs.dump(), "\"grid_specs\" must be an array"},
      {with("/index", "3"), "\"index\" must be an integer, got string"},
      {with("/index", 12), "\"index\" 12 lies outside grid_specs (12 records)"},
      {with("/upscalemultiplier", nullptr), "\"upscalemultiplier\" must be a number"},
      {with("/grid_specs/2/row", 1.5), "grid_specs[2] \"row\" must be an integer, got number"},
      {with("/grid_specs/4/width_inc", -1), "grid_specs[4] must have a non-negative size"},
      {with("/grid_specs/0/x_start", std::numeric_limits<int64_t>::max()), "grid_specs[0] reaches beyond"},
      {with("/last_col", std::numeric_limits<uint64_t>::max()), "\"last_col\" is out of range"}};
  for (const auto& [body, reason] : bad) {
    const Answer answer = answer_blend_info(body, "");
    EXPECT_EQ(answer.status, 400) << reason;
    EXPECT_NE(answer.body.value("error", "").find(reason), std::string::npos) << answer.body;
  }
  EXPECT_EQ(answer_blend_info(std::string(kMaxRequestBytes + 1, ' '), "").status, 413);
  EXPECT_EQ(answer_blend_info(good.dump(), "Bearer wrong", "right").status, 401);
  EXPECT_EQ(answer_blend_info(good.dump(), "", "right").status, 401);
  EXPECT_EQ(answer_blend_info(good.dump(), "Bearer right", "right").status, 200);
  // Bytes of the request quoted in an error come back as printable text.
  EXPECT_EQ(answer_blend_info("\"\xff\x01", "").body.dump().find('\x01'), std::string::npos);
}

}  // namespace
}  // namespace quorv::fusion_service

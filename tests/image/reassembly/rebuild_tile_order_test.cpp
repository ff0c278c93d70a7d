#include <gtest/gtest.h>

#include "host/errors.h"
#include "image/quorv_image.h"
#include "tests/support/test_support.h"

namespace quorv {
namespace {

TEST(Reassembly_RebuildTileOrder, RegularTilesThenSegmentsWithPictures) {
  const std::vector<GridSpec> specs{{0, 0, 0, 0, 0, 8, 8}, {0, 0, 8000, 0, 0, 8, 8}, {0, 1, 1, 8, 0, 8, 8},
                                    {0, 0, 8001, 0, 0, 8, 8}, {0, 2, 2, 16, 0, 8, 8}};
  const at::Tensor a = at::zeros({1, 8, 8, 3}), b = at::ones({1, 8, 8, 3});
  // Three regular tiles (the second without a picture: kept), two segments (only the second has one).
  const std::vector<OptionalImage> pictures{a, std::nullopt, a, std::nullopt, b};
  const std::vector<std::string> prompts{"p0", "p1", "p2", "p3", "p4"};
  const auto order = Quorv_Image::rebuild_tile_order(pictures, specs, prompts);
  ASSERT_EQ(order.size(), 4u);
  EXPECT_EQ(order[0].order, 0);
  EXPECT_EQ(order[1].order, 1);
  EXPECT_FALSE(order[1].picture.has_value());
  EXPECT_EQ(order[2].order, 2);
  EXPECT_EQ(order[3].order, 8001);
  EXPECT_EQ(order[3].prompt, "p4");
  EXPECT_TRUE(order[3].picture->is_same(b));

  const auto unprompted = Quorv_Image::rebuild_tile_order(pictures, specs, {"only"});
  EXPECT_EQ(unprompted[0].prompt, "only");
  EXPECT_EQ(unprompted[3].prompt, "");
  EXPECT_TRUE(Quorv_Image::rebuild_tile_order({}, {}, {}).empty());
  EXPECT_THROW(Quorv_Image::rebuild_tile_order({a}, specs, {}), IndexError);
}

}  // namespace
}  // namespace quorv

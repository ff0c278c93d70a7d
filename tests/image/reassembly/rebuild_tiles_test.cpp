#include <gtest/gtest.h>

#include "host/errors.h"
#include "host/memory.h"
#include "host/nodes/image_composite_masked.h"
#include "image/quorv_image.h"
#include "tests/support/test_support.h"

namespace quorv {
namespace {

NodeState rebuild_state(bool overlay = false) {
  NodeState SELF;
  SELF.SIZE.shifttl = 0;
  SELF.SIZE.inpaint_max = 1.0;
  SELF.SIZE.inpaint_border_margin = 0;
  SELF.SIZE.inpaint_blur_margin = 0;
  SELF.SIZE.composite_blur_margin = 8;
  SELF.PARAMS.Debug_Grid_Overlay = overlay;
  return SELF;
}

// One white 32 x 32 tile at grid position (row, col) pasted onto black: the
// result's first channel is the mask the tile was pasted with.
at::Tensor pasted_mask(const NodeState& SELF, int64_t row, int64_t col) {
  const std::vector<GridSpec> specs{{row, col, 0, 0, 0, 32, 32}};
  const std::vector<OptionalImage> tiles{at::ones({1, 32, 32, 3})};
  const at::Tensor canvas = at::zeros({1, 32, 32, 3});
  return Quorv_Image::rebuild_tiles(SELF, specs, tiles, canvas, canvas, 1, "1", 8, 0).full_image[0].select(2, 0);
}

TEST(Reassembly_RebuildTiles, FeathersLeftUnlessFirstColumnAndTopUnlessFirstRow) {
  const NodeState SELF = rebuild_state();
  const at::Tensor ramp = at::arange(8, at::kFloat) / 8;  // 0, 1/8, ..., 7/8 then 1
  const at::Tensor first = pasted_mask(SELF, 0, 0), left = pasted_mask(SELF, 0, 2);
  const at::Tensor top = pasted_mask(SELF, 1, 0), both = pasted_mask(SELF, 2, 1);
  EXPECT_TRUE(test::same_values(first, at::ones({32, 32})));
  EXPECT_TRUE(test::same_values(left.select(0, 5).narrow(0, 0, 8), ramp));
  EXPECT_TRUE(test::same_values(left.select(1, 20), at::ones({32})));
  EXPECT_TRUE(test::same_values(top.select(1, 5).narrow(0, 0, 8), ramp));
  EXPECT_TRUE(test::same_values(top.select(0, 20), at::ones({32})));
  EXPECT_TRUE(test::same_values(both.narrow(0, 0, 8).narrow(1, 0, 8), at::minimum(ramp.view({8, 1}), ramp.view({1, 8}))));
  // Right and bottom edges are never feathered, in any row or column.
  for (const at::Tensor& m : {first, left, top, both}) {
    EXPECT_TRUE(test::same_values(m.select(1, 31).narrow(0, 8, 24), at::ones({24})));
    EXPECT_TRUE(test::same_values(m.select(0, 31).narrow(0, 8, 24), at::ones({24})));
  }
}

TEST(Reassembly_RebuildTiles, LogsEachTileAndReturnsTheReferenceSizeAndASeparateCopy) {
  test::CapturedServices captured;
  const NodeState SELF = rebuild_state();
  const std::vector<GridSpec> specs{{0, 0, 0, 0, 0, 16, 16}, {0, 1, 1, 8, 0, 16, 16}};
  const std::vector<OptionalImage> tiles{at::full({1, 16, 16, 3}, 0.25f), at::full({1, 16, 16, 3}, 0.75f)};
  const at::Tensor canvas = at::zeros({1, 20, 30, 3});
  const at::Tensor reference = at::zeros({1, 16, 24, 3});
  const auto [full_image, only_tiles] = Quorv_Image::rebuild_tiles(SELF, specs, tiles, canvas, reference, 5, "2", 4, 0);
  EXPECT_EQ(full_image.sizes(), reference.sizes());
  EXPECT_TRUE(test::same_values(full_image, only_tiles));
  EXPECT_NE(full_image.data_ptr(), only_tiles.data_ptr());
  EXPECT_TRUE(test::same_values(canvas, at::zeros({1, 20, 30, 3})));
  ASSERT_EQ(captured.logged.size(), 2u);
  EXPECT_EQ(captured.logged[1].message, "Rebuilding tile 2/5");
  EXPECT_EQ(captured.logged[1].detail, "Refining 2 Grid_spec [0, 1, 1, 8, 0, 16, 16]");
  EXPECT_THROW(Quorv_Image::rebuild_tiles(SELF, {}, tiles, canvas, reference, 0, "2", 4, 0), ValueError);
  // A picture too large to copy (a broadcast view takes no memory itself) is refused before the canvas.
  const at::Tensor huge = at::zeros({1, 1, 1, 3}).expand({1, int64_t{1} << 20, int64_t{1} << 20, 3});
  EXPECT_THROW_WITH(Quorv_Image::rebuild_tiles(SELF, specs, tiles, huge, huge, 2, "2", 4, 0), ValueError,
                    "rebuild_tiles: rebuilding a [1, 1048576, 1048576, 3] picture needs");
}

// A 10 x 10 picture with one 11,842,740 x 35 GridSpec passed the old check
// (the canvas only) and peaked at 6.8 GiB building the tile's mask set.
TEST(Reassembly_RebuildTiles, CountsEveryMaskOfEveryTileSizeBeforeBuildingAny) {
  const NodeState SELF = rebuild_state();
  const at::Tensor canvas = at::zeros({1, 10, 10, 3});
  const std::vector<OptionalImage> tiles{at::ones({1, 10, 10, 3}), at::ones({1, 10, 10, 3})};
  const MemoryBudget budget(int64_t{7} << 30);
  EXPECT_THROW_WITH(Quorv_Image::rebuild_tiles(SELF, {{0, 0, 0, 0, 0, 11842740, 35}}, tiles, canvas, canvas, 1, "1", 4, 0),
                    ValueError, "rebuild_tiles: rebuilding a [1, 10, 10, 3] picture needs");
  // Two sizes, each fitting alone, need their mask sets together.
  const MemoryBudget smaller(int64_t{400} << 20);
  const std::vector<GridSpec> two_sizes{{0, 0, 0, 0, 0, 4000, 4000}, {0, 1, 1, 0, 0, 4000, 3000}};
  EXPECT_THROW(Quorv_Image::rebuild_tiles(SELF, two_sizes, tiles, canvas, canvas, 2, "1", 4, 0), ValueError);
  EXPECT_NO_THROW(Quorv_Image::rebuild_tiles(SELF, {{0, 0, 0, 0, 0, 10, 10}}, tiles, canvas, canvas, 1, "1", 4, 0));
}

TEST(Reassembly_RebuildTiles, DebugOverlayDrawsTheBandLinesOnEveryTile) {
  NodeState SELF = rebuild_state(/*overlay=*/true);
  const std::vector<GridSpec> specs{{0, 0, 0, 0, 0, 32, 32}};
  const std::vector<OptionalImage> tiles{at::zeros({1, 32, 32, 3})};
  const at::Tensor out =
      Quorv_Image::rebuild_tiles(SELF, specs, tiles, at::zeros({1, 32, 32, 3}), at::zeros({1, 32, 32, 3}), 1, "1", 8, 0)
          .full_image;
  // The compositing band (8) is drawn in red at column 8.
  EXPECT_FLOAT_EQ(out[0][16][8][0].item<float>(), 1.0f);
  EXPECT_FLOAT_EQ(out[0][16][8][1].item<float>(), 0.0f);
  EXPECT_FLOAT_EQ(out[0][16][16][0].item<float>(), 0.0f);
}

}  // namespace
}  // namespace quorv

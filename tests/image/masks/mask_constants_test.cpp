#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "host/errors.h"
#include "image/quorv_image.h"
#include "tests/support/node_states.h"
#include "tests/support/test_support.h"

namespace quorv {
namespace {

// A NodeState with a tile, the four margins, a mode and a picture of the
// given size (only its shape is read, so it is a broadcast view).
NodeState node_state(int64_t tile_w, int64_t tile_h, int64_t picture_w, int64_t picture_h,
                     const std::string& mode = "Tile_Fusion", int64_t ibm = 8, int64_t iblur = 16,
                     int64_t shift = 8, int64_t cbm = 32) {
  return test::node_state(test::shape_only_picture(picture_w, picture_h), {tile_w, tile_h, ibm, iblur, shift, cbm, mode});
}

TEST(Masks_SetMaskConstants, WorkedExampleRoundsTheTileAndTrimsOnlyAnEdgeAlignedRow) {
  NodeState SELF = node_state(1000, 1000, 2048, 2048);
  const masks::MaskConstants c = Quorv_Image::set_mask_constants(SELF);
  EXPECT_EQ(c.inpaint_margin, 32);
  EXPECT_EQ(c.tile_grid_W, 896);
  EXPECT_EQ(c.tile_grid_H, 896);
  EXPECT_EQ(c.rows_qty, 3);
  EXPECT_EQ(c.cols_qty, 3);
  EXPECT_EQ(SELF.SIZE.fullW.get(), 1024);
  EXPECT_EQ(SELF.SIZE.fullH.get(), 1024);
  EXPECT_EQ(SELF.SIZE.actual_inner_tile_sizeW.get(), 896);
  EXPECT_EQ(SELF.SIZE.actual_inner_tile_sizeH.get(), 896);
  EXPECT_EQ(SELF.PARAMS.rows_qty.get(), 3);
  EXPECT_EQ(SELF.PARAMS.cols_qty.get(), 3);

  // 1920 high: ceil(1856 / 896) = 3 rows, but the second row (896) already
  // starts where the edge-aligned last one would (1920 - 1024), so 2 remain.
  NodeState lower = node_state(1000, 1000, 2048, 1920);
  const masks::MaskConstants l = Quorv_Image::set_mask_constants(lower);
  EXPECT_EQ(l.rows_qty, 2);
  EXPECT_EQ(l.cols_qty, 3);
  EXPECT_EQ(lower.PARAMS.rows_qty.get(), 2);

  // A second call on the rounded sizes gives the same result.
  EXPECT_EQ(Quorv_Image::set_mask_constants(SELF).rows_qty, 3);
  EXPECT_EQ(SELF.SIZE.fullW.get(), 1024);
}

TEST(Masks_SetMaskConstants, RoundsTileSizesUpToMultiplesOf64) {
  for (auto [in, out] : std::vector<std::pair<int64_t, int64_t>>{{1024, 1024}, {1025, 1088}, {1300, 1344}, {1, 64}}) {
    NodeState SELF = node_state(in, 1024, 4096, 4096, "none", 0, 0, 0, 0);
    Quorv_Image::set_mask_constants(SELF);
    EXPECT_EQ(SELF.SIZE.fullW.get(), out) << in;
  }
}

TEST(Masks_SetMaskConstants, BandAndOverlapFollowTheFusionMode) {
  // Kontext: the same band (64) and overlap (128) as Tile_Fusion, the shift as inpaint band.
  NodeState kontext = node_state(1024, 1024, 2048, 2048, "NGTF_FLUX_Kontext");
  const masks::MaskConstants k = Quorv_Image::set_mask_constants(kontext);
  EXPECT_EQ(k.inpaint_margin, 8);
  EXPECT_EQ(k.tile_grid_W, 896);
  EXPECT_EQ(kontext.SIZE.actual_inner_tile_sizeW.get(), 896);

  // Any other text, letter case included: band and overlap are the compositing ramp alone.
  for (const std::string mode : {"tile_fusion", "", "None"}) {
    NodeState SELF = node_state(1024, 1024, 2048, 2048, mode);
    const masks::MaskConstants c = Quorv_Image::set_mask_constants(SELF);
    EXPECT_EQ(c.inpaint_margin, 0) << mode;
    EXPECT_EQ(c.tile_grid_W, 1024 - 32) << mode;
    EXPECT_EQ(SELF.SIZE.actual_inner_tile_sizeW.get(), 1024 - 64) << mode;
  }
}

TEST(Masks_SetMaskConstants, TileTooSmallRaisesTheBannerAfterRounding) {
  NodeState SELF = node_state(40, 1024, 2048, 2048);  // band 64, tile 64 wide once rounded
  const std::string banner =
      "\u26A0\uFE0F Quorv Tilvorn FLUX PRO \u26A0\uFE0F\n"
      "\n"
      "Your Tile_size is to small for your PRO Tile Fusion and compositing mask settings.\n"
      "Tile_sizeH = 1024 total overlay top+bottom = 128\n"
      "Tile_sizeW = 64 total overlay left+right = 128\n"
      "Keep in mind that Tile Fusion requires a double overlap on both sides, \n"
      "meaning the total border margins reduce the effective visible tile size by a factor of 4.\n";
  try {
    Quorv_Image::set_mask_constants(SELF);
    ADD_FAILURE() << "expected the tile-size banner";
  } catch (const Error& e) {
    EXPECT_EQ(std::string(e.what()), banner);
    EXPECT_EQ(dynamic_cast<const ValueError*>(&e), nullptr) << "the banner is of the general kind";
  }
  EXPECT_EQ(SELF.SIZE.fullW.get(), 64);
  EXPECT_EQ(SELF.SIZE.fullH.get(), 1024);
  EXPECT_FALSE(SELF.SIZE.actual_inner_tile_sizeW.is_set());
  EXPECT_FALSE(SELF.PARAMS.rows_qty.is_set());
}

TEST(Masks_SetMaskConstants, ZeroColumnStepFailsAfterTheRowsAreWritten) {
  // A tile exactly twice the band passes the size check but leaves no step between columns.
  NodeState SELF = node_state(128, 1024, 2048, 2048);
  EXPECT_THROW_WITH(Quorv_Image::set_mask_constants(SELF), ZeroDivisionError, "column step");
  EXPECT_EQ(SELF.SIZE.actual_inner_tile_sizeW.get(), 0);
  EXPECT_EQ(SELF.SIZE.actual_inner_tile_sizeH.get(), 896);
  EXPECT_EQ(SELF.PARAMS.rows_qty.get(), 3);  // computed before the columns, not yet trimmed
  EXPECT_FALSE(SELF.PARAMS.cols_qty.is_set());

  NodeState flat = node_state(1024, 128, 2048, 2048);
  EXPECT_THROW_WITH(Quorv_Image::set_mask_constants(flat), ZeroDivisionError, "row step");
  EXPECT_FALSE(flat.PARAMS.rows_qty.is_set());
}

TEST(Masks_SetMaskConstants, TinyPicturesGiveZeroOrMinusOneRowsAndHugeSizesFailCleanly) {
  // Band 64, tile 192, step 64: a picture 64 high gives ceil(0 / 64) = 0 rows, trimmed to -1.
  NodeState SELF = node_state(192, 192, 100, 64);
  const masks::MaskConstants c = Quorv_Image::set_mask_constants(SELF);
  EXPECT_EQ(c.rows_qty, -1);
  EXPECT_EQ(c.cols_qty, 0);

  NodeState huge = node_state(std::numeric_limits<int64_t>::max(), 1024, 2048, 2048);
  EXPECT_THROW_WITH(Quorv_Image::set_mask_constants(huge), ValueError, "SIZE.fullW");
}

}  // namespace
}  // namespace quorv

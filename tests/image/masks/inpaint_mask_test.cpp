#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "host/errors.h"
#include "host/memory.h"
#include "image/masks/masks.h"
#include "image/quorv_image.h"
#include "tests/support/test_support.h"

namespace quorv {
namespace {

NodeState state(bool flux_kontext, int64_t shifttl = 0, double inpaint_max = 1) {
  NodeState s;
  s.SIZE.shifttl = shifttl;
  s.SIZE.inpaint_max = inpaint_max;
  s.PARAMS.FLUX_Kontext = flux_kontext;
  return s;
}

GridSpec tile(int64_t row, int64_t col, int64_t width = 16, int64_t height = 16) {
  return GridSpec{row, col, 0, 0, 0, width, height};
}

// Sides whose middle pixel is held back, in the order left, top, right, bottom.
std::string feathered_sides(const at::Tensor& mask) {
  const at::Tensor m = mask[0][0];
  const int64_t h = m.size(0), w = m.size(1);
  std::string out;
  if (m[h / 2][0].item<float>() < 1) out += "L";
  if (m[0][w / 2].item<float>() < 1) out += "T";
  if (m[h / 2][w - 1].item<float>() < 1) out += "R";
  if (m[h - 1][w / 2].item<float>() < 1) out += "B";
  return out;
}

// The inpaint mask of a tile feathered on all four sides, built directly.
at::Tensor feathered_all_round(const NodeState& s, int64_t w, int64_t h, double ibm, double iblur, double ishift) {
  masks::OverlayMaskOptions o;
  o.composite_blur_margin = 0;
  o.inpaint_border_margin = ibm;
  o.inpaint_blur_margin = iblur;
  o.inpaint_shift = ishift;
  o.feather_left = o.feather_top = o.feather_right = o.feather_bottom = true;
  return Quorv_Image::create_custom_tile_overlay_mask(s, w, h, o).inpaint_mask;
}

TEST(Masks_InpaintMask, FeathersOnlyTheSidesFacingANeighbour) {
  const NodeState s = state(true);
  const auto sides = [&](int64_t cols, int64_t rows, int64_t row, int64_t col) {
    return feathered_sides(Quorv_Image::get_inpaint_mask(s, 16, 16, cols, rows, tile(row, col), 4, 0, 0, std::nullopt));
  };
  EXPECT_EQ(sides(3, 3, 0, 0), "RB");
  EXPECT_EQ(sides(3, 3, 0, 1), "LRB");
  EXPECT_EQ(sides(3, 3, 1, 0), "TRB");
  EXPECT_EQ(sides(3, 3, 1, 1), "LTRB");
  EXPECT_EQ(sides(3, 3, 2, 2), "LT");
  EXPECT_EQ(sides(3, 3, 2, 1), "LTR");
  // A one-column grid: the single column is feathered on the right although it ends the picture.
  EXPECT_EQ(sides(1, 3, 1, 0), "TRB");
  EXPECT_EQ(sides(1, 1, 0, 0), "RB");
}

TEST(Masks_InpaintMask, UpscaleDetailerRescalesMarginsAndTakesTheTileSize) {
  const NodeState s = state(true);
  const at::Tensor doubled = Quorv_Image::get_inpaint_mask(s, 100, 60, 3, 3, tile(1, 1, 512, 256), 4, 8, 16, 2.0);
  EXPECT_EQ(doubled.sizes(), (std::vector<int64_t>{1, 1, 512, 1024}));
  EXPECT_TRUE(test::same_values(doubled, feathered_all_round(s, 1024, 512, 32, 8, 16)));

  // 5 x 1.5 = 7.5 and 9 x 1.5 = 13.5 are truncated to 7 and 13.
  const at::Tensor partial = Quorv_Image::get_inpaint_mask(s, 100, 60, 3, 3, tile(1, 1, 10, 9), 5, 0, 0, 1.5);
  EXPECT_TRUE(test::same_values(partial, feathered_all_round(s, 15, 13, 0, 7, 0)));

  // Absent, 0 and 1 leave the margins and the passed size alone.
  const at::Tensor expected = feathered_all_round(s, 20, 18, 1, 3, 2);
  for (std::optional<double> factor : {std::optional<double>{}, std::optional<double>{0.0}, std::optional<double>{1.0}})
    EXPECT_TRUE(test::same_values(
        Quorv_Image::get_inpaint_mask(s, 18, 20, 3, 3, tile(1, 1, 512, 256), 3, 2, 1, factor), expected));
}

TEST(Masks_InpaintMask, BorderGuardHoldsBackSharedEdgesUnlessKontext) {
  const auto middle_row = [](const at::Tensor& mask) {
    const at::Tensor row = mask[0][0][5].contiguous();
    return std::vector<float>(row.data_ptr<float>(), row.data_ptr<float>() + row.numel());
  };
  const float third = static_cast<float>(1.0 / 3), two_thirds = static_cast<float>(2.0 / 3);
  const NodeState guarded = state(false);
  EXPECT_EQ(middle_row(Quorv_Image::get_inpaint_mask(guarded, 10, 10, 3, 3, tile(1, 1), 0, 0, 0, std::nullopt)),
            (std::vector<float>{0, 0, third, two_thirds, 1, 1, two_thirds, third, 0, 0}));
  EXPECT_EQ(middle_row(Quorv_Image::get_inpaint_mask(guarded, 10, 10, 3, 3, tile(0, 0), 0, 0, 0, std::nullopt)),
            (std::vector<float>{1, 1, 1, 1, 1, 1, two_thirds, third, 0, 0}));
  // Wider margins than the guard's: the main mask alone decides.
  const at::Tensor wide = Quorv_Image::get_inpaint_mask(guarded, 16, 16, 3, 3, tile(1, 1), 4, 2, 1, std::nullopt);
  EXPECT_TRUE(test::same_values(wide, feathered_all_round(guarded, 16, 16, 1, 4, 2)));

  const NodeState kontext = state(true);
  EXPECT_TRUE(test::same_values(
      Quorv_Image::get_inpaint_mask(kontext, 10, 10, 3, 3, tile(1, 1), 0, 0, 0, std::nullopt), at::ones({1, 1, 10, 10})));
}

TEST(Masks_InpaintMask, RejectsUnusableFactorsAndMissingFields) {
  const NodeState s = state(false);
  EXPECT_THROW_WITH(Quorv_Image::get_inpaint_mask(s, 16, 16, 3, 3, tile(1, 1), 4, 0, 0, std::nan("")), ValueError,
                    "inpaint_blur_margin * Upscale_Detailer");
  NodeState unset = state(false);
  unset.PARAMS.FLUX_Kontext.reset();
  EXPECT_THROW_WITH(Quorv_Image::get_inpaint_mask(unset, 16, 16, 3, 3, tile(1, 1), 4, 0, 0, std::nullopt), KeyError,
                    "PARAMS.FLUX_Kontext");
}

// An 11,842,740 x 35 mask passed the old check (about 3.3 GiB counted) and
// peaked at 6.8 GiB: the three masks alive at once, with the profiles, are counted.
TEST(Masks_InpaintMask, RefusesWhatTheWholeMaskPathNeedsBeforeAllocating) {
  const int64_t wide = 11842740;
  EXPECT_GE(masks::overlay_mask_bytes(wide, 35, 3), int64_t{5} << 30);
  EXPECT_EQ(masks::overlay_mask_bytes(0, -5, 3), 0);
  EXPECT_EQ(masks::overlay_mask_bytes(1000, 0, 3), 1000 * 48);  // an empty mask still has full-width profiles
  const MemoryBudget budget(int64_t{4} << 30);  // more than the old count, less than the path needs
  EXPECT_THROW_WITH(Quorv_Image::get_inpaint_mask(state(false), 35, wide, 3, 3, tile(1, 1), 4, 0, 0, std::nullopt),
                    ValueError, "get_inpaint_mask: an inpaint mask of 11842740x35 needs");
  {
    const MemoryBudget kontext_budget(int64_t{3584} << 20);  // with Kontext one mask less is alive
    EXPECT_THROW_WITH(Quorv_Image::get_inpaint_mask(state(true), 35, wide, 3, 3, tile(1, 1), 4, 0, 0, std::nullopt),
                      ValueError, "needs");
  }
  EXPECT_NO_THROW(Quorv_Image::get_inpaint_mask(state(false), 64, 64, 3, 3, tile(1, 1), 4, 0, 0, std::nullopt));
}

}  // namespace
}  // namespace quorv

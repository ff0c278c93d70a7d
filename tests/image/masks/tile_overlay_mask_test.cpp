#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "host/errors.h"
#include "image/quorv_image.h"
#include "tests/support/test_support.h"

namespace quorv {
namespace {

NodeState state(int64_t shifttl = 0, double inpaint_max = 1) {
  NodeState s;
  s.SIZE.shifttl = shifttl;
  s.SIZE.inpaint_max = inpaint_max;
  return s;
}

// Margins cbm, ibm, iblur, ishift and the feathered sides as letters of "LTRB".
masks::OverlayMaskOptions options(double cbm, double ibm, double iblur, double ishift, const std::string& sides) {
  masks::OverlayMaskOptions o;
  o.composite_blur_margin = cbm;
  o.inpaint_border_margin = ibm;
  o.inpaint_blur_margin = iblur;
  o.inpaint_shift = ishift;
  o.feather_left = sides.find('L') != std::string::npos;
  o.feather_top = sides.find('T') != std::string::npos;
  o.feather_right = sides.find('R') != std::string::npos;
  o.feather_bottom = sides.find('B') != std::string::npos;
  return o;
}

std::vector<float> values(const at::Tensor& line) {
  const at::Tensor c = line.contiguous();
  return {c.data_ptr<float>(), c.data_ptr<float>() + c.numel()};
}

// The first row of the compositing (or inpaint) mask of an 8 x 3 tile.
std::vector<float> row8(const NodeState& s, const masks::OverlayMaskOptions& o, bool inpaint = false) {
  const masks::MaskPair p = Quorv_Image::create_custom_tile_overlay_mask(s, 8, 3, o);
  const at::Tensor mask = inpaint ? p.inpaint_mask : p.compositing_mask;
  EXPECT_TRUE(test::same_values(mask, mask.narrow(2, 0, 1).expand({1, 1, 3, 8})));  // every row alike
  return values(mask[0][0][0]);
}

TEST(Masks_TileOverlayMask, DefaultsGiveAllOnesAndASixtyFourPixelCompositingRamp) {
  const NodeState s = state();
  const masks::MaskPair plain = Quorv_Image::create_custom_tile_overlay_mask(s, 100, 70);
  EXPECT_TRUE(test::same_values(plain.compositing_mask, at::ones({1, 1, 70, 100})));
  EXPECT_TRUE(test::same_values(plain.inpaint_mask, at::ones({1, 1, 70, 100})));

  masks::OverlayMaskOptions left;
  left.feather_left = true;
  const masks::MaskPair pair = Quorv_Image::create_custom_tile_overlay_mask(s, 100, 70, left);
  const std::vector<float> row = values(pair.compositing_mask[0][0][0]);
  for (int64_t x = 0; x < 100; ++x) EXPECT_EQ(row[x], x < 64 ? static_cast<float>(x / 64.0) : 1.0f) << x;
  EXPECT_TRUE(test::same_values(pair.inpaint_mask, at::ones({1, 1, 70, 100})));  // inpaint margins are 0
}

TEST(Masks_TileOverlayMask, ProfilesMatchTheWorkedExamples) {
  const NodeState s = state();
  EXPECT_EQ(row8(s, options(4, 0, 0, 0, "L")), (std::vector<float>{0, 0.25, 0.5, 0.75, 1, 1, 1, 1}));
  EXPECT_EQ(row8(s, options(4, 2, 0, 0, "L")), (std::vector<float>{0, 0, 0, 0.25, 0.5, 0.75, 1, 1}));
  // The right band is written last and wins where the two overlap.
  EXPECT_EQ(row8(s, options(4, 2, 0, 0, "LR")), (std::vector<float>{0, 0, 0.75, 0.5, 0.25, 0, 0, 0}));
  // Margins are truncated toward zero: 4.9, 2.7 and -0.5 act as 4, 2 and 0.
  EXPECT_EQ(row8(s, options(4.9, 2.7, -0.5, 0.9, "L")), (std::vector<float>{0, 0, 0, 0.25, 0.5, 0.75, 1, 1}));
  // SIZE.shifttl shortens the right inpaint band; beyond the zeros it starts the ramp above 0.
  EXPECT_EQ(row8(state(1), options(0, 1, 2, 1, "LR"), true), (std::vector<float>{0, 0, 0, 0.5, 1, 0.5, 0, 0}));
  EXPECT_EQ(row8(state(2), options(0, 0, 4, 0, "R"), true), (std::vector<float>{1, 1, 1, 1, 1, 1, 0.75, 0.5}));

  // Rows ramp from the top and bottom the same way.
  const NodeState s1 = state(1);
  const masks::MaskPair tall = Quorv_Image::create_custom_tile_overlay_mask(s1, 3, 8, options(4, 1, 2, 1, "TB"));
  EXPECT_EQ(values(tall.compositing_mask[0][0].select(1, 2)), (std::vector<float>{0, 0, 0.25, 0.75, 0.5, 0.25, 0, 0}));
  EXPECT_EQ(values(tall.inpaint_mask[0][0].select(1, 0)), (std::vector<float>{0, 0, 0, 0.5, 1, 0.5, 0, 0}));
  // Both axes: the outer minimum.
  const masks::MaskPair corner = Quorv_Image::create_custom_tile_overlay_mask(s, 4, 4, options(2, 0, 0, 0, "LT"));
  EXPECT_EQ(values(corner.compositing_mask.flatten()),
            (std::vector<float>{0, 0, 0, 0, 0, 0.5, 0.5, 0.5, 0, 0.5, 1, 1, 0, 0.5, 1, 1}));
}

TEST(Masks_TileOverlayMask, SofteningFollowsSizeInpaintMaxOnly) {
  // Inpaint profile 0, 0.5, 1, 1 before softening.
  const auto softened = [](double m, double passed = 1) {
    masks::OverlayMaskOptions o = options(0, 0, 2, 0, "L");
    o.inpaint_max = passed;
    const NodeState s = state(0, m);
    return values(Quorv_Image::create_custom_tile_overlay_mask(s, 4, 2, o).inpaint_mask[0][0][1]);
  };
  const std::vector<float> plain{0, 0.5, 1, 1}, ones{1, 1, 1, 1};
  EXPECT_EQ(softened(1), plain);
  EXPECT_EQ(softened(1, 0.8), plain);  // the inpaint_max argument is not read
  EXPECT_EQ(softened(0.5), (std::vector<float>{0, 0.25, 0.5, 0.5}));
  EXPECT_EQ(softened(1.5), (std::vector<float>{0.5, 0.75, 1, 1}));
  EXPECT_EQ(softened(2), ones);
  EXPECT_EQ(softened(7), ones);
  EXPECT_EQ(softened(1.0000000000000004), plain);
  EXPECT_GT(softened(std::nextafter(1.0000000000000004, 2.0))[0], 0.0f);
  EXPECT_EQ(softened(0), plain);
  EXPECT_EQ(softened(-0.5), (std::vector<float>{0, 0, 0, 0}));
}

TEST(Masks_TileOverlayMask, RejectsBandsLongerThanTheTileAndBadValues) {
  const auto make = [](int64_t w, int64_t h, const masks::OverlayMaskOptions& o, const NodeState& s) {
    return Quorv_Image::create_custom_tile_overlay_mask(s, w, h, o);
  };
  const NodeState s = state();
  EXPECT_THROW_WITH(make(8, 8, options(9, 0, 0, 0, "L"), s), IndexError,
                    "left compositing band must be at most tile_width = 8 pixels long, got 9");
  // A negative SIZE.shifttl lengthens the far band past the tile.
  EXPECT_THROW_WITH(make(6, 6, options(0, 1, 2, 1, "R"), state(-3)), IndexError,
                    "right inpaint band must be at most tile_width = 6 pixels long, got 7");
  EXPECT_NO_THROW(make(8, 8, options(1e6, 0, 0, 0, ""), s));  // only feathered sides must fit
  EXPECT_THROW_WITH(make(-1, 8, {}, s), ValueError, "tile_width must be >= 0, got -1");
  EXPECT_THROW_WITH(make(8, 8, options(std::nan(""), 0, 0, 0, ""), s), ValueError, "composite_blur_margin");
  EXPECT_THROW_WITH(make(8, 8, options(64, 5e18, 0, 5e18, ""), s), ValueError, "overflows");
  EXPECT_THROW_WITH(make(8, 8, {}, state(0, std::numeric_limits<double>::infinity())), ValueError,
                    "SIZE.inpaint_max must be a finite number");
  EXPECT_THROW_WITH(make(8, 8, {}, NodeState()), KeyError, "SIZE.shifttl");
  // Sizes that fit int64 but not in memory are refused before anything is allocated.
  EXPECT_THROW_WITH(make(int64_t{1} << 24, int64_t{1} << 24, {}, s), ValueError, "of memory, but only");
  EXPECT_THROW_WITH(make(int64_t{1} << 40, 0, {}, s), ValueError, "of memory, but only");  // no rows, huge profiles
}

}  // namespace
}  // namespace quorv

#include <gtest/gtest.h>

#include "host/errors.h"
#include "image/fusion/fusion_internal.h"
#include "image/quorv_image.h"
#include "tests/support/test_support.h"

namespace quorv {
namespace {

const at::Device kCpu(at::kCPU);

NodeState with_margins(int64_t border, int64_t blur, int64_t shift) {
  NodeState SELF;
  SELF.SIZE.inpaint_border_margin = border;
  SELF.SIZE.inpaint_blur_margin = blur;
  SELF.SIZE.shift = shift;
  return SELF;
}

// The neighbour weight across a strip: an all-ones neighbour blended into an all-zeros tile.
at::Tensor weights(const NodeState& SELF, const std::string& side, int64_t cropmargin, int64_t feather) {
  const at::Tensor tile = at::zeros({1, 64, 64, 3}), neighbour = at::ones({1, 64, 64, 3});
  const at::Tensor strip = Quorv_Image::blend_neighbor_tensor(SELF, tile, neighbour, cropmargin, side, feather, kCpu);
  return side == "top" || side == "bottom" ? strip[0].select(1, 5).select(1, 0) : strip[0][5].select(1, 0);
}

at::Tensor ones(int64_t n) { return at::ones({n}); }
at::Tensor zeros(int64_t n) { return at::zeros({n}); }
at::Tensor ramp(double from, double to, int64_t n) { return at::linspace(from, to, n); }

TEST(Fusion_BlendNeighborTensor, RampAndZeroBandSitAtTheInnerEndOfTheStrip) {
  // 64-row top strip, ramp 10: pure neighbour, then 1 -> 0 over rows 54..63.
  EXPECT_TRUE(test::same_values(weights(with_margins(0, 0, 0), "top", 64, 10), at::cat({ones(54), ramp(1, 0, 10)})));
  // A 16-row zero band: rows 38..47 ramp, 48..63 pure tile.
  EXPECT_TRUE(test::same_values(weights(with_margins(16, 0, 0), "top", 64, 10),
                                at::cat({ones(38), ramp(1, 0, 10), zeros(16)})));
  // Left is the same along columns; bottom and right are mirrored.
  EXPECT_TRUE(test::same_values(weights(with_margins(16, 0, 0), "left", 64, 10),
                                at::cat({ones(38), ramp(1, 0, 10), zeros(16)})));
  EXPECT_TRUE(test::same_values(weights(with_margins(16, 0, 0), "bottom", 64, 10),
                                at::cat({zeros(16), ramp(0, 1, 10), ones(38)})));
  EXPECT_TRUE(test::same_values(weights(with_margins(16, 0, 0), "right", 64, 10),
                                at::cat({zeros(16), ramp(0, 1, 10), ones(38)})));
  // The band is border - blur - shift, never negative.
  EXPECT_TRUE(test::same_values(weights(with_margins(20, 2, 2), "top", 64, 10),
                                at::cat({ones(38), ramp(1, 0, 10), zeros(16)})));
  EXPECT_TRUE(test::same_values(weights(with_margins(4, 8, 0), "top", 64, 10), at::cat({ones(54), ramp(1, 0, 10)})));
}

TEST(Fusion_BlendNeighborTensor, ShortStripsAndShortRamps) {
  // Ramp and band do not fit (10 + 16 > 20): the ramp alone ends at the inner end.
  EXPECT_TRUE(test::same_values(weights(with_margins(16, 0, 0), "top", 20, 10), at::cat({ones(10), ramp(1, 0, 10)})));
  // A ramp longer than the strip: pure neighbour everywhere.
  EXPECT_TRUE(test::same_values(weights(with_margins(0, 0, 0), "top", 8, 12), ones(8)));
  // A ramp of 0 is raised to 4 first.
  EXPECT_TRUE(test::same_values(weights(with_margins(0, 0, 0), "top", 64, 0), at::cat({ones(60), ramp(1, 0, 4)})));
  // One step: the single value of the ramp's start.
  EXPECT_TRUE(test::same_values(weights(with_margins(0, 0, 0), "top", 64, 1), ones(64)));
  EXPECT_TRUE(test::same_values(weights(with_margins(0, 0, 0), "bottom", 64, 1), at::cat({zeros(1), ones(63)})));
}

TEST(Fusion_BlendNeighborTensor, OwnWeightUnknownSidesAndBadStrips) {
  const NodeState SELF = with_margins(0, 0, 0);
  const at::Tensor white = at::ones({1, 32, 32, 3}), black = at::zeros({1, 32, 32, 3});
  // An all-ones tile and an all-zeros neighbour give the tile's own weight, 1 - weight.
  const at::Tensor own = Quorv_Image::blend_neighbor_tensor(SELF, white, black, 16, "top", 8, kCpu);
  EXPECT_TRUE(test::same_values(own[0].select(1, 0).select(1, 0), at::cat({zeros(8), 1 - ramp(1, 0, 8)})));
  EXPECT_TRUE(test::same_values(white, at::ones({1, 32, 32, 3})));

  const at::Tensor neighbour = test::random_picture(1, 32, 32, 3);
  EXPECT_TRUE(Quorv_Image::blend_neighbor_tensor(SELF, white, neighbour, 16, "Top", 8, kCpu).is_same(neighbour));
  EXPECT_THROW(Quorv_Image::blend_neighbor_tensor(SELF, white, neighbour, 0, "top", 8, kCpu), ValueError);
  EXPECT_THROW(Quorv_Image::blend_neighbor_tensor(SELF, white, neighbour, 33, "top", 8, kCpu), Error);
  EXPECT_THROW(Quorv_Image::blend_neighbor_tensor(SELF, white, at::ones({1, 32, 31, 3}), 8, "top", 8, kCpu), Error);
}

TEST(Fusion_BlendInto, RowKernelKeepsTakesAndMixesOnViewsAsTheFormulaSays) {
  // Areas inside larger pictures (rows strided), two pictures in the batch,
  // and a neighbour that is NaN wherever it must not be read.
  const at::Tensor picture = test::random_picture(2, 40, 50, 3);
  const at::Tensor other = test::random_picture(2, 40, 50, 3, 8);
  const at::Tensor row_w = at::cat({zeros(3), ramp(0.1, 0.9, 5), ones(4)}).view({1, 12, 1, 1});
  const at::Tensor col_w = at::cat({ones(2), ramp(0.9, 0.1, 6), zeros(3)}).view({1, 1, 11, 1});
  const at::Tensor map = row_w * col_w;  // all three kinds within each row
  for (const at::Tensor& w : {row_w, col_w, map}) {
    at::Tensor canvas = picture.clone();
    at::Tensor area = canvas.narrow(1, 7, 12).narrow(2, 9, 11);
    at::Tensor neighbour = other.narrow(1, 20, 12).narrow(2, 30, 11).clone();
    const at::Tensor full = w.expand({1, 12, 11, 1});
    neighbour.masked_fill_(full.eq(0).expand_as(neighbour), NAN);
    const at::Tensor expected =
        at::where(full.eq(0), area, at::where(full.eq(1), neighbour, area * (1 - w) + neighbour * w));
    fusion::detail::blend_into(area, neighbour, w);
    EXPECT_LT(test::max_abs_diff(area, expected), 1e-6);
    EXPECT_FALSE(area.isnan().any().item<bool>());
    // Outside the area nothing moved.
    at::Tensor outside = canvas.clone();
    outside.narrow(1, 7, 12).narrow(2, 9, 11).copy_(picture.narrow(1, 7, 12).narrow(2, 9, 11));
    EXPECT_TRUE(test::same_values(outside, picture));
  }
}

}  // namespace
}  // namespace quorv

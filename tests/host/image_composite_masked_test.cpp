#include "host/nodes/image_composite_masked.h"

#include <gtest/gtest.h>

#include "host/errors.h"
#include "tests/support/test_support.h"

namespace quorv::host {
namespace {

using test::random_picture;
using test::same_values;

// Float rounding of lerp against m*src + (1-m)*dst.
constexpr double kBlendTolerance = 1e-6;

at::Tensor composite(const at::Tensor& dst, const at::Tensor& src, int64_t x, int64_t y,
                     const std::optional<at::Tensor>& mask, bool resize = false) {
  return std::get<0>(ImageCompositeMasked::composite(dst, src, x, y, resize, mask));
}

// Slow reference: every destination pixel, one at a time.
at::Tensor reference(const at::Tensor& dst, const at::Tensor& src, int64_t x, int64_t y, const at::Tensor& m) {
  at::Tensor out = dst.clone();
  for (int64_t r = 0; r < src.size(1); ++r)
    for (int64_t c = 0; c < src.size(2); ++c) {
      const int64_t dr = r + y, dc = c + x;
      if (dr < 0 || dc < 0 || dr >= dst.size(1) || dc >= dst.size(2)) continue;
      const float w = m[r][c].item<float>();
      out.select(1, dr).select(1, dc).copy_(w * src.select(1, r).select(1, c) + (1 - w) * dst.select(1, dr).select(1, dc));
    }
  return out;
}

TEST(Host_ImageCompositeMasked, PastesThroughTheMaskOnlyWhereTheSourceOverlaps) {
  const at::Tensor dst = random_picture(1, 9, 11, 3, 1), src = random_picture(1, 4, 5, 3, 2);
  const at::Tensor mask = random_picture(1, 4, 5, 1, 3).view({4, 5});
  const at::Tensor dst_before = dst.clone(), src_before = src.clone();
  for (auto [x, y] : std::vector<std::pair<int64_t, int64_t>>{{2, 3}, {-2, -1}, {8, 7}, {20, 0}, {-5, 0}}) {
    EXPECT_LT(test::max_abs_diff(composite(dst, src, x, y, mask), reference(dst, src, x, y, mask)), kBlendTolerance)
        << x << "," << y;
  }
  EXPECT_TRUE(same_values(dst, dst_before));
  EXPECT_TRUE(same_values(src, src_before));
}

TEST(Host_ImageCompositeMasked, AcceptsEveryMaskLayoutAndNoMask) {
  const at::Tensor dst = random_picture(2, 6, 6, 3, 4), src = random_picture(2, 6, 6, 3, 5);
  const at::Tensor m = random_picture(1, 6, 6, 1, 6).view({6, 6});
  const at::Tensor expected = composite(dst, src, 0, 0, m);
  EXPECT_TRUE(same_values(composite(dst, src, 0, 0, m.view({1, 6, 6})), expected));
  EXPECT_TRUE(same_values(composite(dst, src, 0, 0, m.view({1, 1, 6, 6})), expected));
  EXPECT_TRUE(same_values(composite(dst, src, 0, 0, std::nullopt), src));
  EXPECT_TRUE(same_values(composite(dst, src, 0, 0, at::zeros({6, 6})), dst));
  // A mask of another size is resized to the source: a uniform one stays uniform.
  EXPECT_LT(test::max_abs_diff(composite(dst, src, 0, 0, at::full({3, 3}, 0.25)), dst * 0.75 + src * 0.25),
            kBlendTolerance);
  EXPECT_THROW(composite(dst, src, 0, 0, at::ones({2, 3, 6, 6})), ValueError);
  // Found by fuzzing: an empty source made the mask resize fail inside ATen; it covers nothing.
  EXPECT_TRUE(same_values(composite(dst, at::zeros({2, 6, 0, 3}), 1, 1, m), dst));
  EXPECT_THROW(composite(dst, random_picture(1, 6, 6, 4), 0, 0, std::nullopt), ValueError);
}

TEST(Host_ImageCompositeMasked, RepeatsTheSourceBatchAndResizesOnRequest) {
  const at::Tensor dst = random_picture(3, 4, 4, 3, 7), src = random_picture(2, 4, 4, 3, 8);
  const at::Tensor out = composite(dst, src, 0, 0, std::nullopt);
  EXPECT_TRUE(same_values(out[2], src[0]));  // batch entry 2 takes source entry 0 again
  const at::Tensor small = at::full({1, 2, 2, 3}, 0.5f);
  EXPECT_TRUE(same_values(composite(dst, small, 0, 0, std::nullopt, /*resize=*/true), at::full({3, 4, 4, 3}, 0.5f)));
}

TEST(Host_ImageCompositeMasked, CompositeIntoWritesInPlaceAndEqualsComposite) {
  const at::Tensor dst = random_picture(1, 16, 16, 3, 9), src = random_picture(1, 8, 8, 3, 10);
  const at::Tensor mask = random_picture(1, 8, 8, 1, 11).view({1, 1, 8, 8});
  at::Tensor owned = dst.clone();
  const void* storage = owned.data_ptr();
  ImageCompositeMasked::composite_into(owned, src, 5, 6, mask);
  EXPECT_EQ(owned.data_ptr(), storage);
  EXPECT_TRUE(same_values(owned, composite(dst, src, 5, 6, mask)));
  // A source cut from the destination itself is read before it is overwritten.
  at::Tensor self = dst.clone();
  const at::Tensor shifted = composite(dst, dst.narrow(2, 0, 8), 3, 0, std::nullopt);
  ImageCompositeMasked::composite_into(self, self.narrow(2, 0, 8), 3, 0, std::nullopt);
  EXPECT_TRUE(same_values(self, shifted));
}

}  // namespace
}  // namespace quorv::host

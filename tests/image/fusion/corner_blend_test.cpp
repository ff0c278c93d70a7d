#include <gtest/gtest.h>

#include "host/errors.h"
#include "image/quorv_image.h"
#include "tests/support/test_support.h"

namespace quorv {
namespace {

const at::Device kCpu(at::kCPU);
const NodeState kSelf;  // not read by the corner blends

// Corner weights: an all-ones neighbour over an all-zeros 32 x 32 tile, first channel.
at::Tensor topright(int64_t fx, int64_t fy) {
  return Quorv_Image::blend_topright_tensor(kSelf, at::zeros({1, 32, 32, 3}), at::ones({1, 32, 32, 3}), 16, 12, fx,
                                            fy, kCpu)[0].select(2, 0);
}

TEST(Fusion_CornerBlend, TopRightRampsAlongOneAxisOrBoth) {
  const at::Tensor x_only = topright(8, 0);  // [12 rows, 16 columns]
  EXPECT_TRUE(test::same_values(x_only[3], at::cat({at::linspace(1, 0, 8), at::ones({8})})));
  EXPECT_TRUE(test::same_values(x_only.select(1, 2), at::full({12}, x_only[0][2].item<float>())));
  const at::Tensor y_only = topright(0, 8);
  EXPECT_TRUE(test::same_values(y_only.select(1, 5), at::cat({at::ones({4}), at::linspace(1, 0, 8)})));
  const at::Tensor both = topright(8, 8);
  EXPECT_FLOAT_EQ(both[11][0].item<float>(), 0.0f);
  EXPECT_FLOAT_EQ(both[0][15].item<float>(), 1.0f);
  EXPECT_THROW(topright(17, 0), Error);

  // No ramp at all: the neighbour's bottom-left corner, as it is.
  const at::Tensor neighbour = test::random_picture(1, 20, 20, 3);
  const at::Tensor plain = Quorv_Image::blend_topright_tensor(kSelf, at::zeros({1, 32, 32, 3}), neighbour, 16, 12, 0, 0, kCpu);
  EXPECT_TRUE(test::same_values(plain, neighbour.narrow(1, 8, 12).narrow(2, 0, 16)));
}

TEST(Fusion_CornerBlend, BottomRightWeightIsTheProductOfTwoRisingRamps) {
  const at::Tensor tile = at::zeros({1, 32, 32, 3}), neighbour = at::ones({1, 32, 32, 3});
  const at::Tensor w = Quorv_Image::blend_bottomright_tensor(kSelf, tile, neighbour, 16, 16, 4, kCpu)[0].select(2, 0);
  EXPECT_FLOAT_EQ(w[0][10].item<float>(), 0.0f);
  EXPECT_NEAR(w[2][10].item<float>(), 2.0 / 3, 1e-7);
  EXPECT_NEAR(w[2][1].item<float>(), 2.0 / 9, 1e-7);
  EXPECT_FLOAT_EQ(w[10][10].item<float>(), 1.0f);
  const at::Tensor other = test::random_picture(1, 32, 32, 3);
  EXPECT_TRUE(test::same_values(Quorv_Image::blend_bottomright_tensor(kSelf, tile, other, 16, 8, 0, kCpu),
                                other.narrow(1, 0, 8).narrow(2, 0, 16)));
  EXPECT_THROW(Quorv_Image::blend_bottomright_tensor(kSelf, tile, other, 16, 3, 4, kCpu), Error);
  EXPECT_THROW(Quorv_Image::blend_bottomright_tensor(kSelf, tile, other, 0, 3, 4, kCpu), ValueError);
  EXPECT_TRUE(test::same_values(tile, at::zeros({1, 32, 32, 3})));
}

TEST(Fusion_CornerBlend, PerpV1RampsTheFirstRowsAndColumnsOrReturnsTheNeighbour) {
  const at::Tensor tile = at::zeros({1, 32, 32, 3}), neighbour = at::ones({1, 32, 32, 3});
  const at::Tensor w = Quorv_Image::blend_topright_tensor_perpv1(kSelf, tile, neighbour, 16, 12, 4, kCpu)[0].select(2, 0);
  EXPECT_FLOAT_EQ(w[0][0].item<float>(), 1.0f);
  EXPECT_FLOAT_EQ(w[3][5].item<float>(), 0.0f);
  EXPECT_FLOAT_EQ(w[8][8].item<float>(), 1.0f);
  const at::Tensor other = test::random_picture(1, 32, 32, 3);
  EXPECT_TRUE(test::same_values(Quorv_Image::blend_topright_tensor_perpv1(kSelf, tile, other, 16, 12, 16, kCpu),
                                other.narrow(1, 20, 12).narrow(2, 0, 16)));
}

}  // namespace
}  // namespace quorv

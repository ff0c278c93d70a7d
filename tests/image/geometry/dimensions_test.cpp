#include <gtest/gtest.h>

#include "host/errors.h"
#include "host/nodes/image_scale.h"
#include "image/quorv_image.h"
#include "tests/support/test_support.h"

namespace quorv {
namespace {

TEST(Geometry_Dimensions, RoundsUpToMultiplesOfEight) {
  EXPECT_EQ(Quorv_Image::calculate_new_dimensions(0, 1).new_width, 0);
  for (int64_t v = 1; v <= 8; ++v) EXPECT_EQ(Quorv_Image::calculate_new_dimensions(v, v).new_height, 8);
  const auto [w, h] = Quorv_Image::calculate_new_dimensions(9, 1023);
  EXPECT_EQ(w, 16);
  EXPECT_EQ(h, 1024);
}

TEST(Geometry_Dimensions, DivisiblePictureComesBackItself) {
  const at::Tensor img = at::zeros({1, 768, 1024, 3});
  const auto [image, width, height, is_dviby8] = Quorv_Image::format_2_divby8(img);
  EXPECT_TRUE(image.is_same(img));
  EXPECT_EQ(width, 1024);
  EXPECT_EQ(height, 768);
  EXPECT_TRUE(is_dviby8);
  EXPECT_FALSE(Quorv_Image::is_divisible_by_8(at::zeros({1, 8, 1001, 3})));
}

TEST(Geometry_Dimensions, OtherPicturesAreResizedWithLanczosAndCenterCrop) {
  for (auto [w, h] : std::vector<std::pair<int64_t, int64_t>>{{1023, 770}, {1024, 770}, {1023, 768}}) {
    const at::Tensor img = test::random_picture(1, h, w, 3);
    const at::Tensor before = img.clone();
    const auto [image, width, height, is_dviby8] = Quorv_Image::format_2_divby8(img);
    const int64_t ew = (w + 7) / 8 * 8, eh = (h + 7) / 8 * 8;
    EXPECT_FALSE(is_dviby8);
    EXPECT_EQ(width, ew);
    EXPECT_EQ(height, eh);
    EXPECT_TRUE(test::same_values(image, std::get<0>(host::ImageScale::upscale(img, "lanczos", ew, eh, "center"))));
    EXPECT_TRUE(test::same_values(img, before));
  }
  EXPECT_THROW_WITH(Quorv_Image::format_2_divby8(at::Tensor()), ValueError, "Quorv Image: No image provided");
}

}  // namespace
}  // namespace quorv

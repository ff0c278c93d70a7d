#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <limits>

#include "host/errors.h"
#include "image/quorv_image.h"
#include "tests/support/test_support.h"

namespace quorv {
namespace {

// The Mat's bytes in row-major order, channels innermost.
std::vector<int> levels_of(const cv::Mat& mat) {
  const cv::Mat flat = mat.reshape(1, 1);
  return std::vector<int>(flat.begin<uint8_t>(), flat.end<uint8_t>());
}

std::vector<int> levels(const geometry::ArrayLike& a) { return levels_of(Quorv_Image::to_numpy_uint8(a)); }

TEST(Geometry_ToNumpyUint8, DividesByTheMaximumOnlyWhenItIsAboveOne) {
  // Maximum exactly 1: kept; fractions dropped (0.5 gives 127, not 128).
  const at::Tensor unit = at::tensor({0.f, 0.5f, 1.f, 0.25f, 0.999f, 0.1f}).view({1, 2, 3});
  const at::Tensor before = unit.clone();
  const cv::Mat a = Quorv_Image::to_numpy_uint8(unit);
  EXPECT_EQ(a.type(), CV_8UC1);
  EXPECT_EQ(a.size(), cv::Size(3, 2));
  EXPECT_EQ(levels_of(a), (std::vector<int>{0, 127, 255, 63, 254, 25}));
  EXPECT_TRUE(test::same_values(unit, before));

  // Maximum 4: everything divided by 4 first. All zero: stays zero.
  EXPECT_EQ(levels(at::tensor({0.f, 1.f, 2.f, 4.f, 3.f, 0.5f}).view({2, 3})),
            (std::vector<int>{0, 63, 127, 255, 191, 31}));
  EXPECT_EQ(levels(at::zeros({1, 2, 2})), (std::vector<int>{0, 0, 0, 0}));

  // Negatives and NaN give 0; a NaN maximum compares false, so nothing is divided and 2 saturates.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(levels(at::tensor({-0.5f, nan, 0.5f, 1.f}).view({2, 2})), (std::vector<int>{0, 0, 127, 255}));
  EXPECT_EQ(levels(at::tensor({nan, 2.f, 0.2f, 0.f}).view({2, 2})), (std::vector<int>{0, 255, 51, 0}));
}

TEST(Geometry_ToNumpyUint8, RemovesEveryAxisOfLengthOne) {
  const cv::Mat p = Quorv_Image::to_numpy_uint8(at::arange(24, at::kFloat).div(23).view({1, 2, 4, 3}));
  EXPECT_EQ(p.type(), CV_8UC3);
  EXPECT_EQ(p.size(), cv::Size(4, 2));
  // Channel 0 stays channel 0: pixel (row 1, column 2) holds values 18, 19, 20 (of 23).
  auto level = [](int i) { return uint8_t(float(i) / 23.f * 255.f); };
  EXPECT_EQ(p.at<cv::Vec3b>(1, 2), cv::Vec3b(level(18), level(19), level(20)));

  EXPECT_EQ(Quorv_Image::to_numpy_uint8(at::ones({1, 1})).size(), cv::Size(1, 1));
  EXPECT_EQ(Quorv_Image::to_numpy_uint8(at::ones({1, 5, 1})).size(), cv::Size(1, 5));  // one axis: a column

  // A permuted view is read in its logical order.
  const at::Tensor plane = at::tensor({0.f, 0.2f, 0.4f, 0.6f, 0.8f, 1.f}).view({2, 3});
  EXPECT_EQ(levels(plane.t()), (std::vector<int>{0, 153, 51, 204, 102, 255}));
  EXPECT_THROW_WITH(Quorv_Image::to_numpy_uint8(at::Tensor()), ValueError, "undefined tensor");
}

TEST(Geometry_ToNumpyUint8, AcceptsOpenCvArraysAndLeavesThemAlone) {
  const cv::Mat f = (cv::Mat_<float>(2, 2) << 0.f, 0.5f, 1.f, 0.25f);
  const cv::Mat f_before = f.clone();
  EXPECT_EQ(levels(f), (std::vector<int>{0, 127, 255, 63}));
  EXPECT_EQ(cv::norm(f, f_before, cv::NORM_INF), 0.0);

  // 8-bit 0/1 masks are stretched; 16-bit values are divided by their maximum.
  EXPECT_EQ(levels(cv::Mat((cv::Mat_<uint8_t>(2, 2) << 0, 1, 1, 0))), (std::vector<int>{0, 255, 255, 0}));
  const cv::Mat sixteen_bit = (cv::Mat_<uint16_t>(2, 2) << 0, 30000, 60000, 15000);
  EXPECT_EQ(levels(sixteen_bit), (std::vector<int>{0, 127, 255, 63}));

  // A region of a larger array; a 1 x 2 three-channel array loses its row axis.
  const cv::Mat big = (cv::Mat_<float>(3, 3) << 1, 1, 1, 1, 0, 0.5f, 1, 0.2f, 0.4f);
  EXPECT_EQ(levels(big(cv::Rect(1, 1, 2, 2))), (std::vector<int>{0, 127, 51, 102}));
  const cv::Mat two_pixels = Quorv_Image::to_numpy_uint8(cv::Mat(1, 2, CV_32FC3, cv::Scalar(1.f, 0.f, 0.5f)));
  EXPECT_EQ(two_pixels.size(), cv::Size(3, 2));
  EXPECT_EQ(levels_of(two_pixels), (std::vector<int>{255, 0, 127, 255, 0, 127}));
}

}  // namespace
}  // namespace quorv

// Writing pictures: levels rounded and clamped, depth and channels as asked,
// every PNG compression level lossless, and the caller's picture untouched.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include "host/errors.h"
#include "host/threads.h"
#include "tests/support/test_support.h"
#include "tools/image_io/image_io.h"

namespace quorv::io {
namespace {

LoadedPicture round_trip(const at::Tensor& picture, const std::string& extension, int depth = 8,
                         int png_compression = kDefaultPngCompression) {
  const std::vector<unsigned char> bytes = encode_picture(picture, extension, depth, png_compression);
  return decode_picture(std::string(bytes.begin(), bytes.end()), extension);
}

TEST(ImageIo_Encode, LevelsAreRoundedAndClampedAtEightAndSixteenBits) {
  const at::Tensor rgb = test::random_picture(1, 7, 9, 3);
  const at::Tensor rgba = at::cat({rgb, at::full({1, 7, 9, 1}, 0.5f)}, 3);
  const at::Tensor before = rgba.clone();
  const LoadedPicture png8 = round_trip(rgba, ".png");
  EXPECT_TRUE(at::equal(rgba, before));
  EXPECT_EQ(png8.bit_depth, 8);
  EXPECT_LE(test::max_abs_diff(png8.rgb, rgb), 0.5 / 255 + 1e-6);
  ASSERT_TRUE(png8.alpha.has_value());
  EXPECT_NEAR(png8.alpha->max().item<double>(), 128.0 / 255, 1e-6);
  for (const std::string ext : {".tif", ".png"}) {
    const LoadedPicture deep = round_trip(rgb, ext, 16);
    EXPECT_EQ(deep.bit_depth, 16) << ext;
    EXPECT_LE(test::max_abs_diff(deep.rgb, rgb), 0.5 / 65535 + 1e-7) << ext;
  }
  // Out-of-range values land on the end levels, not wrapped around.
  const at::Tensor wild = at::tensor({-0.5f, 1.5f, 0.25f}).view({1, 1, 1, 3}).expand({1, 2, 2, 3}).contiguous();
  const at::Tensor back = round_trip(wild, ".png", 16).rgb[0][0][0];
  EXPECT_EQ(back[0].item<float>(), 0.0f);
  EXPECT_EQ(back[1].item<float>(), 1.0f);
  EXPECT_NEAR(back[2].item<float>(), 0.25, 0.5 / 65535);
}

TEST(ImageIo_Encode, EveryPngCompressionLevelKeepsThePixels) {
  const at::Tensor picture = test::sample_picture("coffee.png").narrow(1, 0, 64).narrow(2, 0, 96).contiguous();
  const at::Tensor reference = round_trip(picture, ".png", 8, 6).rgb;
  for (int level = 0; level <= 9; ++level)
    EXPECT_TRUE(at::equal(round_trip(picture, ".png", 8, level).rgb, reference)) << "level " << level;
  EXPECT_THROW_WITH(encode_picture(picture, ".png", 8, 10), ValueError, "0 to 9, got 10");
}

// A PNG deflated in bands on several threads: tall enough for a dozen bands,
// every channel count and depth, read back exactly by libvips and by OpenCV.
TEST(ImageIo_Encode, PngsDeflatedInBandsDecodeExactlyEverywhere) {
  const host::ThreadLimit two_threads(2);
  for (const int64_t channels : {1, 2, 3, 4}) {
    const at::Tensor picture = test::random_picture(1, 777, 37, channels);
    for (const int depth : {8, 16}) {
      const double top = depth == 16 ? 65535.0 : 255.0;
      const at::Tensor levels = picture.mul(top).round_();
      for (const int level : {0, 1, 9}) {
        const std::vector<unsigned char> bytes = encode_picture(picture, ".png", depth, level);
        {
          const host::ThreadLimit one_thread(1);  // the file does not depend on the cores that made it
          EXPECT_TRUE(encode_picture(picture, ".png", depth, level) == bytes) << channels << " channels, " << depth << " bits";
        }
        const LoadedPicture back = decode_picture(std::string(bytes.begin(), bytes.end()), "banded");
        ASSERT_EQ(back.channels, channels);
        const bool grey = channels <= 2;
        const at::Tensor colour = grey ? back.rgb.narrow(3, 0, 1) : back.rgb;
        const at::Tensor decoded = back.alpha ? at::cat({colour, *back.alpha}, 3) : colour;
        EXPECT_TRUE(at::equal(decoded.mul(top).round_(), levels)) << channels << " channels, " << depth << " bits, level " << level;
        // A second, independent decoder: OpenCV gives grey with alpha as four
        // channels, the grey three times; the sums ignore its BGR order.
        const cv::Mat other = cv::imdecode(
            cv::Mat(1, static_cast<int>(bytes.size()), CV_8U, const_cast<unsigned char*>(bytes.data())),
            cv::IMREAD_UNCHANGED);
        ASSERT_EQ(other.rows, 777);
        const cv::Scalar sums = cv::sum(other);
        const at::Tensor expected = channels == 2 ? at::cat({levels.narrow(3, 0, 1).expand({-1, -1, -1, 3}), levels.narrow(3, 1, 1)}, 3) : levels;
        EXPECT_EQ(sums[0] + sums[1] + sums[2] + sums[3], expected.to(at::kDouble).sum().item<double>());
      }
    }
  }
}

// A crop of a larger picture (rows apart in memory) gives the same file as its copy.
TEST(ImageIo_Encode, ACropIsWrittenAsItsCopyIs) {
  const at::Tensor larger = test::random_picture(1, 300, 41, 3);
  const at::Tensor crop = larger.narrow(1, 7, 250).narrow(2, 3, 33);
  for (const int depth : {8, 16})
    for (const std::string ext : {".png", ".tif"})
      EXPECT_EQ(encode_picture(crop, ext, depth, 1), encode_picture(crop.contiguous(), ext, depth, 1))
          << ext << " " << depth;
}

TEST(ImageIo_Encode, WhatAFormatCannotHoldIsRefused) {
  const at::Tensor rgba = at::full({1, 4, 4, 4}, 0.5f);
  EXPECT_THROW_WITH(encode_picture(rgba, ".jpg"), ValueError, "holds no alpha");
  EXPECT_THROW_WITH(encode_picture(rgba.narrow(3, 0, 3), ".webp", 16), ValueError, "16-bit");
  EXPECT_THROW_WITH(encode_picture(at::zeros({1, 4, 4, 5}), ".png"), ValueError, "[1, 4, 4, 5]");
  EXPECT_THROW(encode_picture(rgba.narrow(3, 0, 3), ".nope"), ValueError);
  // Grey stays one channel in the formats that have it.
  EXPECT_EQ(round_trip(at::full({1, 4, 4, 1}, 0.5f), ".jpg").channels, 1);
  EXPECT_EQ(round_trip(at::full({1, 4, 4, 2}, 0.5f), ".png").channels, 2);
}

}  // namespace
}  // namespace quorv::io

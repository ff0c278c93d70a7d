#include "tools/image_io/image_io.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "host/errors.h"
#include "tests/support/test_support.h"

namespace quorv::io {
namespace {

std::string fixture(const std::string& name) {
  std::ifstream in(std::string(QUORV_TEST_DATA_DIR) + "/" + name, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

TEST(ImageIo_Pictures, RoundTripsEightAndSixteenBitsWithAlpha) {
  const at::Tensor rgba = at::cat({test::random_picture(1, 7, 9, 3), at::full({1, 7, 9, 1}, 0.5f)}, 3);
  const auto png8 = decode_picture(std::string(reinterpret_cast<const char*>(encode_picture(rgba, ".png").data()),
                                               encode_picture(rgba, ".png").size()), "png8");
  EXPECT_EQ(png8.bit_depth, 8);
  EXPECT_LE(test::max_abs_diff(png8.rgb, rgba.narrow(3, 0, 3)), 0.5 / 255 + 1e-6);
  ASSERT_TRUE(png8.alpha.has_value());
  const std::vector<unsigned char> bytes16 = encode_picture(rgba.narrow(3, 0, 3), ".tif", 16);
  const auto tif16 = decode_picture(std::string(bytes16.begin(), bytes16.end()), "tif16");
  EXPECT_EQ(tif16.bit_depth, 16);
  EXPECT_LE(test::max_abs_diff(tif16.rgb, rgba.narrow(3, 0, 3)), 0.5 / 65535 + 1e-7);
}

TEST(ImageIo_Pictures, OnlyKnownFormatsReachTheDecoders) {
  // Found by fuzzing: a PNG whose signature is broken made OpenCV try its
  // DICOM decoder, which aborts the process on such input.
  EXPECT_THROW_WITH(decode_picture(fixture("regress/png_signature_broken_reaches_dicom_decoder.bin"), "broken"),
                    ValueError, "not a PNG, JPEG, TIFF or WebP file");
  EXPECT_THROW(decode_picture("", "empty"), ValueError);
  EXPECT_THROW(decode_picture("\x89PNG\r\n\x1a\n truncated", "truncated"), ValueError);
  EXPECT_THROW_WITH(read_picture("/nonexistent/picture.png"), ValueError, "/nonexistent/picture.png");
}

}  // namespace
}  // namespace quorv::io

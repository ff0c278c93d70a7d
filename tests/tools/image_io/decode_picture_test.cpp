// Reading pictures: each format by its own decoder only, the declared size
// refused before decoding, truncated data refused, the EXIF orientation applied.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "host/errors.h"
#include "tests/support/test_support.h"
#include "tools/image_io/image_io.h"

namespace quorv::io {
namespace {

std::string fixture(const std::string& name) {
  std::ifstream in(std::string(QUORV_TEST_DATA_DIR) + "/regress/" + name, std::ios::binary);
  EXPECT_TRUE(in) << name;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string encoded(const at::Tensor& picture, const std::string& extension, int depth = 8) {
  const std::vector<unsigned char> bytes = encode_picture(picture, extension, depth);
  return std::string(bytes.begin(), bytes.end());
}

// A real picture: a crop of coffee.png, large enough that a cut leaves whole rows missing.
at::Tensor coffee() { return test::sample_picture("coffee.png").narrow(1, 100, 192).narrow(2, 200, 256).contiguous(); }

// An EXIF block saying "turn 90 degrees clockwise to show" (orientation 6), little-endian.
std::string with_orientation_6(const std::string& jpeg) {
  const std::string exif("\xff\xe1\x00\x22" "Exif\0\0" "II*\0\x08\0\0\0" "\x01\0"
                         "\x12\x01\x03\0\x01\0\0\0\x06\0\0\0" "\0\0\0\0",
                         36);
  return jpeg.substr(0, 2) + exif + jpeg.substr(2);
}

TEST(ImageIo_Decode, OnlyTheDecoderOfTheNamedFormatSeesTheFile) {
  // Both start like WebP and carry another format's magic further in; a
  // try-every-decoder reader handed them to decoders that abort the process.
  EXPECT_THROW_WITH(decode_picture(fixture("webp_header_dicom_magic_at_128.bin"), "dicom"), ValueError, "dicom");
  EXPECT_THROW(decode_picture(fixture("webp_header_dted_magic_at_140.bin"), "dted"), ValueError);
  EXPECT_THROW_WITH(decode_picture(fixture("png_signature_broken_reaches_dicom_decoder.bin"), "broken"), ValueError,
                    "not a PNG, JPEG, TIFF or WebP file");
  EXPECT_THROW(read_header(fixture("webp_header_dicom_magic_at_128.bin"), "dicom"), ValueError);
  EXPECT_THROW(decode_picture("", "empty"), ValueError);
  EXPECT_THROW(decode_picture("\x89PNG\r\n\x1a\n truncated", "truncated"), ValueError);
}

TEST(ImageIo_Decode, TruncatedFilesAreErrorsInEveryFormat) {
  const at::Tensor picture = coffee();
  for (const std::string ext : {".png", ".jpg", ".tif", ".webp"}) {
    const std::string whole = encoded(picture, ext);
    EXPECT_EQ(decode_picture(whole, ext).rgb.sizes(), picture.sizes()) << ext;
    for (const double kept : {0.4, 0.1}) {
      const std::string cut = whole.substr(0, static_cast<size_t>(static_cast<double>(whole.size()) * kept));
      EXPECT_THROW(decode_picture(cut, ext + " cut"), ValueError) << ext << " cut to " << kept;
    }
  }
}

TEST(ImageIo_Decode, TheDeclaredSizeIsRefusedBeforeDecoding) {
  // 133 bytes declaring 63233 x 12039, 38 bytes declaring 16383 x 12288.
  const std::string jpeg = fixture("jpeg_declares_63233x12039.jpg");
  const PictureHeader header = read_header(jpeg, "huge.jpg");
  EXPECT_EQ(header.width, 63233);
  EXPECT_EQ(header.height, 12039);
  EXPECT_THROW_WITH(decode_picture(jpeg, "huge.jpg", int64_t{1} << 30), ValueError, "63233 x 12039");
  const std::string webp = fixture("webp_declares_16383x12288.webp");
  EXPECT_EQ(read_header(webp, "huge.webp").width, 16383);
  EXPECT_THROW_WITH(decode_picture(webp, "huge.webp", int64_t{1} << 30), ValueError, "16383 x 12288");
  // The budget counts what decoding allocates: RGB samples, nothing more.
  const std::string small = encoded(coffee(), ".png");
  const PictureHeader small_header = read_header(small, "small");
  EXPECT_EQ(decoded_bytes(small_header), 256 * 192 * 3 * 4);
  EXPECT_THROW(decode_picture(small, "small", decoded_bytes(small_header) - 1), ValueError);
  EXPECT_NO_THROW(decode_picture(small, "small", decoded_bytes(small_header)));
}

TEST(ImageIo_Decode, TheExifOrientationIsApplied) {
  // Stored 64 wide and 32 tall, red on the left: shown turned clockwise, 32 wide, 64 tall, red on top.
  at::Tensor stored = at::zeros({1, 32, 64, 3});
  stored.narrow(2, 0, 32).select(3, 0).fill_(1.0);
  stored.narrow(2, 32, 32).select(3, 2).fill_(1.0);
  const std::string jpeg = with_orientation_6(encoded(stored, ".jpg"));
  const PictureHeader header = read_header(jpeg, "turned");
  EXPECT_EQ(header.orientation, 6);
  EXPECT_EQ(header.width, 32);
  EXPECT_EQ(header.height, 64);
  const LoadedPicture shown = decode_picture(jpeg, "turned");
  ASSERT_EQ(shown.rgb.sizes(), (std::vector<int64_t>{1, 64, 32, 3}));
  EXPECT_GT(shown.rgb[0][8][16][0].item<float>(), 0.9);   // top: red
  EXPECT_LT(shown.rgb[0][8][16][2].item<float>(), 0.1);
  EXPECT_GT(shown.rgb[0][56][16][2].item<float>(), 0.9);  // bottom: blue
}

TEST(ImageIo_Decode, GreySixteenBitAndAlphaAreReportedAsTheFileHasThem) {
  const at::Tensor grey = coffee().mean(3, true);
  const LoadedPicture g16 = decode_picture(encoded(grey, ".png", 16), "grey16");
  EXPECT_EQ(g16.channels, 1);
  EXPECT_EQ(g16.bit_depth, 16);
  EXPECT_LE(test::max_abs_diff(g16.rgb.select(3, 1), grey.select(3, 0)), 0.5 / 65535 + 1e-7);
  EXPECT_FALSE(g16.alpha.has_value());

  const at::Tensor grey_alpha = at::cat({grey, at::full_like(grey, 0.5)}, 3);
  const LoadedPicture ga = decode_picture(encoded(grey_alpha, ".tif"), "grey alpha");
  EXPECT_EQ(ga.channels, 2);
  ASSERT_TRUE(ga.alpha.has_value());
  EXPECT_NEAR(ga.alpha->mean().item<double>(), 128.0 / 255, 1e-6);
  EXPECT_TRUE(at::equal(ga.rgb.select(3, 0), ga.rgb.select(3, 2)));
}

}  // namespace
}  // namespace quorv::io

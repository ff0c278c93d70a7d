// What OUTPUT holds: the input's depth and channels, alpha enlarged without
// the hidden colour bleeding, composited where the format has no alpha, and
// the picture the way it is meant to be shown.
#include <gtest/gtest.h>

#include "tests/tools/quorv/cli_support.h"

namespace quorv::test {
namespace {

std::vector<std::string> upscale(const TempFolder& dir, const std::string& in, const std::string& out,
                                 std::vector<std::string> options = {}) {
  std::vector<std::string> args{"upscale", dir / in, "-o", dir / out, "-q", "--fusion", "none"};
  args.insert(args.end(), options.begin(), options.end());
  return args;
}

TEST(Quorv_OutputPicture, DepthAndChannelsFollowTheInputUnlessAsked) {
  TempFolder dir;
  const at::Tensor grey = sample_picture("coffee.png").narrow(1, 100, 60).narrow(2, 200, 80).mean(3, true);
  io::write_picture(dir / "grey16.png", grey.contiguous(), 16);
  ASSERT_EQ(run_quorv(upscale(dir, "grey16.png", "out.png"), dir).status, 0);
  const io::LoadedPicture out = io::read_picture(dir / "out.png");
  EXPECT_EQ(out.bit_depth, 16);
  EXPECT_EQ(out.channels, 1);
  ASSERT_EQ(run_quorv(upscale(dir, "grey16.png", "out8.png", {"--depth", "8"}), dir).status, 0);
  EXPECT_EQ(io::read_picture(dir / "out8.png").bit_depth, 8);
  // JPEG holds 8 bits: the default follows the format, no error.
  ASSERT_EQ(run_quorv(upscale(dir, "grey16.png", "out.jpg"), dir).status, 0);
  EXPECT_EQ(io::read_picture(dir / "out.jpg").channels, 1);
  write_coffee_crop(dir / "rgb8.png");
  ASSERT_EQ(run_quorv(upscale(dir, "rgb8.png", "rgb.tif"), dir).status, 0);
  const io::LoadedPicture rgb = io::read_picture(dir / "rgb.tif");
  EXPECT_EQ(rgb.bit_depth, 8);
  EXPECT_EQ(rgb.channels, 3);
}

// Left half opaque green, right half fully transparent over hidden red.
void write_hidden_red(const std::string& path) {
  at::Tensor rgba = at::zeros({1, 48, 64, 4});
  rgba.narrow(2, 0, 32).select(3, 1).fill_(1.0);
  rgba.narrow(2, 0, 32).select(3, 3).fill_(1.0);
  rgba.narrow(2, 32, 32).select(3, 0).fill_(1.0);
  io::write_picture(path, rgba);
}

TEST(Quorv_OutputPicture, HiddenColourDoesNotBleedAndIsNeverShown) {
  TempFolder dir;
  write_hidden_red(dir / "in.png");
  ASSERT_EQ(run_quorv(upscale(dir, "in.png", "out.png"), dir).status, 0);
  const io::LoadedPicture out = io::read_picture(dir / "out.png");
  ASSERT_TRUE(out.alpha.has_value());
  // Wherever a pixel shows at all, it shows green only.
  const at::Tensor visible = out.alpha->squeeze(3) > 0.02;
  ASSERT_GT(visible.sum().item<int64_t>(), 0);
  EXPECT_LE(out.rgb.select(3, 0).masked_select(visible).max().item<float>(), 1.5 / 255);

  const ProgramRun jpeg = run_quorv(upscale(dir, "in.png", "out.jpg"), dir);
  ASSERT_EQ(jpeg.status, 0) << jpeg.err;
  EXPECT_NE(jpeg.out.find("composited over white"), std::string::npos) << jpeg.out;
  const at::Tensor flat = io::read_picture(dir / "out.jpg").rgb;
  EXPECT_GT(flat[0][48][120].min().item<float>(), 0.9);  // transparent: the white background
  EXPECT_LT(flat[0][48][8][0].item<float>(), 0.1);       // opaque: green, not red
  ASSERT_EQ(run_quorv(upscale(dir, "in.png", "black.jpg", {"--background", "#000000"}), dir).status, 0);
  EXPECT_LT(io::read_picture(dir / "black.jpg").rgb[0][48][120].max().item<float>(), 0.1);
  EXPECT_EQ(run_quorv(upscale(dir, "in.png", "bad.jpg", {"--background", "pink"}), dir).status, 2);
}

TEST(Quorv_OutputPicture, TheExifOrientationIsAppliedOnRead) {
  TempFolder dir;
  // Stored 192 x 96 with red on the left, tagged "turn clockwise": shown 96 x 192 with red on top.
  at::Tensor stored = at::zeros({1, 96, 192, 3});
  stored.narrow(2, 0, 96).select(3, 0).fill_(1.0);
  stored.narrow(2, 96, 96).select(3, 2).fill_(1.0);
  const std::vector<unsigned char> jpeg = io::encode_picture(stored, ".jpg");
  const std::string exif("\xff\xe1\x00\x22" "Exif\0\0" "II*\0\x08\0\0\0" "\x01\0"
                         "\x12\x01\x03\0\x01\0\0\0\x06\0\0\0" "\0\0\0\0",
                         36);
  std::ofstream file(dir / "turned.jpg", std::ios::binary);
  file.write(reinterpret_cast<const char*>(jpeg.data()), 2).write(exif.data(), 36);
  file.write(reinterpret_cast<const char*>(jpeg.data()) + 2, static_cast<std::streamsize>(jpeg.size() - 2));
  file.close();
  const ProgramRun run = run_quorv(upscale(dir, "turned.jpg", "out.png", {"--tile-size", "128"}), dir);
  ASSERT_EQ(run.status, 0) << run.err;
  const at::Tensor out = io::read_picture(dir / "out.png").rgb;
  ASSERT_EQ(out.sizes(), (std::vector<int64_t>{1, 384, 192, 3}));
  EXPECT_GT(out[0][48][96][0].item<float>(), 0.9);
  EXPECT_GT(out[0][336][96][2].item<float>(), 0.9);
}

}  // namespace
}  // namespace quorv::test

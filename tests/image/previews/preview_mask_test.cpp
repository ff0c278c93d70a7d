#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <filesystem>

#include "host/errors.h"
#include "image/quorv_image.h"
#include "tests/support/test_support.h"
#include "tools/image_io/image_io.h"

namespace quorv {
namespace {

// A picture whose 8-bit conversion gives exactly `levels` ([H, W, 3], 0..255):
// half a level up, so that dropping the fraction lands on the level.
at::Tensor picture_of(const at::Tensor& levels) {
  return levels.to(at::kFloat).add(0.5).div(255).unsqueeze(0);
}

// The 8-bit levels of a preview ([1, H, W, 3] of level / 255) as [H, W, 3] integers.
at::Tensor levels_of(const at::Tensor& preview) { return preview[0].mul(255).round().to(at::kInt); }

SizeState inner_tile(int64_t w, int64_t h) {
  SizeState SIZE;
  SIZE.actual_inner_tile_sizeW = w;
  SIZE.actual_inner_tile_sizeH = h;
  return SIZE;
}

// `channels` channels from `first_channel` raised by half of 255: rounded half
// to even as OpenCV's 8-bit weighted addition does, saturated at 255.
at::Tensor tinted(const at::Tensor& levels, int64_t first_channel, int64_t channels) {
  at::Tensor out = levels.to(at::kDouble);
  out.narrow(2, first_channel, channels).add_(127.5).round_().clamp_max_(255);
  return out.to(at::kInt);
}

// A frame line of thickness 2 covers the line and one pixel either side.
void expect_frame_line(const at::Tensor& got, const at::Tensor& expected, int64_t line, int64_t across) {
  for (int64_t k : {-1, 0, 1}) {
    EXPECT_TRUE(at::equal(got[across][line + k], at::zeros({3}, at::kInt))) << "column " << line + k;
    EXPECT_TRUE(at::equal(got[line + k][across], at::zeros({3}, at::kInt))) << "row " << line + k;
  }
  for (int64_t k : {-2, 2}) {
    EXPECT_TRUE(at::equal(got[across][line + k], expected[across][line + k])) << "column " << line + k;
    EXPECT_TRUE(at::equal(got[line + k][across], expected[line + k][across])) << "row " << line + k;
  }
}

TEST(Previews_PreviewMask, WorkedExampleTintsBothColoursAndFramesTheInnerTile) {
  at::Generator gen = at::detail::createCPUGenerator(11);
  const at::Tensor base = at::randint(0, 256, {1024, 1024, 3}, gen, at::kInt);
  const at::Tensor background = picture_of(base);
  const at::Tensor mask = at::zeros({1, 1024, 1024});
  const at::Tensor background_before = background.clone();
  const SizeState SIZE = inner_tile(896, 896);
  const Quorv_Image quorv{};

  const at::Tensor out = quorv.Preview_Mask(mask, mask, background, SIZE, 0.0, 32, "Tile_Fusion");
  ASSERT_EQ(out.sizes(), (std::vector<int64_t>{1, 1024, 1024, 3}));
  const at::Tensor got = levels_of(out);
  EXPECT_TRUE(at::equal(out, got.to(at::kFloat).div(255.0).unsqueeze(0)));
  const at::Tensor expected = tinted(base, 0, 2);
  EXPECT_TRUE(at::equal(got.narrow(0, 0, 60), expected.narrow(0, 0, 60)));
  EXPECT_TRUE(at::equal(got.slice(0, 70, 950).slice(1, 70, 950), expected.slice(0, 70, 950).slice(1, 70, 950)));
  for (int64_t line : {64, 960}) expect_frame_line(got, expected, line, 500);
  EXPECT_TRUE(at::equal(got[64][64], at::zeros({3}, at::kInt)));
  EXPECT_TRUE(at::equal(got[960][960], at::zeros({3}, at::kInt)));
  EXPECT_TRUE(test::same_values(background, background_before));
  EXPECT_TRUE(test::same_values(mask, at::zeros({1, 1024, 1024})));
  // feather_inpaint is not read.
  EXPECT_TRUE(test::same_values(quorv.Preview_Mask(mask, mask, background, SIZE, 99.5, 32, "Tile_Fusion"), out));

  // The inset frame of the "Generative Tile Fusion" mode: W - 2 * feather wide.
  const at::Tensor inset =
      levels_of(quorv.Preview_Mask(mask, mask, background, SIZE, 0.0, 32, "Generative Tile Fusion"));
  for (int64_t line : {32, 992}) expect_frame_line(inset, expected, line, 500);
  EXPECT_TRUE(at::equal(inset[500][64], expected[500][64]));
}

TEST(Previews_PreviewMask, PictureSmallerThanTheInnerTileComesBackUndrawn) {
  const test::CapturedServices captured;
  const at::Tensor background = test::random_picture(1, 100, 80, 3);
  const at::Tensor mask = at::zeros({1, 200, 200});
  const Quorv_Image quorv{};
  EXPECT_TRUE(quorv.Preview_Mask(mask, mask, background, inner_tile(81, 10), 0, 0, "").is_same(background));
  EXPECT_TRUE(quorv.Preview_Mask(mask, mask, background, inner_tile(10, 101), 0, 0, "").is_same(background));
  EXPECT_FALSE(quorv.Preview_Mask(mask, mask, background, inner_tile(80, 100), 0, 0, "").is_same(background));
  EXPECT_EQ(captured.printed.size(), 2u);  // only the drawn preview cropped its masks
}

TEST(Previews_PreviewMask, SmallerMasksLandCentredWithTheExtraLineBottomRight) {
  const at::Tensor black = at::zeros({1, 7, 10, 3});
  const at::Tensor red_mask = at::zeros({4, 5});                 // rows 1..4, columns 2..6
  const cv::Mat green_mask = cv::Mat::zeros(2, 3, CV_32F);       // rows 2..3, columns 3..5
  // A negative feather pushes the frame outside the picture.
  const at::Tensor got = levels_of(Quorv_Image().Preview_Mask(red_mask, green_mask, black, inner_tile(0, 0), 0, -4,
                                                              "Generative Tile Fusion"));
  at::Tensor expected = at::zeros({7, 10, 3}, at::kInt);
  expected.slice(0, 1, 5).slice(1, 2, 7).select(2, 0).fill_(128);
  expected.slice(0, 2, 4).slice(1, 3, 6).select(2, 1).fill_(128);
  EXPECT_TRUE(at::equal(got, expected)) << got.permute({2, 0, 1});
}

TEST(Previews_PreviewMask, LargerMasksAreCutFromTheirTopLeftWithAWarning) {
  const test::CapturedServices captured;
  at::Tensor wide = at::ones({1, 5, 8});
  wide.slice(1, 0, 4).slice(2, 0, 6).zero_();  // exactly the part that fits
  at::Tensor tall = at::ones({6, 3});
  tall.slice(0, 0, 4).zero_();
  const at::Tensor got = levels_of(Quorv_Image().Preview_Mask(wide, tall, at::zeros({1, 4, 6, 3}),
                                                              inner_tile(0, 0), 0, -4, "Generative Tile Fusion"));
  at::Tensor expected = at::zeros({4, 6, 3}, at::kInt);
  expected.select(2, 0).fill_(128);
  expected.slice(1, 1, 4).select(2, 1).fill_(128);  // 3 columns centred on 6
  EXPECT_TRUE(at::equal(got, expected)) << got.permute({2, 0, 1});
  EXPECT_EQ(captured.printed, (std::vector<std::string>{
                                  "Warning: Mask (5,8) larger than canvas (4,6), cropping.",
                                  "Warning: Mask (6,3) larger than canvas (4,6), cropping.",
                              }));
}

TEST(Previews_PreviewMask, StretchesZeroOnePicturesAndRejectsBadInput) {
  const Quorv_Image quorv{};
  const at::Tensor ones = at::ones({6, 6});
  // Levels all 0 or 1 are taken as a 0/1 picture.
  const at::Tensor checker = at::arange(36, at::kInt).remainder(2).view({6, 6, 1}).expand({6, 6, 3}).contiguous();
  const at::Tensor stretched = levels_of(quorv.Preview_Mask(ones, ones, picture_of(checker), inner_tile(0, 0), 0, -4,
                                                            "Generative Tile Fusion"));
  EXPECT_TRUE(at::equal(stretched, checker.mul(255)));

  const at::Tensor picture = at::zeros({1, 6, 6, 3});
  const SizeState SIZE = inner_tile(2, 2);
  EXPECT_THROW_WITH(quorv.Preview_Mask(at::ones({2, 6, 6}), ones, picture, SIZE, 0, 0, ""), ValueError,
                    "mask1 must squeeze to two axes [height, width], got [2, 6, 6]");
  EXPECT_THROW_WITH(quorv.Preview_Mask(ones, at::ones({1, 6}), picture, SIZE, 0, 0, ""), ValueError, "mask2");
  EXPECT_THROW_WITH(quorv.Preview_Mask(ones, ones, at::zeros({1, 6, 6, 4}), SIZE, 0, 0, ""), ValueError,
                    "[1, 6, 6, 4]");
  EXPECT_THROW_WITH(quorv.Preview_Mask(ones, ones, at::zeros({1, 0, 6, 3}), inner_tile(0, 0), 0, 0, ""),
                    AssertionError, "Background image is empty or not loaded");
}

// 0 at the picture's edge rising to 1 at `width` pixels inside, on all four sides.
at::Tensor edge_ramp(int64_t h, int64_t w, double width) {
  auto axis = [width](int64_t n) {
    const at::Tensor i = at::arange(n, at::kFloat);
    return at::minimum(i, (n - 1) - i).div(width).clamp(0, 1);
  };
  return at::minimum(axis(h).unsqueeze(1), axis(w).unsqueeze(0));
}

TEST(Previews_PreviewMask, AstronautWithRampMasks) {
  const at::Tensor photo = test::sample_picture("astronaut.png");
  const at::Tensor photo_before = photo.clone();
  const at::Tensor composite_mask = edge_ramp(512, 512, 64).unsqueeze(0);            // [1, H, W]
  const at::Tensor inpaint_mask = (1 - edge_ramp(512, 512, 32)).view({1, 1, 512, 512});  // repaint the rim
  const at::Tensor out = Quorv_Image().Preview_Mask(composite_mask, inpaint_mask, photo, inner_tile(384, 384), 0, 0,
                                                    "Tile_Fusion");
  // For a look by eye, into the build folder (the test models live in <build>/tests/models).
  const std::filesystem::path folder = std::filesystem::path(test::test_model_folder()).parent_path();
  io::write_picture((folder / "preview_mask_astronaut.png").string(), out);
  ASSERT_EQ(out.sizes(), photo.sizes());
  EXPECT_TRUE(test::same_values(photo, photo_before));

  const at::Tensor got = levels_of(out);
  const at::Tensor base = photo[0].mul(255).to(at::kInt);
  // Centre: composite 1 (no red), inpaint 0 (green). Corner: the other way round.
  EXPECT_TRUE(at::equal(got[256][256], tinted(base, 1, 1)[256][256]));
  EXPECT_TRUE(at::equal(got[0][0], tinted(base, 0, 1)[0][0]));
  for (int64_t line : {64, 448}) {
    EXPECT_TRUE(at::equal(got[256][line], at::zeros({3}, at::kInt))) << line;
    EXPECT_TRUE(at::equal(got[line][256], at::zeros({3}, at::kInt))) << line;
  }
}

}  // namespace
}  // namespace quorv

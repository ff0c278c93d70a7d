#include <gtest/gtest.h>

#include <array>
#include <filesystem>

#include "host/errors.h"
#include "image/quorv_image.h"
#include "tests/support/test_support.h"
#include "tools/image_io/image_io.h"

namespace quorv {
namespace {

constexpr std::array<int, 3> kRed{255, 0, 0}, kGreen{0, 255, 0}, kYellow{255, 255, 0};

struct Band {
  int64_t d;
  std::array<int, 3> colour;
};

// A picture whose 8-bit conversion gives exactly `levels` ([H, W, 3], 0..255).
at::Tensor picture_of(const at::Tensor& levels) {
  return levels.to(at::kFloat).add(0.5).div(255).unsqueeze(0);
}

at::Tensor levels_of(const at::Tensor& picture) { return picture[0].mul(255).round().to(at::kInt); }

SizeState margins(int64_t fi, int64_t fb, int64_t fm) {
  SizeState SIZE;
  SIZE.inpaint_border_margin = fi;
  SIZE.inpaint_blur_margin = fb;
  SIZE.composite_blur_margin = fm;
  return SIZE;
}

// Whole rows and columns painted by slicing, band after band.
at::Tensor with_lines(at::Tensor levels, const std::vector<Band>& bands) {
  const int64_t H = levels.size(0), W = levels.size(1);
  for (const Band& band : bands) {
    const at::Tensor colour = at::tensor(std::vector<int>(band.colour.begin(), band.colour.end()), at::kInt);
    for (int64_t x : {band.d, W - 1 - band.d})
      if (x >= 0 && x < W) levels.select(1, x).copy_(colour);
    for (int64_t y : {band.d, H - 1 - band.d})
      if (y >= 0 && y < H) levels.select(0, y).copy_(colour);
  }
  return levels;
}

at::Tensor random_levels(int64_t h, int64_t w, uint64_t seed) {
  at::Generator gen = at::detail::createCPUGenerator(seed);
  return at::randint(0, 256, {h, w, 3}, gen, at::kInt);
}

at::Tensor overlay(const at::Tensor& picture, const SizeState& SIZE) {
  return Quorv_Image().overlay_tile_grid(picture, SIZE);
}

TEST(Previews_OverlayTileGrid, WorkedExampleDrawsThreeBands) {
  const at::Tensor base = random_levels(1024, 1024, 5);
  const at::Tensor picture = picture_of(base);
  const at::Tensor before = picture.clone();
  const at::Tensor out = overlay(picture, margins(16, 32, 64));
  ASSERT_EQ(out.sizes(), picture.sizes());
  const at::Tensor got = levels_of(out);
  EXPECT_TRUE(at::equal(out, got.to(at::kFloat).div(255.0).unsqueeze(0)));
  // Red at 64 and 959, green at 80 and 943, yellow at 32 and 991.
  EXPECT_TRUE(at::equal(got, with_lines(base.clone(), {{64, kRed}, {80, kGreen}, {32, kYellow}})));
  EXPECT_TRUE(test::same_values(picture, before));
}

TEST(Previews_OverlayTileGrid, EachBandDrawnOnlyWhenItsConditionHolds) {
  const at::Tensor base = random_levels(12, 9, 3);
  const at::Tensor picture = picture_of(base);
  // No margins: the picture's 8-bit levels come back unchanged.
  EXPECT_TRUE(at::equal(levels_of(overlay(picture, margins(0, 0, 0))), base));
  // fm 0, fi 1: green at fi + 0; no red.
  EXPECT_TRUE(at::equal(levels_of(overlay(picture, margins(1, 0, 0))), with_lines(base.clone(), {{1, kGreen}})));
  // fi 0: no green even though the red band is there.
  EXPECT_TRUE(at::equal(levels_of(overlay(picture, margins(0, 1, 3))),
                        with_lines(base.clone(), {{3, kRed}, {2, kYellow}})));
  // fb >= fm: no yellow.
  EXPECT_TRUE(at::equal(levels_of(overlay(picture, margins(1, 3, 3))),
                        with_lines(base.clone(), {{3, kRed}, {4, kGreen}})));
  // fm -2: no red, green tested with fi alone (3 >= 1) but drawn at fi + fm = 1.
  EXPECT_TRUE(at::equal(levels_of(overlay(picture, margins(3, 0, -2))), with_lines(base.clone(), {{1, kGreen}})));
  // Offsets beyond the picture draw nothing and do not fail.
  EXPECT_TRUE(at::equal(levels_of(overlay(picture, margins(0, 0, 40))), base));
  EXPECT_TRUE(at::equal(levels_of(overlay(picture, margins(0, 0, int64_t(1) << 62))), base));
}

TEST(Previews_OverlayTileGrid, LaterBandsCoverEarlierOnes) {
  const at::Tensor base = random_levels(10, 10, 9);
  // Red at 2 and 7, green at 7 and 2 (the same columns), yellow at 1 and 8.
  const at::Tensor got = levels_of(overlay(picture_of(base), margins(5, 1, 2)));
  EXPECT_TRUE(at::equal(got, with_lines(base.clone(), {{2, kRed}, {7, kGreen}, {1, kYellow}})));
  for (int64_t i = 0; i < 10; ++i) {
    EXPECT_EQ(got[i][2][0].item<int>(), i == 1 || i == 8 ? 255 : 0) << "row " << i;  // green, yellow where crossed
    EXPECT_EQ(got[1][i][1].item<int>(), 255) << "column " << i;                       // yellow on top everywhere
  }
}

TEST(Previews_OverlayTileGrid, TakesOnlyChannelsLastPictures) {
  EXPECT_THROW_WITH(overlay(at::zeros({1, 3, 8, 8}), margins(1, 1, 1)), ValueError, "[1, 3, 8, 8]");
  // One row tall is not channels-first: the line across it is the top band's.
  const at::Tensor row = overlay(picture_of(at::full({1, 5, 3}, 40, at::kInt)), margins(0, 0, 1));
  EXPECT_TRUE(at::equal(levels_of(row), with_lines(at::full({1, 5, 3}, 40, at::kInt), {{1, kRed}})));
}

TEST(Previews_OverlayTileGrid, AstronautTile) {
  const at::Tensor photo = test::sample_picture("astronaut.png");
  const at::Tensor out = overlay(photo, margins(16, 32, 64));
  // For a look by eye, into the build folder (the test models live in <build>/tests/models).
  const std::filesystem::path folder = std::filesystem::path(test::test_model_folder()).parent_path();
  io::write_picture((folder / "overlay_tile_grid_astronaut.png").string(), out);
  ASSERT_EQ(out.sizes(), photo.sizes());
  // Off the lines the photo is only brought to 8-bit levels.
  const at::Tensor off_lines = out[0].slice(0, 100, 400).slice(1, 100, 400);
  EXPECT_LE(test::max_abs_diff(off_lines, photo[0].slice(0, 100, 400).slice(1, 100, 400)), 1.0 / 255 + 1e-6);
  const at::Tensor base = photo[0].mul(255).to(at::kInt);
  EXPECT_TRUE(at::equal(levels_of(out), with_lines(base, {{64, kRed}, {80, kGreen}, {32, kYellow}})));
}

}  // namespace
}  // namespace quorv

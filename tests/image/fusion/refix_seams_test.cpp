#include <gtest/gtest.h>

#include <ATen/ATen.h>

#include "host/errors.h"
#include "image/fusion/fusion.h"
#include "tests/support/test_support.h"

namespace quorv {
namespace {

// An even grid of 224-pixel tiles stepping by 160 over a 544 x 384 picture:
// columns at 0, 160, 320, rows at 0, 160.
std::vector<GridSpec> even_grid() {
  std::vector<GridSpec> grid;
  for (int64_t r = 0; r < 2; ++r)
    for (int64_t c = 0; c < 3; ++c) grid.push_back({r, c, r * 2 + c, c * 160, r * 160, 224, 224});
  return grid;
}

// The photograph, rebuilt with tile 4 (row 1, col 1) retouched as an
// independent generation might be (a tone curve, a colour cast, an offset):
// its visible part, x 160 .. 319 and y 160 .. 383, pasted hard, so that its
// left and top edges and the left edge of tile 5 show steps.
struct BadTile {
  at::Tensor reference, result;
};

BadTile bad_tile(const std::vector<GridSpec>& grid) {
  const at::Tensor reference = test::sample_picture("coffee.png").narrow(1, 0, 384).narrow(2, 0, 544).contiguous();
  at::Tensor result = reference.clone();
  const GridSpec& s = grid[4];
  at::Tensor tile = result.narrow(1, s.y_start, 224).narrow(2, s.x_start, 160);
  const at::Tensor x = tile.clone();
  tile.copy_((x + x * (1 - x) * 0.08) * at::tensor({1.05f, 0.98f, 1.0f}) + 0.02f);
  tile.clamp_(0, 1);
  return {reference, result};
}

TEST(Fusion_RefixSeams, LowersTheBordersOfABadTileAndLeavesTheRestAlone) {
  const std::vector<GridSpec> grid = even_grid();
  const BadTile pictures = bad_tile(grid);
  const at::Tensor result_before = pictures.result.clone(), reference_before = pictures.reference.clone();

  const fusion::SeamRefix refix = fusion::refix_seams(pictures.result, pictures.reference, grid);
  // The bad tile's borders are clearly visible, and only they are chosen.
  ASSERT_EQ(refix.borders.size(), 3u);
  for (const fusion::RefixedBorder& b : refix.borders) {
    EXPECT_TRUE(b.before.tile == 4 || b.before.neighbour == 4) << b.before.tile << " / " << b.before.neighbour;
    EXPECT_GT(b.before.relative, 1.5);
    EXPECT_LT(b.after, 0.35 * b.before.relative) << (b.before.vertical ? "left" : "top") << " edge of tile "
                                                  << b.before.tile << ", before " << b.before.relative;
  }
  EXPECT_TRUE(refix.before.worst.tile == 4 || refix.before.worst.neighbour == 4);
  EXPECT_LT(refix.after.worst.relative, 1.5);
  EXPECT_LT(refix.after.relative, refix.before.relative);

  // Each border's window reaches 96 lines beyond its overlap of 64: columns
  // 64 .. 319 (tile 4's left edge), 224 .. 479 (tile 5's), rows 64 .. 319
  // (the top edge). Nothing outside them changes.
  const at::Tensor& fixed = refix.picture;
  const at::Tensor& given = pictures.result;
  EXPECT_TRUE(at::equal(fixed.narrow(1, 0, 64), given.narrow(1, 0, 64)));
  EXPECT_TRUE(at::equal(fixed.narrow(2, 0, 64), given.narrow(2, 0, 64)));
  EXPECT_TRUE(at::equal(fixed.narrow(2, 480, 64), given.narrow(2, 480, 64)));
  EXPECT_FALSE(at::equal(fixed.narrow(1, 160, 64).narrow(2, 160, 64), given.narrow(1, 160, 64).narrow(2, 160, 64)));
  EXPECT_GE(fixed.min().item<float>(), 0.0f);
  EXPECT_LE(fixed.max().item<float>(), 1.0f);
  // Nothing given is changed.
  EXPECT_TRUE(at::equal(pictures.result, result_before));
  EXPECT_TRUE(at::equal(pictures.reference, reference_before));
}

TEST(Fusion_RefixSeams, NeverRaisesTheFigureWhereWindowsOfNearbyBordersOverlap) {
  // 96-pixel tiles stepping by 64: each border's window (48 lines beyond an
  // overlap of 32) reaches past the next border. Every tile pasted hard with
  // its own offset, some of them nearly equal to their neighbours'.
  std::vector<GridSpec> grid;
  const at::Tensor reference = test::sample_picture("coffee.png").narrow(1, 0, 352).narrow(2, 0, 480).contiguous() * 0.8 + 0.1;
  at::Tensor result = reference.clone();
  const float offsets[] = {0.0f, 0.004f, 0.03f, -0.02f, 0.001f, 0.05f, -0.004f};
  for (int64_t r = 0; r < 5; ++r)
    for (int64_t c = 0; c < 7; ++c) {
      grid.push_back({r, c, r * 7 + c, c * 64, r * 64, 96, 96});
      const int64_t h = r == 4 ? 96 : 64, w = c == 6 ? 96 : 64;
      result.narrow(1, r * 64, h).narrow(2, c * 64, w).add_(offsets[(r * 3 + c) % 7]);
    }
  for (const double threshold : {1.05, 1.1, 1.5}) {
    const fusion::SeamRefix refix = fusion::refix_seams(result, reference, grid, threshold);
    EXPECT_LE(refix.after.relative, refix.before.relative) << "threshold " << threshold;
    if (refix.borders.empty()) {
      EXPECT_TRUE(at::equal(refix.picture, result));
    }
  }
}

TEST(Fusion_RefixSeams, UnchangedPicturesAndHighThresholdsAreLeftAsTheyAre) {
  const std::vector<GridSpec> grid = even_grid();
  const BadTile pictures = bad_tile(grid);
  const fusion::SeamRefix same = fusion::refix_seams(pictures.reference, pictures.reference, grid);
  EXPECT_TRUE(same.borders.empty());
  EXPECT_DOUBLE_EQ(same.after.relative, 1.0);
  EXPECT_TRUE(at::equal(same.picture, pictures.reference));

  const fusion::SeamRefix none = fusion::refix_seams(pictures.result, pictures.reference, grid, 1000.0);
  EXPECT_TRUE(none.borders.empty());
  EXPECT_TRUE(at::equal(none.picture, pictures.result));

  EXPECT_THROW(fusion::refix_seams(pictures.result, pictures.reference, grid, 0.5), ValueError);
  EXPECT_THROW(fusion::refix_seams(pictures.result, pictures.reference, grid, std::nan("")), ValueError);
  EXPECT_THROW(fusion::refix_seams(pictures.result, pictures.reference.narrow(1, 0, 380), grid), ValueError);
}

}  // namespace
}  // namespace quorv

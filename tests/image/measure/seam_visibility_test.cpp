#include <gtest/gtest.h>

#include <ATen/ATen.h>

#include "host/errors.h"
#include "image/measure/measure.h"
#include "tests/support/test_support.h"

namespace quorv {
namespace {

// A row-by-row grid of `tile`-sized tiles stepping by `step`, the last column
// and row pushed against the picture's edges, as the tool's grid is.
std::vector<GridSpec> grid_for(int64_t h, int64_t w, int64_t tile, int64_t step) {
  auto starts = [&](int64_t extent) {
    std::vector<int64_t> s{0};
    while (s.back() + tile < extent) s.push_back(std::min(s.back() + step, extent - tile));
    return s;
  };
  const std::vector<int64_t> ys = starts(h), xs = starts(w);
  std::vector<GridSpec> grid;
  for (size_t r = 0; r < ys.size(); ++r)
    for (size_t c = 0; c < xs.size(); ++c)
      grid.push_back({static_cast<int64_t>(r), static_cast<int64_t>(c), static_cast<int64_t>(r * xs.size() + c),
                      xs[c], ys[r], tile, tile});
  return grid;
}

// The part of a tile the rebuild shows: from its corner to the next tile's.
at::Tensor visible_part(at::Tensor picture, const std::vector<GridSpec>& grid, size_t index) {
  const GridSpec& s = grid[index];
  int64_t x1 = picture.size(2), y1 = picture.size(1);
  for (const GridSpec& o : grid) {
    if (o.row == s.row && o.col == s.col + 1) x1 = o.x_start;
    if (o.col == s.col && o.row == s.row + 1) y1 = o.y_start;
  }
  return picture.narrow(1, s.y_start, y1 - s.y_start).narrow(2, s.x_start, x1 - s.x_start);
}

// Pictures unlike photographs, where a global median of line steps is zero
// or meaningless: flat, noisy, pixel art and a screenshot.
std::vector<std::pair<std::string, at::Tensor>> made_pictures(int64_t h, int64_t w) {
  at::manual_seed(3);
  const at::Tensor flat = at::full({1, h, w, 3}, 0.5f);
  const at::Tensor noisy = (flat + at::randn({1, h, w, 3}) * 0.05).clamp(0, 1);
  // Pixel art: 8-colour palette, 16-pixel blocks (8 x 8 art enlarged x2).
  const at::Tensor palette = at::rand({8, 3});
  const at::Tensor art = palette.index({at::randint(8, {h / 16 + 1, w / 16 + 1})})
                             .repeat_interleave(16, 0)
                             .repeat_interleave(16, 1)
                             .narrow(0, 0, h)
                             .narrow(1, 0, w)
                             .unsqueeze(0)
                             .contiguous();
  // Screenshot: white page, grey bar, coloured panel, lines of dark "text".
  at::Tensor screen = at::ones({1, h, w, 3});
  screen.narrow(1, 0, 24).fill_(0.85);
  screen.narrow(1, 40, h / 3).narrow(2, w / 2, w / 3).select(3, 2).fill_(0.6);
  for (int64_t y = 60; y + 8 < h; y += 18) {
    const at::Tensor glyphs = (at::rand({1, 8, w - 40}) > 0.6).to(at::kFloat);
    screen.narrow(1, y, 8).narrow(2, 20, w - 40).sub_(glyphs.unsqueeze(3) * 0.8);
  }
  return {{"flat", flat}, {"noisy", noisy}, {"pixel art", art}, {"screenshot", screen}};
}

std::vector<std::pair<std::string, at::Tensor>> all_pictures() {
  std::vector<std::pair<std::string, at::Tensor>> pictures = made_pictures(400, 560);
  pictures.emplace_back("coffee", test::sample_picture("coffee.png"));
  pictures.emplace_back("astronaut", test::sample_picture("astronaut.png"));
  return pictures;
}

constexpr double kGrey = 1.0 / 255.0;

TEST(Measure_SeamVisibility, UnchangedBordersScoreOneAndAShiftedTileStandsOut) {
  for (const auto& [name, picture] : all_pictures()) {
    SCOPED_TRACE(name);
    const std::vector<GridSpec> grid = grid_for(picture.size(1), picture.size(2), 192, 160);
    const at::Tensor before = picture.clone();
    const measure::SeamVisibility same = measure::seam_visibility(picture, picture, grid);
    EXPECT_DOUBLE_EQ(same.relative, 1.0);
    EXPECT_DOUBLE_EQ(same.worst.relative, 1.0);
    EXPECT_GT(same.borders, 0);

    // One middle tile 8 grey levels brighter: its borders, and only its, stand out.
    const size_t middle = grid.size() / 2;
    at::Tensor shifted = picture.clone();
    visible_part(shifted, grid, middle).add_(8 * kGrey);
    const measure::SeamVisibility one = measure::seam_visibility(shifted, picture, grid);
    EXPECT_GT(one.worst.relative, 1.2);
    EXPECT_TRUE(one.worst.tile == static_cast<int64_t>(middle) || one.worst.neighbour == static_cast<int64_t>(middle))
        << one.worst.tile << " / " << one.worst.neighbour;

    // Every other tile shifted, as independent generations would be: the whole figure rises.
    at::Tensor checker = picture.clone();
    for (size_t i = 0; i < grid.size(); ++i)
      if ((grid[i].row + grid[i].col) % 2 == 1) visible_part(checker, grid, i).add_(8 * kGrey);
    const measure::SeamVisibility all = measure::seam_visibility(checker, picture, grid);
    EXPECT_GT(all.relative, 1.2);
    EXPECT_GT(all.vertical, 1.2);
    EXPECT_GT(all.horizontal, 1.2);
    EXPECT_TRUE(test::same_values(picture, before));
  }
}

TEST(Measure_SeamVisibility, GlobalToneChangesAndSegmentsAreNotSeams) {
  const at::Tensor coffee = test::sample_picture("coffee.png");
  std::vector<GridSpec> grid = grid_for(coffee.size(1), coffee.size(2), 192, 160);
  // The whole picture brighter and with more contrast: no border stands out.
  const measure::SeamVisibility global = measure::seam_visibility(coffee * 1.1 + 0.02, coffee, grid);
  EXPECT_NEAR(global.relative, 1.0, 0.05);
  // A segment record is not a border; a single tile has none.
  const int64_t regular = measure::seam_visibility(coffee, coffee, grid).borders;
  grid.push_back({0, 0, 8000, 10, 10, 50, 50});
  EXPECT_EQ(measure::seam_visibility(coffee, coffee, grid).borders, regular);
  const measure::SeamVisibility none = measure::seam_visibility(coffee, coffee, {grid[0]});
  EXPECT_EQ(none.borders, 0);
  EXPECT_EQ(none.worst.tile, -1);
  EXPECT_DOUBLE_EQ(none.relative, 1.0);
}

TEST(Measure_SeamVisibility, StepsUnderTransparentPixelsAreNotSeams) {
  const at::Tensor coffee = test::sample_picture("coffee.png");
  const std::vector<GridSpec> grid = grid_for(coffee.size(1), coffee.size(2), 192, 160);
  // The left half transparent, the right half opaque, a soft edge between.
  const int64_t w = coffee.size(2);
  const at::Tensor ramp = ((at::arange(w, at::kFloat) - (w / 2 - 8)) / 16).clamp(0, 1);
  const at::Tensor alpha = ramp.view({1, 1, w, 1}).expand({1, coffee.size(1), w, 1}).contiguous();

  // Every tile of the transparent half 8 levels brighter: nothing shows.
  at::Tensor hidden = coffee.clone();
  for (size_t i = 0; i < grid.size(); ++i)
    if (grid[i].x_start + grid[i].width_inc <= w / 2 - 8 && (grid[i].row + grid[i].col) % 2 == 1)
      visible_part(hidden, grid, i).add_(8 * kGrey);
  EXPECT_GT(measure::seam_visibility(hidden, coffee, grid).relative, 1.2);
  EXPECT_NEAR(measure::seam_visibility(hidden, coffee, grid, alpha).relative, 1.0, 0.02);

  // The same in the opaque half is a seam.
  at::Tensor shown = coffee.clone();
  const size_t last = grid.size() - 1;
  visible_part(shown, grid, last).add_(8 * kGrey);
  const measure::SeamVisibility seen = measure::seam_visibility(shown, coffee, grid, alpha);
  EXPECT_GT(seen.worst.relative, 1.2);
  EXPECT_TRUE(seen.worst.tile == static_cast<int64_t>(last) || seen.worst.neighbour == static_cast<int64_t>(last));
  EXPECT_THROW_WITH(measure::seam_visibility(shown, coffee, grid, alpha.narrow(2, 0, w - 1)), ValueError,
                    "visibility");
}

TEST(Measure_SeamVisibility, AnyLayoutOfThePixelsGivesTheSameFigures) {
  // Two pictures of a batch, one tile of one brightened, alpha on: the figures
  // of packed pixels, of a view into a larger picture and of channels
  // stored apart must agree, border by border.
  const at::Tensor coffee = test::sample_picture("coffee.png");
  const at::Tensor reference = at::cat({coffee, coffee.flip(2)});
  const std::vector<GridSpec> grid = grid_for(coffee.size(1), coffee.size(2), 150, 118);
  at::Tensor result = reference.clone();
  visible_part(result.narrow(0, 1, 1), grid, 4).add_(6 * kGrey);
  const at::Tensor alpha = at::rand({1, coffee.size(1), coffee.size(2), 1}).add_(0.5).clamp_(0, 1);
  const std::vector<measure::SeamBorder> packed = measure::seam_borders(result, reference, grid, alpha);

  const at::Tensor larger = at::zeros({2, coffee.size(1) + 3, coffee.size(2) + 5, 3});
  const at::Tensor view = larger.narrow(1, 2, coffee.size(1)).narrow(2, 1, coffee.size(2));
  view.copy_(result);
  const at::Tensor planar = reference.permute({0, 3, 1, 2}).contiguous().permute({0, 2, 3, 1});
  const std::vector<measure::SeamBorder> strided = measure::seam_borders(view, planar, grid, alpha);
  ASSERT_EQ(packed.size(), strided.size());
  for (size_t i = 0; i < packed.size(); ++i) EXPECT_NEAR(packed[i].relative, strided[i].relative, 1e-6) << i;
  EXPECT_GT(measure::seam_summary(packed).worst.relative, 1.2);
}

TEST(Measure_SeamVisibility, AReferenceReadAheadGivesTheSameFiguresAfterThePictureIsGone) {
  const at::Tensor coffee = test::sample_picture("coffee.png");
  const std::vector<GridSpec> grid = grid_for(coffee.size(1), coffee.size(2), 150, 118);
  at::Tensor result = coffee.clone();
  visible_part(result, grid, 4).add_(6 * kGrey);
  const at::Tensor alpha = at::rand({1, coffee.size(1), coffee.size(2), 1}).add_(0.5).clamp_(0, 1);
  const std::vector<measure::SeamBorder> direct = measure::seam_borders(result, coffee, grid, alpha);

  at::Tensor reference = coffee.clone();
  const measure::SeamReference read = measure::seam_reference(reference, grid, alpha);
  reference.fill_(0);  // the picture may be overwritten once read
  const std::vector<measure::SeamBorder> ahead = measure::seam_borders(result, read);
  ASSERT_EQ(direct.size(), ahead.size());
  for (size_t i = 0; i < direct.size(); ++i) {
    EXPECT_EQ(direct[i].relative, ahead[i].relative) << i;
    EXPECT_EQ(direct[i].tile, ahead[i].tile) << i;
  }
  EXPECT_GT(measure::seam_visibility(result, read).worst.relative, 1.2);
  EXPECT_THROW_WITH(measure::seam_visibility(result.narrow(2, 0, 100), read), ValueError, "same shape");
  EXPECT_THROW_WITH(measure::seam_visibility(result, measure::SeamReference{}), ValueError, "never read");
}

TEST(Measure_SeamVisibility, RejectsPicturesOfDifferentShapes) {
  const at::Tensor a = test::random_picture(1, 64, 64, 3);
  EXPECT_THROW_WITH(measure::seam_visibility(a, a.narrow(2, 0, 60), {}), ValueError, "same shape");
  EXPECT_THROW_WITH(measure::seam_visibility(a.select(3, 0), a.select(3, 0), {}), ValueError, "result");
}

}  // namespace
}  // namespace quorv

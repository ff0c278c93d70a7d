#include <gtest/gtest.h>

#include <ATen/ATen.h>

#include "host/errors.h"
#include "image/fusion/fusion.h"
#include "tests/support/test_support.h"

namespace quorv {
namespace {

constexpr double kGrey = 1.0 / 255.0;

// The coffee picture (400 x 600) cut into a 3 x 4 grid of 192-pixel tiles stepping by 136.
struct CutPicture {
  at::Tensor picture = test::sample_picture("coffee.png");
  std::vector<GridSpec> grid;
  std::vector<OptionalImage> tiles;
  CutPicture() {
    const int64_t xs[] = {0, 136, 272, 408}, ys[] = {0, 104, 208};
    for (int64_t r = 0; r < 3; ++r)
      for (int64_t c = 0; c < 4; ++c) {
        grid.push_back({r, c, r * 4 + c, xs[c], ys[r], 192, 192});
        tiles.push_back(picture.narrow(1, ys[r], 192).narrow(2, xs[c], 192));
      }
  }
};

// A tone shift a generation might bring: per-channel gain and offset, inside 0..1.
at::Tensor toned(const at::Tensor& tile) {
  const at::Tensor gain = at::tensor({0.9f, 0.95f, 0.92f}), offset = at::tensor({0.04f, 0.02f, 0.03f});
  return tile * gain + offset;
}

TEST(Fusion_ToneMatch, BringsAShiftedTileBackToItsNeighbours) {
  CutPicture cut;
  const int64_t middle = 5;  // row 1, col 1
  const at::Tensor truth = *cut.tiles[middle];
  const at::Tensor shifted = toned(truth);
  const at::Tensor given = shifted.clone();

  // Every other tile finished: the correction applies in full everywhere.
  std::vector<OptionalImage> all = cut.tiles;
  all[middle].reset();
  const fusion::ToneMatch full = fusion::match_tile_tone(shifted, cut.grid, middle, all);
  ASSERT_TRUE(full.applied) << full.reason;
  EXPECT_EQ(full.neighbours, 8);
  EXPECT_NEAR(full.gain[0], 1 / 0.9, 1e-3);
  EXPECT_NEAR(full.offset[1], -0.02 / 0.95, 1e-3);
  EXPECT_LT(test::max_abs_diff(full.tile, truth), kGrey);
  EXPECT_LT(full.error_after, 0.01 * full.error_before);
  EXPECT_TRUE(test::same_values(shifted, given));

  // In grid order only the tiles before it are finished: the top and left
  // overlaps match, the correction fades out towards the bottom-right corner.
  std::vector<OptionalImage> before(cut.tiles.begin(), cut.tiles.begin() + middle);
  before.resize(cut.tiles.size());
  const fusion::ToneMatch ordered = fusion::match_tile_tone(shifted, cut.grid, middle, before);
  ASSERT_TRUE(ordered.applied) << ordered.reason;
  EXPECT_EQ(ordered.neighbours, 4);  // top-left, top, top-right, left
  const int64_t overlap = 192 - 136, overlap_y = 192 - 104;
  EXPECT_LT(test::max_abs_diff(ordered.tile.narrow(2, 0, overlap), truth.narrow(2, 0, overlap)), kGrey);
  EXPECT_LT(test::max_abs_diff(ordered.tile.narrow(1, 0, overlap_y), truth.narrow(1, 0, overlap_y)), kGrey);
  // At the corner between the right and bottom neighbours still to come, the tile keeps its own tone.
  EXPECT_TRUE(test::same_values(ordered.tile[0][191][191], shifted[0][191][191]));
  EXPECT_GT(test::max_abs_diff(ordered.tile[0][150][150], truth[0][150][150]), 2 * kGrey);

  // The same tile unshifted is left exactly as it is.
  const fusion::ToneMatch unshifted = fusion::match_tile_tone(truth, cut.grid, middle, before);
  EXPECT_FALSE(unshifted.applied);
  EXPECT_NE(unshifted.reason.find("no closer"), std::string::npos) << unshifted.reason;
  EXPECT_TRUE(test::same_values(unshifted.tile, truth));
  EXPECT_EQ(unshifted.gain, std::vector<double>(3, 1.0));
}

TEST(Fusion_ToneMatch, InPlaceAndOtherLayoutsGetTheSameCorrection) {
  CutPicture cut;
  const int64_t middle = 6;  // row 1, col 2: top, left and corner neighbours finished, the right one to come
  std::vector<OptionalImage> before(cut.tiles.begin(), cut.tiles.begin() + middle);
  before.resize(cut.tiles.size());
  const at::Tensor shifted = toned(*cut.tiles[middle]);
  const fusion::ToneMatch library = fusion::match_tile_tone(shifted, cut.grid, middle, before);
  ASSERT_TRUE(library.applied) << library.reason;

  at::Tensor own = shifted.clone();
  const void* memory = own.data_ptr();
  const fusion::ToneMatch in_place = fusion::match_tile_tone_in_place(own, cut.grid, middle, before);
  EXPECT_EQ(own.data_ptr(), memory);
  EXPECT_EQ(in_place.tile.data_ptr(), memory);
  EXPECT_TRUE(test::same_values(own, library.tile));

  // Channels stored as planes, and a batch of two: the tensor path, the same figures.
  const at::Tensor planar = shifted.permute({0, 3, 1, 2}).contiguous().permute({0, 2, 3, 1});
  const fusion::ToneMatch other = fusion::match_tile_tone(planar, cut.grid, middle, before);
  EXPECT_LT(test::max_abs_diff(other.tile, library.tile), 1e-6);
  std::vector<OptionalImage> pairs;
  for (const OptionalImage& t : before) pairs.push_back(t ? OptionalImage(at::cat({*t, *t})) : std::nullopt);
  const fusion::ToneMatch batch = fusion::match_tile_tone(at::cat({shifted, shifted}), cut.grid, middle, pairs);
  EXPECT_LT(test::max_abs_diff(batch.tile[1], library.tile[0]), 1e-6);

  // A skipped match leaves the tile's memory alone.
  at::Tensor truth = cut.tiles[middle]->clone();
  const at::Tensor kept = truth.clone();
  EXPECT_FALSE(fusion::match_tile_tone_in_place(truth, cut.grid, middle, before).applied);
  EXPECT_TRUE(test::same_values(truth, kept));
}

TEST(Fusion_ToneMatch, FlatOverlapsGetAnOffsetOnly) {
  const std::vector<GridSpec> grid{{0, 0, 0, 0, 0, 64, 64}, {0, 1, 1, 48, 0, 64, 64}};
  const at::Tensor flat = at::full({1, 64, 64, 3}, 0.5f);
  const fusion::ToneMatch m = fusion::match_tile_tone(flat + 8 * kGrey, grid, 1, {flat, std::nullopt});
  ASSERT_TRUE(m.applied) << m.reason;
  EXPECT_EQ(m.gain, std::vector<double>(3, 1.0));
  EXPECT_NEAR(m.offset[2], -8 * kGrey, 1e-6);
  // The right side is a picture edge, so the whole tile takes the correction.
  EXPECT_LT(test::max_abs_diff(m.tile, flat), 1e-6);
}

TEST(Fusion_ToneMatch, SkipsWhatItCannotMatchAndSaysWhy) {
  CutPicture cut;
  const at::Tensor tile = *cut.tiles[5];
  auto reason = [](const fusion::ToneMatch& m) { return m.applied ? std::string("applied") : m.reason; };
  EXPECT_EQ(reason(fusion::match_tile_tone(tile, cut.grid, 5, {})), "no finished neighbour");
  // A contrast five times lower is a different picture, not a tone shift.
  const at::Tensor faint = (tile - 0.5) * 0.2 + 0.5;
  EXPECT_NE(reason(fusion::match_tile_tone(faint, cut.grid, 5, cut.tiles)).find("unstable fit"), std::string::npos);
  // Two columns shared over 64 rows are too few pixels.
  const std::vector<GridSpec> thin{{0, 0, 0, 0, 0, 64, 64}, {0, 1, 1, 62, 0, 64, 64}};
  const at::Tensor patch = tile.narrow(1, 0, 64).narrow(2, 0, 64);
  EXPECT_NE(reason(fusion::match_tile_tone(patch + 0.1, thin, 1, {patch, std::nullopt})).find("overlap too small"),
            std::string::npos);
  // Only a diagonal neighbour finished: nothing beside a side to hold the tile to.
  std::vector<OptionalImage> diagonal(cut.tiles.size());
  diagonal[0] = cut.tiles[0];
  EXPECT_NE(reason(fusion::match_tile_tone(toned(tile), cut.grid, 5, diagonal)).find("corners"), std::string::npos);
  std::vector<GridSpec> with_segment = cut.grid;
  with_segment[5].order = 8000;
  EXPECT_EQ(reason(fusion::match_tile_tone(toned(tile), with_segment, 5, cut.tiles)), "segment tile");

  EXPECT_THROW_WITH(fusion::match_tile_tone(tile, cut.grid, 12, cut.tiles), IndexError, "grid_specs");
  EXPECT_THROW_WITH(fusion::match_tile_tone(tile.narrow(1, 0, 100), cut.grid, 5, cut.tiles), ValueError, "size");
  std::vector<OptionalImage> wrong = cut.tiles;
  wrong[4] = tile.narrow(3, 0, 1);
  EXPECT_THROW_WITH(fusion::match_tile_tone(tile, cut.grid, 5, wrong), ValueError, "finished tile 4");
}

}  // namespace
}  // namespace quorv

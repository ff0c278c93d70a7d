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

// A tile as a masked generation leaves it: the original plus `shift`, which
// a 16-pixel ramp at every edge brings back to nothing.
at::Tensor masked_shift(const at::Tensor& original, double shift) {
  const int64_t h = original.size(1), w = original.size(2);
  auto ramp = [](int64_t n) { return at::minimum(at::arange(n), at::arange(n).flip(0)).clamp_max(16).to(at::kFloat) / 16; };
  const at::Tensor mask = ramp(h).view({1, h, 1, 1}) * ramp(w).view({1, 1, w, 1});
  return original + mask * shift;
}

TEST(Fusion_ToneMatch, DriftAlongASideAndMaskedShiftsAreFollowed) {
  CutPicture cut;
  for (OptionalImage& t : cut.tiles) t = *t * 0.8 + 0.1;  // room for the shifts below without clamping
  const int64_t middle = 5;  // row 1, col 1
  const at::Tensor truth = *cut.tiles[middle];
  const int64_t overlap = 192 - 136;

  // The left neighbour's tone drifts from -6 to +6 grey levels down its side:
  // no gain and offset fits it, the tile's left overlap follows it.
  const at::Tensor drift = (at::arange(192).to(at::kFloat) / 191 * 12 - 6).mul_(kGrey).view({1, 192, 1, 1});
  std::vector<OptionalImage> left(cut.tiles.size());
  left[4] = *cut.tiles[4] + drift;
  const fusion::ToneMatch followed = fusion::match_tile_tone(truth, cut.grid, middle, left);
  ASSERT_TRUE(followed.applied) << followed.reason;
  // Row by row the overlap's tone (its mean over columns and channels) follows the drift.
  auto tone_by_row = [](const at::Tensor& t) { return t.mean({2, 3}); };
  const at::Tensor got = tone_by_row((followed.tile - truth).narrow(2, 0, overlap).narrow(1, 24, 144));
  EXPECT_LT(test::max_abs_diff(got, drift.narrow(1, 24, 144).view({1, 144})), kGrey);
  EXPECT_LT(followed.error_after, 0.5 * followed.error_before);

  // Neighbours shifted by +8 grey levels, the tile by -8, masks bringing every
  // tile's edges back to the original: past the overlaps with the top and
  // left neighbours the tile takes their shift when the originals are known.
  std::vector<OptionalImage> finished(cut.tiles.size());
  for (int64_t i = 0; i < middle; ++i) finished[static_cast<size_t>(i)] = masked_shift(*cut.tiles[static_cast<size_t>(i)], 8 * kGrey);
  std::vector<at::Tensor> originals;
  for (const OptionalImage& t : cut.tiles) originals.push_back(*t);
  const at::Tensor own = masked_shift(truth, -8 * kGrey);
  const fusion::ToneMatch matched = fusion::match_tile_tone(own, cut.grid, middle, finished, originals);
  ASSERT_TRUE(matched.applied) << matched.reason;
  // Rows 36 .. 119: nearer the corner, profiles smoothed along one side still see the other's mask ramp.
  const at::Tensor near_sides = tone_by_row((matched.tile - truth).narrow(1, 36, 84).narrow(2, 16, 128));
  EXPECT_LT(test::max_abs_diff(near_sides, at::full_like(near_sides, 8 * kGrey)), kGrey);
  // Towards the corner where neighbours are still to come the tile returns to its own shift.
  EXPECT_LT((matched.tile - truth)[0][170][170].mean().item<double>(), -2 * kGrey);
  // From the overlaps alone, which show mostly the original, it cannot.
  const at::Tensor blind = tone_by_row(
      (fusion::match_tile_tone(own, cut.grid, middle, finished).tile - truth).narrow(1, 36, 84).narrow(2, 16, 128));
  EXPECT_GT(test::max_abs_diff(blind, at::full_like(blind, 8 * kGrey)), 2 * kGrey);

  std::vector<at::Tensor> short_list(originals.begin(), originals.begin() + 3);
  EXPECT_THROW_WITH(fusion::match_tile_tone(own, cut.grid, middle, finished, short_list), IndexError, "originals");
  at::Tensor kept = own.clone();  // in place, a refused call leaves the tile as it was
  EXPECT_THROW(fusion::match_tile_tone_in_place(kept, cut.grid, middle, finished, short_list), IndexError);
  EXPECT_TRUE(test::same_values(kept, own));
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

TEST(Fusion_ToneKeptBand, KeptPixelsTakeTheProcessedToneAndKeepTheirDetail) {
  const at::Tensor original = test::sample_picture("coffee.png").narrow(1, 100, 192).narrow(2, 100, 192);
  // Kept along the left edge: 16 columns at 0, a ramp over the next 16, regenerated beyond.
  const at::Tensor ramp = at::clamp((at::arange(192, at::kFloat) - 16) / 16, 0, 1);
  const at::Tensor mask = ramp.view({1, 1, 192, 1}).expand({1, 192, 192, 1}).contiguous();
  // The processor's tone shift with new fine detail on top, which block means do not see.
  const at::Tensor checker = (at::arange(192).view({192, 1}) + at::arange(192).view({1, 192})).remainder(2);
  const at::Tensor processed = toned(original) + (checker.to(at::kFloat) - 0.5).mul(0.04).view({1, 192, 192, 1});
  const at::Tensor original_given = original.clone(), processed_given = processed.clone();

  const fusion::KeptBandTone band = fusion::blend_kept_band_in_tone(original, processed, mask);
  ASSERT_TRUE(band.applied) << band.reason;
  EXPECT_NEAR(band.gain[0], 0.9, 0.01);
  EXPECT_NEAR(band.offset[1], 0.02, 0.005);
  // The kept columns show the original's detail in the processed tone; the rest is the processor's.
  EXPECT_LT(test::max_abs_diff(band.tile.narrow(2, 0, 16), toned(original).narrow(2, 0, 16)), kGrey);
  EXPECT_LT(test::max_abs_diff(band.tile.narrow(2, 32, 160), processed.narrow(2, 32, 160)), 1e-6);
  EXPECT_TRUE(test::same_values(original, original_given));
  EXPECT_TRUE(test::same_values(processed, processed_given));

  // Without a tone shift, nothing moves: the plain blend through the mask.
  const fusion::KeptBandTone same = fusion::blend_kept_band_in_tone(original, original, mask);
  EXPECT_FALSE(same.applied);
  EXPECT_EQ(same.reason, "the processing kept the tile's tone");
  EXPECT_EQ(same.gain, std::vector<double>(3, 1.0));
  EXPECT_TRUE(test::same_values(same.tile, original));
  // A mask that regenerates nothing in full says nothing about the processed tone.
  const fusion::KeptBandTone none = fusion::blend_kept_band_in_tone(original, processed, mask * 0.5);
  EXPECT_FALSE(none.applied);
  EXPECT_NE(none.reason.find("fewer than 16 blocks"), std::string::npos) << none.reason;
  EXPECT_LT(test::max_abs_diff(none.tile, original.lerp(processed, mask * 0.5)), 1e-6);
  const fusion::KeptBandTone whole = fusion::blend_kept_band_in_tone(original, processed, at::ones_like(mask));
  EXPECT_EQ(whole.reason, "the mask kept no pixel");

  EXPECT_THROW_WITH(fusion::blend_kept_band_in_tone(original, processed, mask.narrow(1, 0, 100)), ValueError, "mask");
  EXPECT_THROW_WITH(fusion::blend_kept_band_in_tone(original, processed.narrow(3, 0, 1), mask), ValueError,
                    "one shape");
}

}  // namespace
}  // namespace quorv

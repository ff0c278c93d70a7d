#include <gtest/gtest.h>

#include "host/errors.h"
#include "host/nodes/image_composite_masked.h"
#include "image/quorv_image.h"
#include "tests/support/node_states.h"
#include "tests/support/test_support.h"

namespace quorv {
namespace {

using reassembly::SegmentList;
using reassembly::SegmentRecord;

// Blending order differs from the one-composite-per-tile procedure only in float rounding.
constexpr double kLiteralTolerance = 1e-6;

// A "Tile_Fusion" grid of 192-pixel tiles over `picture` (uneven last column and row).
struct Grid {
  NodeState SELF;
  std::vector<GridSpec> specs;
};

Grid make_grid(const at::Tensor& picture) {
  Grid g;
  g.SELF = test::node_state(picture, {192, 192, 8, 8, 0, 16});
  g.specs = Quorv_Image::get_tiled_grid_specs(g.SELF, picture);
  return g;
}

std::vector<OptionalImage> as_outputs(const std::vector<at::Tensor>& tiles) {
  return std::vector<OptionalImage>(tiles.begin(), tiles.end());
}

// The tiles as independently regenerated: each shifted in brightness by its own amount.
std::vector<OptionalImage> shifted_tiles(const at::Tensor& picture, const std::vector<GridSpec>& specs) {
  std::vector<OptionalImage> out;
  const auto tiles = Quorv_Image::get_grid_images(picture, specs);
  for (size_t i = 0; i < tiles.size(); ++i) out.push_back((tiles[i] + 0.03 * static_cast<double>(i % 5) - 0.06).clamp(0, 1));
  return out;
}

// One full composite per tile and per segment, as a node would do it with the host's composite.
at::Tensor literal_rebuild(const NodeState& SELF, const std::vector<GridSpec>& specs,
                           const std::vector<OptionalImage>& tiles, const at::Tensor& image, int64_t feather,
                           int64_t crop_margin, const SegmentList& segments, size_t regular) {
  at::Tensor canvas = image;
  for (size_t i = 0; i < regular; ++i) {
    const GridSpec& s = specs[i];
    masks::OverlayMaskOptions o;
    o.composite_blur_margin = static_cast<double>(feather);
    o.inpaint_border_margin = static_cast<double>(crop_margin);
    o.inpaint_max = 0;
    const at::Tensor first = Quorv_Image::create_custom_tile_overlay_mask(SELF, s.width_inc, s.height_inc, o).compositing_mask;
    o.feather_left = true;
    const at::Tensor vertical = Quorv_Image::create_custom_tile_overlay_mask(SELF, s.width_inc, s.height_inc, o).compositing_mask;
    o.feather_left = false;
    o.feather_top = true;
    const at::Tensor horizontal = Quorv_Image::create_custom_tile_overlay_mask(SELF, s.width_inc, s.height_inc, o).compositing_mask;
    at::Tensor mask_left = first, mask_middel = vertical;
    if (s.row != 0) mask_left = at::minimum(first, horizontal), mask_middel = at::minimum(vertical, horizontal);
    const at::Tensor used = s.col == 0 ? mask_left : mask_middel;
    canvas = std::get<0>(host::ImageCompositeMasked::composite(canvas, *tiles[i], s.x_start, s.y_start, false, used));
  }
  for (size_t i = 0; i < segments.segms.size(); ++i) {
    if (!tiles[regular + i]) continue;
    const auto& r = segments.segms[i].crop_region;
    canvas = std::get<0>(host::ImageCompositeMasked::composite(canvas, *tiles[regular + i], r.x1, r.y1, false,
                                                               segments.segms[i].compositing_mask));
  }
  return canvas;
}

TEST(Reassembly_RebuildFinalImage, EqualsOneCompositePerTileOnARealPicture) {
  const at::Tensor picture = test::sample_picture("coffee.png");  // 600 x 400: uneven last column and row
  Grid g = make_grid(picture);
  ASSERT_GE(g.specs.size(), 6u);
  std::vector<OptionalImage> tiles = shifted_tiles(picture, g.specs);
  // One segment tile with its own soft mask, pasted at (100, 50).
  g.specs.push_back({0, 0, 8000, 100, 50, 64, 48});
  tiles.push_back(at::full({1, 48, 64, 3}, 0.9f));
  SegmentList segments{std::string("header"), {SegmentRecord{{100, 50, 164, 98}, at::rand({1, 48, 64})}}};
  const auto before = picture.clone();

  const auto result = Quorv_Image::rebuild_final_image(g.SELF, "1", tiles, picture, g.specs, "2", 0, 0, {}, {1.0},
                                                       {{at::Tensor(), at::Tensor()}}, segments, "lanczos");
  const int64_t crop_margin = Quorv_Image::set_mask_constants(g.SELF).inpaint_margin;
  const at::Tensor expected = literal_rebuild(g.SELF, g.specs, tiles, picture, 16, crop_margin, segments, g.specs.size() - 1);
  EXPECT_LT(test::max_abs_diff(result.full_image, expected), kLiteralTolerance);
  EXPECT_FALSE(test::same_values(result.full_image, result.full_image_only_tiles));  // the segment went in
  EXPECT_TRUE(test::same_values(picture, before));
}

TEST(Reassembly_RebuildFinalImage, UnchangedTilesGiveThePictureBack) {
  const at::Tensor picture = test::sample_picture("astronaut.png");
  Grid g = make_grid(picture);
  const auto tiles = as_outputs(Quorv_Image::get_grid_images(picture, g.specs));
  const auto result = Quorv_Image::rebuild_final_image(g.SELF, "1", tiles, picture, g.specs, "2", 0, 0, {}, {}, {},
                                                       SegmentList{}, "lanczos");
  EXPECT_TRUE(test::same_values(result.full_image, picture));
}

TEST(Reassembly_RebuildFinalImage, SkipsSegmentsThatCannotBePastedAndCountsAgainstAllTiles) {
  test::CapturedServices captured;
  const at::Tensor picture = at::zeros({1, 64, 64, 3});
  Grid g = make_grid(at::zeros({1, 192, 192, 3}));
  g.SELF.OUTPUTS.image = picture;
  std::vector<GridSpec> specs{{0, 0, 0, 0, 0, 64, 64}, {0, 0, 8000, 0, 0, 8, 8}, {0, 0, 8001, 8, 8, 8, 8},
                              {0, 0, 8002, 16, 16, 8, 8}};
  std::vector<OptionalImage> tiles{at::full({1, 64, 64, 3}, 0.5f), at::ones({1, 8, 8, 3}), std::nullopt,
                                   at::ones({1, 8, 8, 3})};
  SegmentList segments{{}, {SegmentRecord{{0, 0, 8, 8}, std::nullopt},   // no mask: skipped with a message
                            SegmentRecord{{8, 8, 16, 16}, at::ones({8, 8})},  // no picture: silently skipped
                            SegmentRecord{{16, 16, 24, 24}, at::ones({8, 8})}}};
  const std::vector<std::pair<at::Tensor, at::Tensor>> cropped(3);
  const auto r = Quorv_Image::rebuild_final_image(g.SELF, "3", tiles, picture, specs, "2", 1, 1, {"a"}, {1, 1, 1},
                                                  cropped, segments, "lanczos");
  ASSERT_EQ(captured.printed.size(), 1u);
  EXPECT_EQ(captured.printed[0].rfind("Segment skipped. Error during image compositing: ", 0), 0u);
  // The failed paste left nothing behind; the third segment went in.
  EXPECT_FLOAT_EQ(r.full_image[0][2][2][0].item<float>(), 0.5f);
  EXPECT_FLOAT_EQ(r.full_image[0][20][20][0].item<float>(), 1.0f);
  EXPECT_FLOAT_EQ(r.full_image_only_tiles[0][20][20][0].item<float>(), 0.5f);
  ASSERT_EQ(captured.logged.size(), 3u);  // one tile, two segments with pictures
  EXPECT_EQ(captured.logged[2].message, "Rebuilding tile Segments 3/4");
  EXPECT_EQ(captured.logged[2].detail, "Refining 3  Grid_spec [0, 0, 8002, 16, 16, 8, 8]");
  ASSERT_EQ(r.tiles_order.size(), 3u);
  EXPECT_EQ(r.tiles_order[0].prompt, "a");

  // nosegments: both pictures are the tiles-only one.
  const auto n = Quorv_Image::rebuild_final_image(g.SELF, "3", tiles, picture, specs, "2", 1, 1, {}, {1, 1, 1},
                                                  cropped, segments, "lanczos", /*nosegments=*/true);
  EXPECT_TRUE(test::same_values(n.full_image, n.full_image_only_tiles));
}

TEST(Reassembly_RebuildFinalImage, FastPreviewPastesNothingAndLogsNothing) {
  test::CapturedServices captured;
  const at::Tensor picture = test::random_picture(1, 64, 64, 3);
  Grid g = make_grid(at::zeros({1, 192, 192, 3}));
  g.SELF.PARAMS.Fast_1_Tile_Preview = true;
  const std::vector<GridSpec> specs{{0, 0, 0, 0, 0, 64, 64}};
  const std::vector<OptionalImage> tiles{at::ones({1, 64, 64, 3})};
  const auto r = Quorv_Image::rebuild_final_image(g.SELF, "1", tiles, picture, specs, "2", 1, 1, {}, {}, {},
                                                  SegmentList{}, "lanczos");
  EXPECT_TRUE(r.full_image.is_same(picture));
  EXPECT_TRUE(r.full_image_only_tiles.is_same(picture));
  EXPECT_TRUE(captured.logged.empty());
  EXPECT_EQ(r.tiles_order.size(), 1u);
  EXPECT_TRUE(r.image_gridoverlay->is_same(*tiles[0]));
  EXPECT_THROW(Quorv_Image::rebuild_final_image(g.SELF, "1", {}, picture, specs, "2", 1, 1, {}, {}, {}, SegmentList{},
                                                "lanczos"),
               ValueError);
}

}  // namespace
}  // namespace quorv

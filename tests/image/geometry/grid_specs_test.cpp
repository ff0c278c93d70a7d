#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/errors.h"
#include "image/module.h"
#include "image/quorv_image.h"
#include "tests/support/node_states.h"
#include "tests/support/test_support.h"

namespace quorv {
namespace {

// Only the shape of a picture is read here, so a broadcast view stands in for it.
at::Tensor picture_of(int64_t width, int64_t height) { return test::shape_only_picture(width, height); }

NodeState node_state(int64_t tile, const at::Tensor& picture, const std::string& mode = "Tile_Fusion",
                     int64_t ibm = 8, int64_t iblur = 16, int64_t shift = 8, int64_t cbm = 32) {
  return test::node_state(picture, {tile, tile, ibm, iblur, shift, cbm, mode});
}

// Binds a reorder service that records its arguments and answers with `answer`.
class ScriptedReorder {
 public:
  explicit ScriptedReorder(std::function<std::vector<int64_t>(const std::vector<int64_t>&)> answer) {
    host::PackageServices services = host::default_package_services();
    services.reorder_edges_to_center = [this, answer](const std::vector<int64_t>& items) {
      calls.push_back(items);
      return answer(items);
    };
    load_module(services);
  }
  ~ScriptedReorder() { load_module(); }
  std::vector<std::vector<int64_t>> calls;
};

std::vector<int64_t> reversed(const std::vector<int64_t>& items) { return {items.rbegin(), items.rend()}; }

TEST(Geometry_GridSpecs, UnequalCountsRepeatOrSkipNumbersWhateverTheReorderReturns) {
  ScriptedReorder reorder(reversed);
  const at::Tensor wide = picture_of(2048, 1536);
  NodeState SELF = node_state(1000, wide);
  const std::vector<GridSpec> two_by_three = {
      {0, 0, 0, 0, 0, 1024, 1024},    {0, 1, 1, 896, 0, 1024, 1024},   {0, 2, 2, 1024, 0, 1024, 1024},
      {1, 0, 2, 0, 512, 1024, 1024},  {1, 1, 3, 896, 512, 1024, 1024}, {1, 2, 4, 1024, 512, 1024, 1024}};
  EXPECT_EQ(Quorv_Image::get_tiled_grid_specs(SELF, wide), two_by_three);
  EXPECT_EQ(reorder.calls, (std::vector<std::vector<int64_t>>{{0, 1}, {0, 1, 2}}));

  const at::Tensor tall = picture_of(1536, 2048);
  NodeState other = node_state(1024, tall);
  std::vector<int64_t> orders, xs, ys;
  for (const GridSpec& s : Quorv_Image::get_tiled_grid_specs(other, tall)) {
    orders.push_back(s.order);
    xs.push_back(s.x_start);
    ys.push_back(s.y_start);
  }
  EXPECT_EQ(orders, (std::vector<int64_t>{0, 1, 3, 4, 6, 7}));
  EXPECT_EQ(xs, (std::vector<int64_t>{0, 512, 0, 512, 0, 512}));
  EXPECT_EQ(ys, (std::vector<int64_t>{0, 0, 896, 896, 1024, 1024}));
}

TEST(Geometry_GridSpecs, MarginsAreClampedAfterTheStepsWereDerivedFromThem) {
  // Without fusion the band is the compositing ramp: -32 widens the step to 1056 for this call only.
  const at::Tensor picture = picture_of(3000, 1024);
  NodeState SELF = node_state(1024, picture, "none", -5, 0, 0, -32);
  std::vector<int64_t> xs;
  for (const GridSpec& s : Quorv_Image::get_tiled_grid_specs(SELF, picture)) xs.push_back(s.x_start);
  EXPECT_EQ(xs, (std::vector<int64_t>{0, 1056, 1976}));
  EXPECT_EQ(SELF.SIZE.inpaint_border_margin.get(), 0);
  EXPECT_EQ(SELF.SIZE.composite_blur_margin.get(), 0);

  xs.clear();
  for (const GridSpec& s : Quorv_Image::get_tiled_grid_specs(SELF, picture)) xs.push_back(s.x_start);
  EXPECT_EQ(xs, (std::vector<int64_t>{0, 1024, 1976}));
}

TEST(Geometry_GridSpecs, EveryTileLiesInsideAndTheLastOnesEndAtTheEdges) {
  struct Setting {
    int64_t tile;
    const char* mode;
    int64_t cbm;
  };
  for (const Setting setting : {Setting{1024, "Tile_Fusion", 32}, Setting{512, "NGTF_FLUX_Kontext", 16},
                                Setting{256, "none", 48}}) {
    for (int64_t width = setting.tile; width < 5 * setting.tile; width += setting.tile / 3 + 8) {
      const int64_t height = setting.tile + (width * 7) % (3 * setting.tile);
      const at::Tensor picture = picture_of(width, height);
      NodeState SELF = node_state(setting.tile, picture, setting.mode, 8, 16, 8, setting.cbm);
      const std::vector<GridSpec> grid = Quorv_Image::get_tiled_grid_specs(SELF, picture);
      const int64_t rows = SELF.PARAMS.rows_qty.get(), cols = SELF.PARAMS.cols_qty.get();
      ASSERT_EQ(grid.size(), static_cast<size_t>(rows * cols));
      const std::string where = std::to_string(width) + " x " + std::to_string(height) + " " + setting.mode;
      for (size_t i = 0; i < grid.size(); ++i) {
        const GridSpec& s = grid[i];
        EXPECT_EQ(s.row * cols + s.col, static_cast<int64_t>(i)) << where;
        EXPECT_EQ(s.width_inc, setting.tile);
        EXPECT_EQ(s.height_inc, setting.tile);
        EXPECT_TRUE(s.x_start >= 0 && s.x_start + s.width_inc <= width) << where << " " << s;
        EXPECT_TRUE(s.y_start >= 0 && s.y_start + s.height_inc <= height) << where << " " << s;
        if (s.col == cols - 1) {
          EXPECT_EQ(s.x_start + s.width_inc, width) << where;
        }
        if (s.row == rows - 1) {
          EXPECT_EQ(s.y_start + s.height_inc, height) << where;
        }
        // Neighbours overlap or touch, so the grid leaves no gap.
        if (s.col > 0) {
          EXPECT_LE(s.x_start, grid[i - 1].x_start + grid[i - 1].width_inc) << where;
        }
        if (s.row > 0) {
          EXPECT_LE(s.y_start, grid[i - cols].y_start + grid[i - cols].height_inc) << where;
        }
      }
    }
  }
}

TEST(Geometry_GridSpecs, RejectsGridsThatCannotLieInsideThePicture) {
  // Band 64, step 64: a picture 64 high gives -1 rows; the NodeState keeps what was written.
  const at::Tensor flat = picture_of(100, 64);
  NodeState SELF = node_state(192, flat, "Tile_Fusion", -8, 32, 8, 32);
  EXPECT_THROW_WITH(Quorv_Image::get_tiled_grid_specs(SELF, flat), ValueError,
                    "rows_qty must be at least 1, got -1 for picture 100 x 64, tile 192 x 192");
  EXPECT_EQ(SELF.PARAMS.rows_qty.get(), -1);
  EXPECT_EQ(SELF.SIZE.inpaint_border_margin.get(), 0);

  // Band 120 in a tile of 256 (step 16): four rows and columns on a picture narrower than one tile.
  const at::Tensor small = picture_of(200, 200);
  NodeState narrow = node_state(256, small, "Tile_Fusion", 40, 40, 20, 20);
  EXPECT_THROW_WITH(Quorv_Image::get_tiled_grid_specs(narrow, small), ValueError,
                    "4 rows need a picture at least one tile high, got picture 200 x 200, tile 256 x 256");

  // Band 24 in a tile of 64 (step 16): the middle of three rows would end at 80 in a picture 78 high.
  const at::Tensor low = picture_of(64, 78);
  NodeState short_step = node_state(64, low, "Tile_Fusion", 8, 8, 0, 8);
  EXPECT_THROW_WITH(Quorv_Image::get_tiled_grid_specs(short_step, low), ValueError,
                    "row 1 at step 16 must end inside the picture");

  // 90 x 90 tiles would number up to 8099, into the segment range; 89 x 89 stay below.
  const at::Tensor big = picture_of(90 * 64, 90 * 64);
  NodeState many = node_state(64, big, "none", 0, 0, 0, 0);
  EXPECT_THROW_WITH(Quorv_Image::get_tiled_grid_specs(many, big), ValueError, "got 8099 for 90 rows x 90 columns");
  const at::Tensor fewer = picture_of(89 * 64, 89 * 64);
  NodeState fine = node_state(64, fewer, "none", 0, 0, 0, 0);
  EXPECT_EQ(Quorv_Image::get_tiled_grid_specs(fine, fewer).back().order, 88 * 89 + 88);

  ScriptedReorder dropping([](const std::vector<int64_t>&) { return std::vector<int64_t>{}; });
  const at::Tensor picture = picture_of(2048, 2048);
  NodeState SELF2 = node_state(1024, picture);
  EXPECT_THROW_WITH(Quorv_Image::get_tiled_grid_specs(SELF2, picture), ValueError,
                    "reorder_edges_to_center must keep the 3 rows, got 0");
}

}  // namespace
}  // namespace quorv

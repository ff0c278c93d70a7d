#include <gtest/gtest.h>

#include <vector>

#include "host/errors.h"
#include "image/quorv_image.h"
#include "tests/support/test_support.h"

namespace quorv {
namespace {

NodeState grid_state(int64_t rows, int64_t cols, int64_t margin) {
  NodeState SELF;
  SELF.PARAMS.rows_qty = rows;
  SELF.PARAMS.cols_qty = cols;
  SELF.SIZE.inpaint_border_margin = margin;
  return SELF;
}

std::vector<int64_t> crop(const NodeState& SELF, const std::vector<GridSpec>& grid, int64_t index,
                          int64_t tile = 1024) {
  const at::Tensor picture = at::zeros({1, 1, 1, 3}).expand({1, tile, tile, 3});
  const geometry::KontextCrop c = Quorv_Image::get_kontext_crop(SELF, picture, grid, index);
  return {c.k_w, c.k_h, c.crop_kontext_x, c.crop_kontext_y};
}

TEST(Geometry_KontextCrop, BordersAreTakenOnlyTowardsNeighbours) {
  const NodeState SELF = grid_state(3, 3, 64);
  // Placement fields deliberately wrong: only row and col count.
  const std::vector<GridSpec> grid = {{0, 0, 0, 5, 5, 1, 1}, {1, 1, 4, 0, 0, 0, 0}, {0, 2, 2, -9, 3, 7, 7},
                                      {2, 2, 8, 0, 0, 0, 0}, {2, 1, 7, 0, 0, 0, 0}};
  EXPECT_EQ(crop(SELF, grid, 0), (std::vector<int64_t>{960, 960, 0, 0}));
  EXPECT_EQ(crop(SELF, grid, 1), (std::vector<int64_t>{896, 896, 64, 64}));
  EXPECT_EQ(crop(SELF, grid, 2), (std::vector<int64_t>{960, 960, 64, 0}));
  EXPECT_EQ(crop(SELF, grid, 3), (std::vector<int64_t>{960, 960, 64, 64}));
  EXPECT_EQ(crop(SELF, grid, 4, 512), (std::vector<int64_t>{384, 448, 64, 64}));

  // One column: column 0 counts as first, so one border comes off the width all the same.
  const std::vector<GridSpec> column = {{0, 0, 0, 0, 0, 0, 0}, {1, 0, 1, 0, 0, 0, 0}};
  EXPECT_EQ(crop(grid_state(2, 1, 64), column, 1), (std::vector<int64_t>{960, 960, 0, 64}));
  EXPECT_EQ(crop(grid_state(3, 3, 0), grid, 1), (std::vector<int64_t>{1024, 1024, 0, 0}));
}

TEST(Geometry_KontextCrop, RejectsBadIndexMissingFieldsAndOversizedMargins) {
  const std::vector<GridSpec> grid = {{0, 0, 0, 0, 0, 0, 0}, {1, 1, 4, 0, 0, 0, 0}};
  EXPECT_THROW_WITH(crop(grid_state(3, 3, 64), grid, 2), IndexError, "index 2 is out of range for 2");
  EXPECT_THROW_WITH(crop(grid_state(3, 3, 64), grid, -1), IndexError, "index -1");
  NodeState no_cols = grid_state(3, 3, 64);
  no_cols.PARAMS.cols_qty.reset();
  EXPECT_THROW_WITH(crop(no_cols, grid, 0), KeyError, "PARAMS.cols_qty");
  EXPECT_THROW_WITH(crop(grid_state(3, 3, 513), grid, 1), ValueError,
                    "2 x SIZE.inpaint_border_margin 513 must fit the tile width, got 1024");
  EXPECT_EQ(crop(grid_state(3, 3, 512), grid, 1), (std::vector<int64_t>{0, 0, 512, 512}));
  EXPECT_THROW_WITH(crop(grid_state(3, 3, -1), grid, 0), ValueError, "must not be negative, got -1");
}

}  // namespace
}  // namespace quorv

// How long finished tiles are kept: until the last tile that may read them.
#include <gtest/gtest.h>

#include "tools/quorv/quorv_cli.h"

namespace quorv::cli {
namespace {

// rows x cols tiles of 64 stepping by 48 (overlap 16), in grid order.
std::vector<GridSpec> even_grid(int64_t rows, int64_t cols) {
  std::vector<GridSpec> grid;
  for (int64_t r = 0; r < rows; ++r)
    for (int64_t c = 0; c < cols; ++c) grid.push_back({r, c, r * rows + c, c * 48, r * 48, 64, 64});
  return grid;
}

TEST(Quorv_TileWindow, ATileIsKeptUntilItsLastNeighbourIsDone) {
  const std::vector<GridSpec> grid = even_grid(3, 4);
  const std::vector<size_t> last = last_readers(grid);
  // Tile 0 is read by tile 5 (one row down, one column right), tile 3 (top
  // right) by tile 7 below it, the bottom row by its right neighbour only.
  EXPECT_EQ(last.at(0), 5u);
  EXPECT_EQ(last.at(3), 7u);
  EXPECT_EQ(last.at(5), 10u);
  EXPECT_EQ(last.at(8), 9u);
  EXPECT_EQ(last.at(11), 11u);

  // A grid pushed against the edge: the last column shares pixels with two
  // columns back, so tile 0 must wait for it as well.
  std::vector<GridSpec> pushed{{0, 0, 0, 0, 0, 64, 64}, {0, 1, 1, 40, 0, 64, 64}, {0, 2, 2, 60, 0, 64, 64}};
  EXPECT_EQ(last_readers(pushed).at(0), 2u);

  // About two rows are held at once, against every tile when all are kept.
  const int64_t tile = 64 * 64 * 3 * 4;
  const std::vector<GridSpec> big = even_grid(10, 10);
  EXPECT_EQ(finished_tiles_peak_bytes(big, 3, true), 100 * tile);
  EXPECT_LE(finished_tiles_peak_bytes(big, 3, false), 2 * 10 * tile + 2 * tile);
  EXPECT_GE(finished_tiles_peak_bytes(big, 3, false), 10 * tile);
}

}  // namespace
}  // namespace quorv::cli

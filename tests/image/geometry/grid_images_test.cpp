#include <gtest/gtest.h>

#include <vector>

#include "host/errors.h"
#include "image/quorv_image.h"
#include "tests/support/node_states.h"
#include "tests/support/test_support.h"

namespace quorv {
namespace {

TEST(Geometry_GridImages, TilesOfARealPictureAreViewsCoveringIt) {
  const at::Tensor coffee = test::sample_picture("coffee.png");  // 600 x 400
  const at::Tensor before = coffee.clone();
  NodeState SELF = test::node_state(coffee, {256, 256, 8, 8, 8, 8});
  const std::vector<GridSpec> grid = Quorv_Image::get_tiled_grid_specs(SELF, coffee);
  ASSERT_EQ(grid.size(), 6u);  // 2 rows x 3 columns at step 192

  const std::vector<at::Tensor> tiles = Quorv_Image::get_grid_images(coffee, grid);
  ASSERT_EQ(tiles.size(), grid.size());
  at::Tensor covered = at::zeros({400, 600});
  for (size_t i = 0; i < tiles.size(); ++i) {
    const GridSpec& s = grid[i];
    EXPECT_EQ(tiles[i].sizes(), (at::IntArrayRef{1, 256, 256, 3}));
    EXPECT_TRUE(tiles[i].is_alias_of(coffee));
    EXPECT_TRUE(test::same_values(tiles[i], before.narrow(1, s.y_start, 256).narrow(2, s.x_start, 256)));
    covered.narrow(0, s.y_start, 256).narrow(1, s.x_start, 256) += 1;
  }
  EXPECT_GE(covered.min().item<float>(), 1.0f);
  EXPECT_EQ(grid.back().x_start + 256, 600);
  EXPECT_EQ(grid.back().y_start + 256, 400);
  EXPECT_TRUE(test::same_values(coffee, before));

  // A write through the picture shows in the tile: the last tile starts at (344, 144).
  at::Tensor picture = coffee.clone();
  const std::vector<at::Tensor> views = Quorv_Image::get_grid_images(picture, grid);
  picture[0][144 + 5][344 + 7][1] = 2.0f;
  EXPECT_EQ(views.back()[0][5][7][1].item<float>(), 2.0f);
}

TEST(Geometry_GridImages, ClipsAtTheEdgesAndRejectsNegativeRecords) {
  const at::Tensor picture = test::random_picture(2, 40, 60, 4);
  const std::vector<at::Tensor> tiles = Quorv_Image::get_grid_images(
      picture, {{0, 0, 0, 50, 30, 32, 32}, {0, 1, 1, 70, 0, 8, 8}, {1, 0, 2, 0, 0, 60, 40}});
  EXPECT_EQ(tiles[0].sizes(), (at::IntArrayRef{2, 10, 10, 4}));
  EXPECT_TRUE(test::same_values(tiles[0], picture.narrow(1, 30, 10).narrow(2, 50, 10)));
  EXPECT_EQ(tiles[1].sizes(), (at::IntArrayRef{2, 8, 0, 4}));
  EXPECT_TRUE(test::same_values(tiles[2], picture));
  EXPECT_TRUE(Quorv_Image::get_grid_images(picture, {}).empty());

  EXPECT_THROW_WITH(Quorv_Image::get_grid_images(picture, {{0, 0, 0, 0, 0, 8, 8}, {0, 1, 1, -4, 0, 8, 8}}),
                    ValueError, "grid_specs[1] must have a non-negative x_start, got [0, 1, 1, -4, 0, 8, 8]");
  EXPECT_THROW_WITH(Quorv_Image::get_grid_images(picture, {{0, 0, 0, 0, 0, 8, -1}}), ValueError, "height_inc");
  EXPECT_THROW_WITH(Quorv_Image::get_grid_images(at::zeros({40, 60, 3}), {}), ValueError, "[40, 60, 3]");
}

TEST(Geometry_FindIndex, MatchesXWithTheRowAndYWithTheColumn) {
  std::vector<GridSpec> grid;
  for (int64_t row = 0; row < 2; ++row)
    for (int64_t col = 0; col < 3; ++col) grid.push_back({row, col, row * 2 + col, col * 10, row * 10, 16, 16});
  EXPECT_EQ(Quorv_Image::find_index(grid, 1, 2), 5);
  EXPECT_EQ(Quorv_Image::find_index(grid, 0, 1), 1);
  EXPECT_EQ(Quorv_Image::find_index(grid, 2, 1), -1);  // no row 2, though column 2 exists in row 1
  grid.push_back({0, 1, 9000, 0, 0, 16, 16});
  EXPECT_EQ(Quorv_Image::find_index(grid, 0, 1), 1);  // the first of two matching records
  EXPECT_EQ(Quorv_Image::find_index({}, 0, 0), -1);
}

}  // namespace
}  // namespace quorv

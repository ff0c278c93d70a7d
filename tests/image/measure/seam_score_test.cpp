#include <gtest/gtest.h>

#include "host/errors.h"
#include "image/measure/measure.h"
#include "tests/support/test_support.h"

namespace quorv {
namespace {

TEST(Measure_SeamScore, VisibleStepsAtTileBordersScoreFarAboveOne) {
  // Two columns of tiles meeting at x = 48, two rows meeting at y = 40.
  const std::vector<GridSpec> grid{{0, 0, 0, 0, 0, 48, 40}, {0, 1, 1, 48, 0, 48, 40}, {1, 0, 2, 0, 40, 48, 40},
                                   {1, 1, 3, 48, 40, 48, 40}, {0, 0, 8000, 5, 5, 10, 10}};
  const at::Tensor noise = test::random_picture(1, 80, 96, 3) * 0.1;
  const measure::SeamScore plain = measure::seam_score(noise, grid);
  EXPECT_NEAR(plain.score, 1.0, 0.3);
  EXPECT_EQ(plain.lines, 4);  // the shared borders are measured once, the segment not at all

  at::Tensor seams = noise.clone();
  seams.narrow(2, 48, 48).add_(0.3);
  const measure::SeamScore stepped = measure::seam_score(seams, grid);
  EXPECT_GT(stepped.vertical, 5.0);
  EXPECT_NEAR(stepped.horizontal, 1.0, 0.3);
  EXPECT_DOUBLE_EQ(measure::seam_score(noise, {grid[0]}).score, 1.0);
}

}  // namespace
}  // namespace quorv

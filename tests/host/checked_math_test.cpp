#include "host/checked_math.h"

#include <gtest/gtest.h>

#include <limits>

namespace quorv {
namespace {

TEST(Host_CheckedMath, CeilAndFloorDivisionMatchRealDivision) {
  for (int64_t a = -20; a <= 20; ++a)
    for (int64_t b : {-7, -3, -1, 1, 2, 8, 9}) {
      EXPECT_EQ(ceil_div(a, b, "t"), static_cast<int64_t>(std::ceil(double(a) / double(b)))) << a << "/" << b;
      EXPECT_EQ(floor_div(a, b, "t"), static_cast<int64_t>(std::floor(double(a) / double(b)))) << a << "/" << b;
    }
  EXPECT_THROW(ceil_div(5, 0, "t"), ZeroDivisionError);
  EXPECT_THROW(floor_div(5, 0, "t"), ZeroDivisionError);
}

TEST(Host_CheckedMath, OverflowAndNonFiniteValuesAreValueErrors) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  EXPECT_THROW(checked_add(kMax, 1, "t"), ValueError);
  EXPECT_THROW(checked_sub(kMin, 1, "t"), ValueError);
  EXPECT_THROW(checked_mul(kMax / 2 + 1, 2, "t"), ValueError);
  EXPECT_THROW(ceil_div(kMin, -1, "t"), ValueError);
  EXPECT_EQ(truncate_to_int(64.9, "t"), 64);
  EXPECT_EQ(truncate_to_int(-0.5, "t"), 0);
  EXPECT_THROW(truncate_to_int(std::nan(""), "t"), ValueError);
  EXPECT_THROW(truncate_to_int(INFINITY, "t"), ValueError);
  EXPECT_THROW(truncate_to_int(1e19, "t"), ValueError);
}

}  // namespace
}  // namespace quorv

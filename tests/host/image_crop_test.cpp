#include "host/nodes/image_crop.h"

#include <gtest/gtest.h>

#include "host/errors.h"
#include "tests/support/test_support.h"

namespace quorv::host {
namespace {

at::Tensor crop(const at::Tensor& img, int64_t w, int64_t h, int64_t x, int64_t y) {
  return std::get<0>(ImageCrop::crop(img, w, h, x, y));
}

TEST(Host_ImageCrop, CutsTheRegionAndClipsAtTheEdges) {
  const at::Tensor img = test::random_picture(2, 10, 12, 3);
  EXPECT_TRUE(test::same_values(crop(img, 4, 3, 5, 2), img.slice(1, 2, 5).slice(2, 5, 9)));
  // Past the right and bottom edges: clipped.
  EXPECT_TRUE(test::same_values(crop(img, 8, 8, 9, 6), img.slice(1, 6, 10).slice(2, 9, 12)));
  // x and y beyond the picture start at its last column and row.
  EXPECT_TRUE(test::same_values(crop(img, 5, 5, 50, 50), img.slice(1, 9, 10).slice(2, 11, 12)));
  // A view: no copy is made.
  EXPECT_EQ(crop(img, 4, 4, 0, 0).data_ptr(), img.data_ptr());
  EXPECT_THROW(crop(img, -1, 4, 0, 0), ValueError);
  EXPECT_THROW(crop(img, 1, 4, -2, 0), ValueError);
}

}  // namespace
}  // namespace quorv::host

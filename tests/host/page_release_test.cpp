#include "host/page_release.h"

#include <gtest/gtest.h>

#include <ATen/ATen.h>

#include <vector>

#include "host/errors.h"
#include "tests/support/test_support.h"

namespace quorv::host {
namespace {

// Memory anyone else still reads is never thrown away: a view, a second
// handle, a caller's array. Only a picture that is the last of its pages is.
TEST(Host_PageRelease, OnlyPicturesNothingElseSharesGiveTheirPagesBack) {
  at::Tensor alone = at::rand({1, 256, 256, 3});
  EXPECT_TRUE(pages_are_ours(alone));
  at::Tensor shared = alone;
  EXPECT_FALSE(pages_are_ours(alone));
  const at::Tensor view = shared.narrow(1, 10, 20);
  const at::Tensor before = view.clone();
  shared.reset();
  let_go(alone);  // the view still reads these pixels
  EXPECT_FALSE(alone.defined());
  EXPECT_TRUE(at::equal(view, before));

  std::vector<float> array(256 * 256 * 3, 0.25f);
  at::Tensor borrowed = at::from_blob(array.data(), {1, 256, 256, 3});
  EXPECT_FALSE(pages_are_ours(borrowed));
  let_go(borrowed);
  EXPECT_EQ(array[1000], 0.25f);
  EXPECT_FALSE(pages_are_ours(at::Tensor()));
}

// Rows thrown away read as 0 where they cover whole pages; the rows around them keep their values.
TEST(Host_PageRelease, DiscardedRowsGoAndTheOthersStay) {
  at::Tensor picture = at::full({1, 64, 1024, 3}, 0.5f);  // 12 KiB rows
  discard_rows(picture, 8, 40);
  EXPECT_EQ(picture.narrow(1, 0, 8).min().item<float>(), 0.5f);
  EXPECT_EQ(picture.narrow(1, 40, 24).min().item<float>(), 0.5f);
  EXPECT_EQ(picture.narrow(1, 10, 28).max().item<float>(), 0.0f);
  discard_rows(picture, 50, 50);  // nothing
  EXPECT_EQ(picture.narrow(1, 50, 1).min().item<float>(), 0.5f);
  EXPECT_THROW_WITH(discard_rows(picture, 60, 70), ValueError, "outside");
  EXPECT_THROW_WITH(discard_rows(picture.narrow(2, 0, 10), 0, 5), ValueError, "contiguous");
}

}  // namespace
}  // namespace quorv::host

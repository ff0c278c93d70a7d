#include <gtest/gtest.h>

#include "host/errors.h"
#include "image/quorv_image.h"
#include "tests/support/test_support.h"

namespace quorv {
namespace {

TEST(Reassembly_CompositeSegment, UsesTheSegmentsOwnMaskAfterTheRegularTiles) {
  NodeState SELF;
  SELF.OUTPUTS.grid_images = std::vector<at::Tensor>(3, at::zeros({1, 4, 4, 3}));
  SELF.SEGMENTS.segms_cropped_masks = std::vector<std::pair<at::Tensor, at::Tensor>>{
      {at::Tensor(), at::ones({1, 6, 6})}, {at::Tensor(), at::zeros({1, 6, 6})}};
  const at::Tensor crop = test::random_picture(1, 6, 6, 3, 1), segment = test::random_picture(1, 4, 4, 3, 2);
  const at::Tensor crop_before = crop.clone(), segment_before = segment.clone();

  // Index 3 is the first segment (all-ones mask): the segment over the area it covers.
  const at::Tensor first = Quorv_Image::composite_segment_with_generation(SELF, crop, segment, 3);
  EXPECT_EQ(first.sizes(), crop.sizes());
  EXPECT_TRUE(test::same_values(first.narrow(1, 0, 4).narrow(2, 0, 4), segment));
  EXPECT_TRUE(test::same_values(first.narrow(1, 4, 2), crop.narrow(1, 4, 2)));
  // Index 4, the second segment (all-zeros mask): the crop unchanged.
  EXPECT_TRUE(test::same_values(Quorv_Image::composite_segment_with_generation(SELF, crop, segment, 4), crop));
  EXPECT_THROW_WITH(Quorv_Image::composite_segment_with_generation(SELF, crop, segment, 2), IndexError, "index 2");
  EXPECT_THROW(Quorv_Image::composite_segment_with_generation(SELF, crop, segment, 5), IndexError);
  EXPECT_TRUE(test::same_values(crop, crop_before));
  EXPECT_TRUE(test::same_values(segment, segment_before));
}

}  // namespace
}  // namespace quorv

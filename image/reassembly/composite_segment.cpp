#include <ATen/ATen.h>

#include "host/errors.h"
#include "host/nodes/image_composite_masked.h"
#include "image/reassembly/reassembly.h"

namespace quorv::reassembly {

at::Tensor composite_segment_with_generation(const NodeState& SELF, const at::Tensor& cropped_segment_from_finalimage,
                                             const at::Tensor& original_segment, int64_t index) {
  const auto regular = static_cast<int64_t>(SELF.OUTPUTS.grid_images.get().size());
  const auto& cropped_masks = SELF.SEGMENTS.segms_cropped_masks.get();
  // Segment tiles follow the regular ones; an index among the regular tiles has no segment.
  const int64_t position = index - regular;
  if (position < 0 || position >= static_cast<int64_t>(cropped_masks.size()))
    throw IndexError("composite_segment_with_generation: tile index " + std::to_string(index) + " minus " +
                     std::to_string(regular) + " regular tiles is not one of the " +
                     std::to_string(cropped_masks.size()) + " segments");
  const at::Tensor& temp_upscaled_mask = cropped_masks.at(static_cast<size_t>(position)).second;
  return std::get<0>(host::ImageCompositeMasked::composite(cropped_segment_from_finalimage, original_segment, 0, 0,
                                                           false, temp_upscaled_mask));
}

}  // namespace quorv::reassembly

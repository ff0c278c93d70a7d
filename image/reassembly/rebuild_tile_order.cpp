#include <ATen/ATen.h>

#include "host/errors.h"
#include "image/reassembly/reassembly.h"

namespace quorv::reassembly {
namespace {

const OptionalImage& picture_at(const std::vector<OptionalImage>& output_images, size_t position) {
  if (position >= output_images.size())
    throw IndexError("rebuild_tile_order: output_images has " + std::to_string(output_images.size()) +
                     " entries, no position " + std::to_string(position));
  return output_images.at(position);
}

std::string prompt_at(const std::vector<std::string>& grid_prompts, size_t position) {
  return position < grid_prompts.size() ? grid_prompts[position] : "";
}

}  // namespace

std::vector<TileOrderEntry> rebuild_tile_order(const std::vector<OptionalImage>& output_images,
                                               const std::vector<GridSpec>& grid_specs,
                                               const std::vector<std::string>& grid_prompts) {
  std::vector<const GridSpec*> regular, segments;
  for (const GridSpec& spec : grid_specs) (spec.is_segment() ? segments : regular).push_back(&spec);

  std::vector<TileOrderEntry> tiles_order;
  for (size_t index = 0; index < regular.size(); ++index)
    tiles_order.push_back({regular[index]->order, picture_at(output_images, index), prompt_at(grid_prompts, index)});
  for (size_t index = 0; index < segments.size(); ++index) {
    const size_t index_custom = index + regular.size();
    const OptionalImage& picture = picture_at(output_images, index_custom);
    if (!picture) continue;  // a segment that was not processed
    tiles_order.push_back({segments[index]->order, picture, prompt_at(grid_prompts, index_custom)});
  }
  return tiles_order;
}

}  // namespace quorv::reassembly

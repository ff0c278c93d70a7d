#include <ATen/ATen.h>

#include "host/errors.h"
#include "host/nodes/image_composite_masked.h"
#include "image/masks/masks.h"
#include "image/module.h"
#include "image/reassembly/reassembly.h"

namespace quorv::reassembly {
namespace {

template <class T>
const T& entry_at(const std::vector<T>& list, size_t index, const char* name) {
  if (index >= list.size())
    throw IndexError(std::string("rebuild_final_image: ") + name + " has " + std::to_string(list.size()) +
                     " entries, none for segment " + std::to_string(index));
  return list[index];
}

// Pastes in place; every check runs before the first write, so a failure leaves full_image as it was.
void paste_segment(at::Tensor& full_image, const at::Tensor& picture, const SegmentRecord& segm) {
  if (!segm.compositing_mask || !segm.compositing_mask->defined())
    throw KeyError("the segment record has no compositing_mask");
  host::ImageCompositeMasked::composite_into(full_image, picture, segm.crop_region.x1, segm.crop_region.y1,
                                             *segm.compositing_mask);
}

}  // namespace

FinalRebuild rebuild_final_image(NodeState& SELF, const std::string& iteration,
                                 const std::vector<OptionalImage>& output_images, const at::Tensor& image,
                                 const std::vector<GridSpec>& grid_specs, const std::string&, int64_t, int64_t,
                                 const std::vector<std::string>& grid_prompts, const std::vector<double>& segs_scales,
                                 const std::vector<std::pair<at::Tensor, at::Tensor>>& segms_cropped_masks,
                                 const SegmentList& segms_new, const std::string&, bool nosegments) {
  std::vector<GridSpec> grid_spec_tile, grid_spec_custom;
  for (const GridSpec& spec : grid_specs) (spec.is_segment() ? grid_spec_custom : grid_spec_tile).push_back(spec);
  if (output_images.empty()) throw ValueError("rebuild_final_image: output_images is empty");

  const int64_t feather_mask = SELF.SIZE.composite_blur_margin.get();
  const int64_t crop_margin = masks::set_mask_constants(SELF).inpaint_margin;
  FinalRebuild result;
  result.tiles_order = rebuild_tile_order(output_images, grid_specs, grid_prompts);
  result.image_gridoverlay = output_images.front();

  if (SELF.PARAMS.Fast_1_Tile_Preview.get()) {
    result.full_image = image;
    result.full_image_only_tiles = image;
    return result;
  }
  const auto total = static_cast<int64_t>(output_images.size());
  TileRebuild rebuilt = rebuild_tiles(SELF, grid_spec_tile, output_images, image, image, total, iteration,
                                      feather_mask, crop_margin);
  result.full_image = std::move(rebuilt.full_image);  // private to this call: segments are pasted into it
  result.full_image_only_tiles = std::move(rebuilt.full_image_only_tiles);
  if (nosegments) return result;

  const auto services = module_services();
  for (size_t index = 0; index < grid_spec_custom.size(); ++index) {
    const OptionalImage& picture = entry_at(output_images, index + grid_spec_tile.size(), "output_images");
    if (!picture || !picture->defined()) continue;
    services->log("Rebuilding tile Segments " + std::to_string(index + 1) + "/" + std::to_string(total),
                  std::nullopt, std::nullopt,
                  "Refining " + iteration + "  Grid_spec " + to_string(grid_spec_custom[index]));
    const SegmentRecord& segm = entry_at(segms_new.segms, index, "segms_new");
    entry_at(segs_scales, index, "segs_scales");
    entry_at(segms_cropped_masks, index, "segms_cropped_masks");
    try {
      paste_segment(result.full_image, *picture, segm);
    } catch (const std::exception& e) {
      print_line(std::string("Segment skipped. Error during image compositing: ") + e.what());
    }
  }
  return result;
}

}  // namespace quorv::reassembly

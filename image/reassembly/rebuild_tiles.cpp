#include <ATen/ATen.h>

#include <algorithm>
#include <set>

#include "host/checked_math.h"
#include "host/errors.h"
#include "host/memory.h"
#include "host/nodes/image_crop.h"
#include "image/masks/masks.h"
#include "image/module.h"
#include "image/reassembly/reassembly.h"

namespace quorv::reassembly {
namespace {

const at::Tensor& tile_picture(const std::vector<OptionalImage>& output_images, size_t index, const GridSpec& spec) {
  if (index >= output_images.size())
    throw IndexError("rebuild_tiles: output_images has " + std::to_string(output_images.size()) +
                     " entries, no picture for tile " + std::to_string(index) + " " + to_string(spec));
  const OptionalImage& picture = output_images.at(index);
  if (!picture || !picture->defined())
    throw ValueError("rebuild_tiles: regular tile " + std::to_string(index) + " " + to_string(spec) + " has no picture");
  return *picture;
}

// Everything the rebuild holds at its peak: the canvas and the tiles-only
// copy; for each tile size its mask set (three masks and up to two minima;
// four while the third is built) with the byte-sized test of its interior;
// and for the largest tile picture a mask resized to it and the grid
// overlay's copy.
int64_t rebuild_bytes(const std::vector<GridSpec>& grid_spec_tile, const std::vector<OptionalImage>& output_images,
                      const at::Tensor& output_image) {
  const char* what = "rebuild_tiles: memory needed";
  int64_t bytes = float_bytes(checked_mul(output_image.numel(), 2, what), what);
  std::set<std::pair<int64_t, int64_t>> sizes;
  for (const GridSpec& spec : grid_spec_tile) {
    if (!sizes.insert({spec.width_inc, spec.height_inc}).second) continue;
    const int64_t w = std::max<int64_t>(spec.width_inc, 0), h = std::max<int64_t>(spec.height_inc, 0);
    bytes = checked_add(bytes, masks::overlay_mask_bytes(w, h, 5), what);
    bytes = checked_add(bytes, checked_mul(w, h, what), what);
  }
  int64_t largest_picture = 0;
  for (size_t i = 0; i < grid_spec_tile.size() && i < output_images.size(); ++i)
    if (output_images[i] && output_images[i]->defined())
      largest_picture = std::max(largest_picture, checked_add(output_images[i]->numel(),
                                                              image_width(*output_images[i]) * image_height(*output_images[i]),
                                                              what));
  return checked_add(bytes, float_bytes(largest_picture, what), what);
}

}  // namespace

TileRebuild rebuild_tiles(const NodeState& SELF, const std::vector<GridSpec>& grid_spec_tile,
                          const std::vector<OptionalImage>& output_images, const at::Tensor& output_image,
                          const at::Tensor& image, int64_t total, const std::string& iteration,
                          int64_t feather_mask, int64_t crop_margin) {
  if (grid_spec_tile.empty()) throw ValueError("rebuild_tiles: the list of regular tiles is empty; nothing to rebuild");
  require_image(output_image, "rebuild_tiles output_image");
  require_image(image, "rebuild_tiles image");
  const auto services = module_services();

  require_memory_for(rebuild_bytes(grid_spec_tile, output_images, output_image),
                     "rebuild_tiles: rebuilding a " + shape_string(output_image) + " picture");
  // One private canvas, pasted into in place: no full-size copy per tile.
  at::Tensor canvas = output_image.clone(at::MemoryFormat::Contiguous);
  TilePaster paster(SELF, feather_mask, crop_margin);
  for (size_t index = 0; index < grid_spec_tile.size(); ++index) {
    const GridSpec& spec = grid_spec_tile[index];
    services->log("Rebuilding tile " + std::to_string(index + 1) + "/" + std::to_string(total), std::nullopt,
                  std::nullopt, "Refining " + iteration + " Grid_spec " + to_string(spec));
    paster.paste(canvas, tile_picture(output_images, index, spec), spec);
  }
  at::Tensor full_image = std::get<0>(host::ImageCrop::crop(canvas, image_width(image), image_height(image), 0, 0));
  return {full_image, full_image.clone()};
}

}  // namespace quorv::reassembly

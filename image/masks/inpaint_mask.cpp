#include <ATen/ATen.h>

#include <limits>
#include <string>
#include <tuple>
#include <utility>

#include "host/checked_math.h"
#include "host/errors.h"
#include "host/memory.h"
#include "image/masks/masks.h"

namespace quorv::masks {
namespace {

// (before, after): whether the tile at `index` of `count` faces a neighbour on
// each side. The first tile faces only the next one, even when it is also the last.
std::pair<bool, bool> facing_neighbours(int64_t index, int64_t count) {
  if (index == 0) return {false, true};
  if (index != std::numeric_limits<int64_t>::max() && index + 1 == count) return {true, false};
  return {true, true};
}

OverlayMaskOptions feathered_sides(const GridSpec& tile, int64_t cols_qty, int64_t rows_qty) {
  OverlayMaskOptions options;
  std::tie(options.feather_left, options.feather_right) = facing_neighbours(tile.col, cols_qty);
  std::tie(options.feather_top, options.feather_bottom) = facing_neighbours(tile.row, rows_qty);
  return options;
}

at::Tensor inpaint_mask(const NodeState& SELF, int64_t H, int64_t W, const OverlayMaskOptions& sides,
                        double inpaint_blur_margin, double inpaint_shift, double inpaint_border_margin,
                        double inpaint_max) {
  // Without Kontext the main mask is kept while the guard's pair is built,
  // then the two and their minimum are alive together: three masks.
  const bool kontext = SELF.PARAMS.FLUX_Kontext.get();
  require_memory_for(overlay_mask_bytes(W, H, kontext ? 2 : 3),
                     "get_inpaint_mask: an inpaint mask of " + std::to_string(W) + "x" + std::to_string(H));
  OverlayMaskOptions main = sides;
  main.composite_blur_margin = 0;
  main.inpaint_border_margin = inpaint_border_margin;
  main.inpaint_blur_margin = inpaint_blur_margin;
  main.inpaint_shift = inpaint_shift;
  main.inpaint_max = inpaint_max;
  at::Tensor mask = create_custom_tile_overlay_mask(SELF, W, H, main).inpaint_mask;
  if (kontext) return mask;

  // Holds back the outermost pixels of a shared edge even when the margins above are small.
  OverlayMaskOptions guard = sides;
  guard.composite_blur_margin = 0;
  guard.inpaint_border_margin = 1;
  guard.inpaint_blur_margin = 3;
  guard.inpaint_shift = 0;
  guard.inpaint_max = 0.8;
  const at::Tensor prevent_broken_borders = create_custom_tile_overlay_mask(SELF, W, H, guard).inpaint_mask;
  return at::minimum(mask, prevent_broken_borders);
}

}  // namespace

at::Tensor get_inpaint_mask(const NodeState& SELF, int64_t latent_image_H, int64_t latent_image_W,
                            int64_t cols_qty, int64_t rows_qty, const GridSpec& grid_specs_index,
                            double inpaint_blur_margin, double inpaint_shift, double inpaint_border_margin,
                            std::optional<double> Upscale_Detailer, double inpaint_max) {
  if (Upscale_Detailer && *Upscale_Detailer != 0 && *Upscale_Detailer != 1) {
    const double factor = *Upscale_Detailer;
    inpaint_blur_margin = static_cast<double>(
        truncate_to_int(inpaint_blur_margin * factor, "get_inpaint_mask: inpaint_blur_margin * Upscale_Detailer"));
    inpaint_shift = static_cast<double>(
        truncate_to_int(inpaint_shift * factor, "get_inpaint_mask: inpaint_shift * Upscale_Detailer"));
    inpaint_border_margin = static_cast<double>(truncate_to_int(
        inpaint_border_margin * factor, "get_inpaint_mask: inpaint_border_margin * Upscale_Detailer"));
    latent_image_H = truncate_to_int(static_cast<double>(grid_specs_index.height_inc) * factor,
                                     "get_inpaint_mask: height_inc * Upscale_Detailer");
    latent_image_W = truncate_to_int(static_cast<double>(grid_specs_index.width_inc) * factor,
                                     "get_inpaint_mask: width_inc * Upscale_Detailer");
  }
  return inpaint_mask(SELF, latent_image_H, latent_image_W, feathered_sides(grid_specs_index, cols_qty, rows_qty),
                      inpaint_blur_margin, inpaint_shift, inpaint_border_margin, inpaint_max);
}

}  // namespace quorv::masks

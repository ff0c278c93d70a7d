#include <ATen/ATen.h>

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

#include "host/checked_math.h"
#include "host/errors.h"
#include "host/memory.h"
#include "host/nodes/image_composite_masked.h"
#include "host/nodes/image_crop.h"
#include "image/masks/masks.h"
#include "image/module.h"
#include "image/previews/previews.h"
#include "image/reassembly/reassembly.h"

namespace quorv::reassembly {
namespace {

using host::ImageCompositeMasked;

// A paste mask and the bands where it is below 1: rows [0, band_rows) and
// columns [0, band_cols). Everything else is exactly 1, where pasting is a
// plain copy (blending with weight 1 gives the source exactly).
struct PasteMask {
  at::Tensor mask;  // [1, 1, h, w]
  int64_t band_rows;
  int64_t band_cols;
};

PasteMask paste_mask(const at::Tensor& mask) {
  const int64_t h = mask.size(2), w = mask.size(3);
  if (h == 0 || w == 0) return {mask, h, 0};
  const at::Tensor plane = mask.view({h, w});
  // The last column and the last row see only the row and the column profile.
  const at::Tensor low_rows = (plane.select(1, w - 1) < 1).nonzero();
  const at::Tensor low_cols = (plane.select(0, h - 1) < 1).nonzero();
  int64_t rows = low_rows.numel() ? low_rows.max().item<int64_t>() + 1 : 0;
  int64_t cols = low_cols.numel() ? low_cols.max().item<int64_t>() + 1 : 0;
  if (!plane.narrow(0, rows, h - rows).narrow(1, cols, w - cols).eq(1).all().item<bool>()) rows = h;
  return {mask, rows, cols};
}

// The three masks of one tile size, and their combinations, built on first use.
class MaskSet {
 public:
  MaskSet(const NodeState& SELF, int64_t width, int64_t height, int64_t feather_mask, int64_t crop_margin) {
    masks::OverlayMaskOptions options;
    options.composite_blur_margin = static_cast<double>(feather_mask);
    options.inpaint_border_margin = static_cast<double>(crop_margin);
    options.inpaint_max = 0;
    first_ = masks::create_custom_tile_overlay_mask(SELF, width, height, options).compositing_mask;
    options.feather_left = true;
    vertical_ = masks::create_custom_tile_overlay_mask(SELF, width, height, options).compositing_mask;
    options.feather_left = false;
    options.feather_top = true;
    horizontal_ = masks::create_custom_tile_overlay_mask(SELF, width, height, options).compositing_mask;
  }

  // Feathered on the left unless in column 0, on the top unless in row 0.
  const PasteMask& for_position(int64_t row, int64_t col) {
    const int kind = (row == 0 ? 0 : 2) + (col == 0 ? 0 : 1);
    std::optional<PasteMask>& slot = by_kind_[kind];
    if (!slot) {
      const at::Tensor& left = col == 0 ? first_ : vertical_;
      slot = paste_mask(row == 0 ? left : at::minimum(left, horizontal_));
    }
    return *slot;
  }

 private:
  at::Tensor first_, vertical_, horizontal_;
  std::optional<PasteMask> by_kind_[4];
};

// canvas <- tile pasted at (x, y) through the mask, in place: blended bands, copied interior.
void paste(at::Tensor& canvas, const at::Tensor& tile, int64_t x, int64_t y, const PasteMask& m) {
  const int64_t h = tile.size(1), w = tile.size(2);
  if (m.mask.size(2) != h || m.mask.size(3) != w) {
    ImageCompositeMasked::composite_into(canvas, tile, x, y, m.mask);
    return;
  }
  const int64_t rows = m.band_rows, cols = m.band_cols;
  if (rows > 0) ImageCompositeMasked::composite_into(canvas, tile.narrow(1, 0, rows), x, y, m.mask.narrow(2, 0, rows));
  if (rows == h) return;
  const at::Tensor below = tile.narrow(1, rows, h - rows);
  if (cols > 0)
    ImageCompositeMasked::composite_into(canvas, below.narrow(2, 0, cols), x, y + rows,
                                         m.mask.narrow(2, rows, h - rows).narrow(3, 0, cols));
  if (cols < w) ImageCompositeMasked::composite_into(canvas, below.narrow(2, cols, w - cols), x + cols, y + rows, std::nullopt);
}

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
  const bool grid_overlay = SELF.PARAMS.Debug_Grid_Overlay.get();
  const auto services = module_services();

  require_memory_for(rebuild_bytes(grid_spec_tile, output_images, output_image),
                     "rebuild_tiles: rebuilding a " + shape_string(output_image) + " picture");
  // One private canvas, pasted into in place: no full-size copy per tile.
  at::Tensor canvas = output_image.clone(at::MemoryFormat::Contiguous);
  std::map<std::pair<int64_t, int64_t>, MaskSet> mask_sets;
  for (size_t index = 0; index < grid_spec_tile.size(); ++index) {
    const GridSpec& spec = grid_spec_tile[index];
    services->log("Rebuilding tile " + std::to_string(index + 1) + "/" + std::to_string(total), std::nullopt,
                  std::nullopt, "Refining " + iteration + " Grid_spec " + to_string(spec));
    const int64_t tile_width = spec.width_inc, tile_height = spec.height_inc;
    auto set = mask_sets.find({tile_width, tile_height});
    if (set == mask_sets.end())
      set = mask_sets.emplace(std::make_pair(tile_width, tile_height),
                              MaskSet(SELF, tile_width, tile_height, feather_mask, crop_margin)).first;
    at::Tensor picture = tile_picture(output_images, index, spec);
    if (grid_overlay) picture = previews::overlay_tile_grid(picture, SELF.SIZE);
    paste(canvas, picture, spec.x_start, spec.y_start, set->second.for_position(spec.row, spec.col));
  }
  at::Tensor full_image = std::get<0>(host::ImageCrop::crop(canvas, image_width(image), image_height(image), 0, 0));
  return {full_image, full_image.clone()};
}

}  // namespace quorv::reassembly

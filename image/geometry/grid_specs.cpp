#include <ATen/ATen.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "host/checked_math.h"
#include "host/errors.h"
#include "host/image_tensor.h"
#include "image/geometry/geometry.h"
#include "image/masks/masks.h"
#include "image/module.h"

namespace quorv::geometry {
namespace {

std::string sizes_text(int64_t picture_W, int64_t picture_H, int64_t tile_W, int64_t tile_H) {
  return "picture " + std::to_string(picture_W) + " x " + std::to_string(picture_H) + ", tile " +
         std::to_string(tile_W) + " x " + std::to_string(tile_H);
}

std::vector<int64_t> positions(int64_t count) {
  std::vector<int64_t> list(static_cast<size_t>(count));
  std::iota(list.begin(), list.end(), int64_t{0});
  return list;
}

struct Placement {
  int64_t start;
  int64_t size;
};

// The first tile starts at 0 even when it is also the last; the last one ends at the picture's edge.
Placement place(int64_t index, int64_t count, int64_t step, int64_t picture, int64_t tile) {
  if (index == 0) return {0, tile};
  if (index == count - 1) return {picture - tile, tile};
  return {index * step, tile};
}

std::vector<GridSpec> walk_grid(size_t rows, size_t cols, const masks::MaskConstants& constants,
                                int64_t image_W, int64_t image_H, int64_t tile_W, int64_t tile_H) {
  std::vector<GridSpec> tiles;
  tiles.reserve(rows * cols);
  for (size_t r = 0; r < rows; ++r) {
    for (size_t c = 0; c < cols; ++c) {
      const int64_t row_index = static_cast<int64_t>(r), col_index = static_cast<int64_t>(c);
      // Numbered with the row count, not the column count: numbers repeat or skip unless the grid is square.
      const int64_t order = row_index * static_cast<int64_t>(rows) + col_index;
      const Placement x = place(col_index, constants.cols_qty, constants.tile_grid_W, image_W, tile_W);
      const Placement y = place(row_index, constants.rows_qty, constants.tile_grid_H, image_H, tile_H);
      tiles.push_back({row_index, col_index, order, x.start, y.start, x.size, y.size});
    }
  }
  return tiles;
}

}  // namespace

std::vector<GridSpec> get_tiled_grid_specs(NodeState& SELF, const at::Tensor& image) {
  require_image(image, "get_tiled_grid_specs image");
  const int64_t image_W = image_width(image), image_H = image_height(image);

  const masks::MaskConstants constants = masks::set_mask_constants(SELF);
  const int64_t last_FullH = SELF.SIZE.fullH.get();
  const int64_t last_FullW = SELF.SIZE.fullW.get();
  // The mask constants above saw the margins unclamped; every later stage sees them clamped.
  SELF.SIZE.inpaint_border_margin = std::max<int64_t>(SELF.SIZE.inpaint_border_margin.get(), 0);
  SELF.SIZE.composite_blur_margin = std::max<int64_t>(SELF.SIZE.composite_blur_margin.get(), 0);

  const int64_t rows_qty = constants.rows_qty, cols_qty = constants.cols_qty;
  const int64_t step_W = constants.tile_grid_W, step_H = constants.tile_grid_H;
  const std::string sizes = sizes_text(image_W, image_H, last_FullW, last_FullH);
  if (rows_qty < 1)
    throw ValueError("get_tiled_grid_specs: rows_qty must be at least 1, got " + std::to_string(rows_qty) +
                     " for " + sizes);
  if (cols_qty < 1)
    throw ValueError("get_tiled_grid_specs: cols_qty must be at least 1, got " + std::to_string(cols_qty) +
                     " for " + sizes);
  if (rows_qty >= 2 && image_H < last_FullH)
    throw ValueError("get_tiled_grid_specs: " + std::to_string(rows_qty) +
                     " rows need a picture at least one tile high, got " + sizes);
  if (cols_qty >= 2 && image_W < last_FullW)
    throw ValueError("get_tiled_grid_specs: " + std::to_string(cols_qty) +
                     " columns need a picture at least one tile wide, got " + sizes);
  // With a step shorter than the band, the rows before the edge-aligned last one can run off the picture.
  if (rows_qty >= 3 &&
      checked_add(checked_mul(rows_qty - 2, step_H, "grid rows"), last_FullH, "grid rows") > image_H)
    throw ValueError("get_tiled_grid_specs: row " + std::to_string(rows_qty - 2) + " at step " +
                     std::to_string(step_H) + " must end inside the picture, got " + sizes);
  if (cols_qty >= 3 &&
      checked_add(checked_mul(cols_qty - 2, step_W, "grid columns"), last_FullW, "grid columns") > image_W)
    throw ValueError("get_tiled_grid_specs: column " + std::to_string(cols_qty - 2) + " at step " +
                     std::to_string(step_W) + " must end inside the picture, got " + sizes);
  const int64_t last_order =
      checked_add(checked_mul(rows_qty - 1, rows_qty, "grid order"), cols_qty - 1, "grid order");
  if (last_order >= kSegmentOrder)
    throw ValueError("get_tiled_grid_specs: tile numbers must stay below " + std::to_string(kSegmentOrder) +
                     ", got " + std::to_string(last_order) + " for " + std::to_string(rows_qty) + " rows x " +
                     std::to_string(cols_qty) + " columns (" + sizes + ")");

  const auto services = module_services();
  const std::vector<int64_t> tile_order_rows = services->reorder_edges_to_center(positions(rows_qty));
  if (tile_order_rows.size() != static_cast<size_t>(rows_qty))
    throw ValueError("get_tiled_grid_specs: reorder_edges_to_center must keep the " + std::to_string(rows_qty) +
                     " rows, got " + std::to_string(tile_order_rows.size()));
  const std::vector<int64_t> tile_order_cols = services->reorder_edges_to_center(positions(cols_qty));
  if (tile_order_cols.size() != static_cast<size_t>(cols_qty))
    throw ValueError("get_tiled_grid_specs: reorder_edges_to_center must keep the " + std::to_string(cols_qty) +
                     " columns, got " + std::to_string(tile_order_cols.size()));

  return walk_grid(tile_order_rows.size(), tile_order_cols.size(), constants, image_W, image_H, last_FullW,
                   last_FullH);
}

}  // namespace quorv::geometry

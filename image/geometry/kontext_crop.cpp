#include <ATen/ATen.h>

#include <string>
#include <vector>

#include "host/checked_math.h"
#include "host/errors.h"
#include "host/image_tensor.h"
#include "image/geometry/geometry.h"

namespace quorv::geometry {
namespace {

// Where the tile has neighbours along one axis: is there a border before it, and how many borders in all.
struct Borders {
  int64_t before;
  int64_t count;
};

// The first position counts as first even when it is also the last.
Borders borders_at(int64_t index, int64_t qty) {
  if (index == 0) return {0, 1};
  if (index == qty - 1) return {1, 1};
  return {1, 2};
}

}  // namespace

KontextCrop get_kontext_crop(const NodeState& SELF, const at::Tensor& tile_to_process,
                             const std::vector<GridSpec>& grid_specs, int64_t index) {
  require_image(tile_to_process, "get_kontext_crop tile_to_process");
  require_index(index, grid_specs.size(), "get_kontext_crop grid_specs");
  const GridSpec& record = grid_specs.at(static_cast<size_t>(index));
  const int64_t cols_qty = SELF.PARAMS.cols_qty.get();
  const int64_t rows_qty = SELF.PARAMS.rows_qty.get();
  const int64_t crop_kontext = SELF.SIZE.inpaint_border_margin.get();
  const int64_t tile_W = image_width(tile_to_process), tile_H = image_height(tile_to_process);
  const Borders across = borders_at(record.col, cols_qty), down = borders_at(record.row, rows_qty);
  if (crop_kontext < 0)
    throw ValueError("get_kontext_crop: SIZE.inpaint_border_margin must not be negative, got " +
                     std::to_string(crop_kontext));
  if (checked_mul(crop_kontext, across.count, "get_kontext_crop width") > tile_W)
    throw ValueError("get_kontext_crop: " + std::to_string(across.count) + " x SIZE.inpaint_border_margin " +
                     std::to_string(crop_kontext) + " must fit the tile width, got " + std::to_string(tile_W));
  if (checked_mul(crop_kontext, down.count, "get_kontext_crop height") > tile_H)
    throw ValueError("get_kontext_crop: " + std::to_string(down.count) + " x SIZE.inpaint_border_margin " +
                     std::to_string(crop_kontext) + " must fit the tile height, got " + std::to_string(tile_H));

  return {tile_W - crop_kontext * across.count, tile_H - crop_kontext * down.count, crop_kontext * across.before,
          crop_kontext * down.before};
}

}  // namespace quorv::geometry

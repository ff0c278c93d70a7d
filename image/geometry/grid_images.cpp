#include <ATen/ATen.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/errors.h"
#include "host/image_tensor.h"
#include "image/geometry/geometry.h"

namespace quorv::geometry {
namespace {

std::string negative_field_message(const char* field, size_t index, const GridSpec& record) {
  return std::string("get_grid_images: grid_specs[") + std::to_string(index) + "] must have a non-negative " +
         field + ", got " + to_string(record);
}

// [start, start + length) along `axis`, cut at the picture's edge.
at::Tensor clipped(const at::Tensor& t, int64_t axis, int64_t start, int64_t length) {
  const int64_t first = std::min(start, t.size(axis));
  return t.narrow(axis, first, std::min(length, t.size(axis) - first));
}

std::vector<at::Tensor> cut_tiles(const at::Tensor& image, const std::vector<GridSpec>& grid_specs) {
  std::vector<at::Tensor> tiles;
  tiles.reserve(grid_specs.size());
  for (const GridSpec& record : grid_specs)
    tiles.push_back(
        clipped(clipped(image, 1, record.y_start, record.height_inc), 2, record.x_start, record.width_inc));
  return tiles;
}

}  // namespace

std::vector<at::Tensor> get_grid_images(const at::Tensor& image, const std::vector<GridSpec>& grid_specs) {
  require_image(image, "get_grid_images image");
  for (size_t i = 0; i < grid_specs.size(); ++i) {
    const GridSpec& record = grid_specs[i];
    if (record.x_start < 0) throw ValueError(negative_field_message("x_start", i, record));
    if (record.y_start < 0) throw ValueError(negative_field_message("y_start", i, record));
    if (record.width_inc < 0) throw ValueError(negative_field_message("width_inc", i, record));
    if (record.height_inc < 0) throw ValueError(negative_field_message("height_inc", i, record));
  }
  return cut_tiles(image, grid_specs);
}

int64_t find_index(const std::vector<GridSpec>& grid_spec, int64_t x, int64_t y) {
  // x is matched against the row and y against the column, as the host's callers pass them.
  const auto found = std::find_if(grid_spec.begin(), grid_spec.end(),
                                  [&](const GridSpec& record) { return record.row == x && record.col == y; });
  return found == grid_spec.end() ? -1 : static_cast<int64_t>(found - grid_spec.begin());
}

}  // namespace quorv::geometry

#include <ATen/ATen.h>

#include <algorithm>

#include "image/quorv_image.h"
#include "pipeline/upscaler.h"

namespace quorv::pipeline {

namespace {

// Tile numbers from kSegmentOrder on mark segment tiles, so a grid must stay below it.
void require_tile_numbers(const UpscaleOptions& options, NodeState SELF) {
  const masks::MaskConstants constants = Quorv_Image::set_mask_constants(SELF);
  const int64_t last = (constants.rows_qty - 1) * constants.rows_qty + constants.cols_qty - 1;
  if (last >= kSegmentOrder)
    throw SettingsError("a grid of " + std::to_string(constants.rows_qty) + " rows x " +
                     std::to_string(constants.cols_qty) + " columns numbers its tiles up to " + std::to_string(last) +
                     ", past the " + std::to_string(kSegmentOrder - 1) + " tiles a grid may have: choose a larger "
                     "--tile-size than " + tile_size_name(options));
}

// Smallest and largest overlap between neighbouring columns (rows) of the grid as laid.
std::pair<int64_t, int64_t> real_overlaps(const std::vector<GridSpec>& grid, bool across) {
  std::vector<std::pair<int64_t, int64_t>> starts;  // grid column (row) -> start and size
  for (const GridSpec& s : grid)
    if (across ? s.row == 0 : s.col == 0)
      starts.emplace_back(across ? s.x_start : s.y_start, across ? s.width_inc : s.height_inc);
  std::sort(starts.begin(), starts.end());
  std::pair<int64_t, int64_t> range{0, 0};
  for (size_t i = 1; i < starts.size(); ++i) {
    const int64_t overlap = starts[i - 1].first + starts[i - 1].second - starts[i].first;
    range = i == 1 ? std::pair{overlap, overlap}
                   : std::pair{std::min(range.first, overlap), std::max(range.second, overlap)};
  }
  return range;
}


}  // namespace

Plan make_plan(const UpscaleOptions& options, Size input) {
  PictureFit fit = fit_to_picture(options, input);
  Plan plan;
  plan.options = std::move(fit.options);
  plan.notes = std::move(fit.notes);
  plan.input = input;
  plan.enlarged = fit.enlarged;
  plan.working = fit.working;
  plan.uneven_tiles = fit.uneven_tiles;
  // The grid reads only the picture's shape: a zero-stride tensor of that shape allocates nothing.
  const at::Tensor shape = at::zeros({1, 1, 1, 3}).expand({1, plan.working.height, plan.working.width, 3});
  plan.SELF = node_state(plan.options, shape);
  require_tile_numbers(plan.options, plan.SELF);
  plan.grid_specs = Quorv_Image::get_tiled_grid_specs(plan.SELF, shape);
  // Same settings, same values: this only reads back the steps the grid used.
  const masks::MaskConstants constants = Quorv_Image::set_mask_constants(plan.SELF);
  plan.tile_grid_W = constants.tile_grid_W;
  plan.tile_grid_H = constants.tile_grid_H;
  plan.overlap_x = real_overlaps(plan.grid_specs, true);
  plan.overlap_y = real_overlaps(plan.grid_specs, false);
  plan.band = (plan.SELF.SIZE.fullW.get() - plan.SELF.SIZE.actual_inner_tile_sizeW.get()) / 2;
  plan.estimated_peak_bytes = estimated_peak_bytes(plan, 3);
  return plan;
}

}  // namespace quorv::pipeline

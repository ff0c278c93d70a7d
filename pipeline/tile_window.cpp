#include <algorithm>
#include <cstdlib>

#include "host/checked_math.h"

#include "pipeline/upscaler.h"

namespace quorv::pipeline {

std::vector<size_t> last_readers(const std::vector<GridSpec>& grid) {
  std::vector<size_t> last(grid.size());
  for (size_t j = 0; j < grid.size(); ++j) {
    last[j] = j;
    const GridSpec& a = grid[j];
    for (size_t k = j + 1; k < grid.size(); ++k) {
      const GridSpec& b = grid[k];
      const bool beside = std::abs(a.row - b.row) <= 1 && std::abs(a.col - b.col) <= 1;
      const bool shared = a.x_start < b.x_start + b.width_inc && b.x_start < a.x_start + a.width_inc &&
                          a.y_start < b.y_start + b.height_inc && b.y_start < a.y_start + a.height_inc;
      if (beside || shared) last[j] = k;
    }
  }
  return last;
}

int64_t finished_tiles_peak_bytes(const std::vector<GridSpec>& grid, int64_t channels, bool keep_all) {
  const std::vector<size_t> last = last_readers(grid);
  std::vector<int64_t> freed_after(grid.size(), 0);
  int64_t live = 0, peak = 0;
  for (size_t i = 0; i < grid.size(); ++i) {
    const GridSpec& s = grid[i];
    const int64_t bytes = checked_mul(checked_mul(checked_mul(std::max<int64_t>(s.width_inc, 0),
                                                              std::max<int64_t>(s.height_inc, 0), "tile size"),
                                                  channels, "tile size"),
                                      4, "tile size");
    live = checked_add(live, bytes, "tile sizes");
    peak = std::max(peak, live);
    if (!keep_all) freed_after[last[i]] += bytes;
    live -= freed_after[i];
  }
  return peak;
}

}  // namespace quorv::pipeline

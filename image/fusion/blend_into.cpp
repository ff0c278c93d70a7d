// feather * neighbour + (1 - feather) * area, written into the area.
//
// Fusion weights are mostly exact 0 (keep the tile) or exact 1 (take the
// neighbour), with short ramps between. The weight map is read once on the
// host. Float pictures in memory go through the row kernel; others are split
// into runs of identical rows or columns, and only the ramps are mixed with
// tensor operations; copies and skips need no arithmetic at all.
#include <ATen/ATen.h>

#include <vector>

#include "image/fusion/fusion_internal.h"

namespace quorv::fusion::detail {
namespace {

// The weight's values on the host as [rows, cols]: axis 1 of the weight
// tensor runs down the rows, axis 2 along the columns.
class HostWeight {
 public:
  explicit HostWeight(const at::Tensor& feather)
      : values_(feather.to(at::kCPU, at::kFloat).contiguous()),
        cols_(feather.size(2)),
        data_(values_.data_ptr<float>()) {}

  float at(int64_t row, int64_t col) const { return data_[row * cols_ + col]; }
  const float* data() const { return data_; }

 private:
  at::Tensor values_;
  int64_t cols_;
  const float* data_;
};

// A rectangle of the weight map, in the map's own rows and columns.
struct Region {
  int64_t row, rows, col, cols;
};

bool rows_equal(const HostWeight& w, const Region& r, int64_t a, int64_t b) {
  for (int64_t c = r.col; c < r.col + r.cols; ++c)
    if (w.at(a, c) != w.at(b, c)) return false;
  return true;
}

bool cols_equal(const HostWeight& w, const Region& r, int64_t a, int64_t b) {
  for (int64_t row = r.row; row < r.row + r.rows; ++row)
    if (w.at(row, a) != w.at(row, b)) return false;
  return true;
}

// Pieces of an axis (1 rows, 2 columns) of a region: runs of two or more
// identical slices, and the stretches between them, as (start, length) relative to the region.
std::vector<std::pair<int64_t, int64_t>> pieces(const HostWeight& w, const Region& r, int64_t axis) {
  const int64_t n = axis == 1 ? r.rows : r.cols;
  auto same_as_next = [&](int64_t i) {
    return axis == 1 ? rows_equal(w, r, r.row + i, r.row + i + 1) : cols_equal(w, r, r.col + i, r.col + i + 1);
  };
  std::vector<std::pair<int64_t, int64_t>> out;
  int64_t stretch = -1;
  for (int64_t i = 0; i < n;) {
    int64_t j = i;
    while (j + 1 < n && same_as_next(j)) ++j;
    if (j > i) {
      if (stretch >= 0) out.emplace_back(stretch, i - stretch), stretch = -1;
      out.emplace_back(i, j + 1 - i);
    } else if (stretch < 0) {
      stretch = i;
    }
    i = j + 1;
  }
  if (stretch >= 0) out.emplace_back(stretch, n - stretch);
  return out;
}

void mix(at::Tensor& area, const at::Tensor& neighbour_area, const at::Tensor& feather) {
  // A column profile broadcast over the channels too: giving it the channel
  // axis (a few hundred values) lets the arithmetic run over whole rows at once.
  const at::Tensor w = feather.size(1) == 1 && feather.size(2) > 1 && feather.size(3) == 1
                           ? feather.expand({1, 1, feather.size(2), area.size(3)}).contiguous()
                           : feather;
  // (1 - w) * area, then + neighbour * w: the blend's two products and one sum, with no temporary.
  area.mul_(1 - w).addcmul_(neighbour_area, w);
}

// `feather` is the device weight narrowed to the region, already shaped to
// broadcast over `area` (a collapsed axis has size 1).
void blend_region(at::Tensor area, const at::Tensor& neighbour_area, at::Tensor feather, const HostWeight& host,
                  Region r) {
  // A run of identical rows (columns) needs one row (column) of weights.
  if (r.rows > 1) {
    bool uniform = true;
    for (int64_t i = 1; i < r.rows && uniform; ++i) uniform = rows_equal(host, r, r.row, r.row + i);
    if (uniform) feather = feather.narrow(1, 0, 1), r.rows = 1;
  }
  if (r.cols > 1) {
    bool uniform = true;
    for (int64_t i = 1; i < r.cols && uniform; ++i) uniform = cols_equal(host, r, r.col, r.col + i);
    if (uniform) feather = feather.narrow(2, 0, 1), r.cols = 1;
  }
  if (r.rows == 1 && r.cols == 1) {
    const float value = host.at(r.row, r.col);
    if (value == 1.f) area.copy_(neighbour_area);
    if (value == 0.f || value == 1.f) return;
  }
  for (const int64_t axis : {1, 2}) {
    if ((axis == 1 ? r.rows : r.cols) <= 1) continue;
    const auto split = pieces(host, r, axis);
    if (split.size() == 1) continue;
    for (const auto& [start, length] : split) {
      Region part = r;
      (axis == 1 ? part.row : part.col) += start;
      (axis == 1 ? part.rows : part.cols) = length;
      blend_region(area.narrow(axis, start, length), neighbour_area.narrow(axis, start, length),
                   feather.narrow(axis, start, length), host, part);
    }
    return;
  }
  mix(area, neighbour_area, feather);
}

}  // namespace

void blend_into(at::Tensor area, const at::Tensor& neighbour_area, const at::Tensor& feather) {
  if (!feather.defined()) {
    area.copy_(neighbour_area);
    return;
  }
  if (feather.dim() != 4 || feather.size(0) != 1 || feather.size(3) != 1) {  // not a map of rows and columns
    mix(area, neighbour_area, feather);
    return;
  }
  const HostWeight host(feather);
  if (blend_into_cpu(area, neighbour_area, host.data(), feather.size(1), feather.size(2))) return;
  blend_region(std::move(area), neighbour_area, feather, host, {0, feather.size(1), 0, feather.size(2)});
}

}  // namespace quorv::fusion::detail

#include <ATen/ATen.h>

#include <algorithm>
#include <set>
#include <tuple>

#include "host/errors.h"
#include "host/image_tensor.h"
#include "image/measure/measure.h"

namespace quorv::measure {
namespace {

struct Border {
  int64_t line;   // the second of the two pixel lines that meet
  int64_t start;  // extent along the border
  int64_t length;
  bool operator<(const Border& o) const { return std::tie(line, start, length) < std::tie(o.line, o.start, o.length); }
};

// Rows taken at a time: a band of a large picture stays small, so no
// temporary of the picture's size is made, and bands are contiguous.
constexpr int64_t kBand = 64;

// Mean |line - previous line| over [start, start + length) for one border.
// Selecting a row or a column of [B, H, W, C] leaves the extent along it at axis 1.
double border_difference(const at::Tensor& picture, int64_t axis, const Border& b) {
  const at::Tensor line = picture.select(axis, b.line).narrow(1, b.start, b.length).to(at::kDouble);
  const at::Tensor previous = picture.select(axis, b.line - 1).narrow(1, b.start, b.length).to(at::kDouble);
  return (line - previous).abs().mean().item<double>();
}

// Median over all adjacent line pairs of the picture across `axis` (1: rows,
// 2: columns) of their mean absolute difference; sums are kept in double.
double typical_difference(const at::Tensor& picture, int64_t axis) {
  const int64_t b = picture.size(0), h = picture.size(1), w = picture.size(2), c = picture.size(3);
  at::Tensor sums = at::zeros({picture.size(axis) - 1}, picture.options().dtype(at::kDouble));
  for (int64_t start = 0; start < h; start += kBand) {
    if (axis == 2) {
      const at::Tensor band = picture.narrow(1, start, std::min(kBand, h - start));
      const at::Tensor diff = (band.narrow(2, 1, w - 1) - band.narrow(2, 0, w - 1)).abs_();
      // Summing the leading axis of a contiguous [rows, columns, channels] block vectorises.
      // A band's sums stay exact enough in float (64 rows); the bands add up in double.
      sums += diff.reshape({-1, w - 1, c}).sum(0).sum(1).to(at::kDouble);
    } else if (start + 1 < h) {
      // One row past the band, so the pair across the band's lower edge is counted too.
      const at::Tensor band = picture.narrow(1, start, std::min(kBand + 1, h - start));
      const int64_t pairs = band.size(1) - 1;
      const at::Tensor diff = (band.narrow(1, 1, pairs) - band.narrow(1, 0, pairs)).abs_();
      sums.narrow(0, start, pairs) += diff.sum({0, 2, 3}).to(at::kDouble);
    }
  }
  return (sums / static_cast<double>(b * (axis == 2 ? h : w) * c)).median().item<double>();
}

double relative(double value, double typical) { return typical > 0 ? value / typical : (value > 0 ? 1e9 : 1.0); }

}  // namespace

SeamScore seam_score(const at::Tensor& picture, const std::vector<GridSpec>& grid_specs) {
  require_image(picture, "seam_score picture");
  const int64_t h = image_height(picture), w = image_width(picture);
  int64_t last_row = -1, last_col = -1;
  for (const GridSpec& s : grid_specs)
    if (!s.is_segment()) last_row = std::max(last_row, s.row), last_col = std::max(last_col, s.col);

  // Neighbouring tiles share most borders; each is measured once.
  std::set<Border> vertical, horizontal;
  for (const GridSpec& s : grid_specs) {
    if (s.is_segment()) continue;
    const int64_t y0 = std::clamp<int64_t>(s.y_start, 0, h), y1 = std::clamp<int64_t>(s.y_start + s.height_inc, 0, h);
    const int64_t x0 = std::clamp<int64_t>(s.x_start, 0, w), x1 = std::clamp<int64_t>(s.x_start + s.width_inc, 0, w);
    auto add = [](std::set<Border>& borders, int64_t line, int64_t limit, int64_t start, int64_t end) {
      if (line > 0 && line < limit && end > start) borders.insert({line, start, end - start});
    };
    if (s.col > 0) add(vertical, x0, w, y0, y1);
    if (s.col < last_col) add(vertical, x1, w, y0, y1);
    if (s.row > 0) add(horizontal, y0, h, x0, x1);
    if (s.row < last_row) add(horizontal, y1, h, x0, x1);
  }
  SeamScore result{1.0, 1.0, 1.0, static_cast<int64_t>(vertical.size() + horizontal.size())};
  if (result.lines == 0) return result;

  const at::Tensor pic = picture.to(at::kCPU);
  auto mean_relative = [&](const std::set<Border>& borders, int64_t axis) {
    if (borders.empty()) return 1.0;
    double sum = 0;
    for (const Border& b : borders) sum += border_difference(pic, axis, b);
    return relative(sum / static_cast<double>(borders.size()), typical_difference(pic, axis));
  };
  result.vertical = mean_relative(vertical, 2);
  result.horizontal = mean_relative(horizontal, 1);
  result.score = (result.vertical * static_cast<double>(vertical.size()) +
                  result.horizontal * static_cast<double>(horizontal.size())) /
                 static_cast<double>(result.lines);
  return result;
}

}  // namespace quorv::measure

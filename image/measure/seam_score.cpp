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

// Mean |line - previous line| over [start, start + length) for one border.
// Selecting a row or a column of [B, H, W, C] leaves the extent along it at axis 1.
double border_difference(const at::Tensor& picture, int64_t axis, const Border& b) {
  const at::Tensor line = picture.select(axis, b.line).narrow(1, b.start, b.length);
  const at::Tensor previous = picture.select(axis, b.line - 1).narrow(1, b.start, b.length);
  return (line - previous).abs().mean().item<double>();
}

// Median over all adjacent line pairs of the picture across `axis`.
double typical_difference(const at::Tensor& picture, int64_t axis) {
  const int64_t n = picture.size(axis);
  const at::Tensor diff = (picture.narrow(axis, 1, n - 1) - picture.narrow(axis, 0, n - 1)).abs();
  std::vector<int64_t> other_axes;
  for (int64_t d = 0; d < 4; ++d)
    if (d != axis) other_axes.push_back(d);
  return diff.mean(other_axes).median().item<double>();
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

  const at::Tensor pic = picture.to(at::kCPU, at::kDouble);
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

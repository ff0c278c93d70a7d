#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <map>
#include <memory>
#include <vector>

#include "host/errors.h"
#include "host/image_tensor.h"
#include "image/measure/measure.h"
#include "image/measure/measure_internal.h"

namespace quorv::measure {
namespace detail {

// A border with its window: lines lo .. lo + lines - 1 across it.
struct Located {
  SeamBorder border;
  Zone zone;
  int64_t lo = 0, lines = 0;
};

// The reference's run means of every border's window, read ahead.
struct ReferenceWindows {
  std::vector<int64_t> shape;
  at::Tensor weights;
  std::vector<Located> located;
  // Every border's run means, one after the other in one block: border i's
  // start at offsets[i] and end at offsets[i + 1].
  std::unique_ptr<float[]> means;
  std::vector<size_t> offsets;
};

}  // namespace detail

namespace {

using detail::kRun;
using detail::Located;
using detail::Zone;

// One grey level: flat areas neither divide by zero nor blow a tiny step up.
constexpr double kFloor = 1.0 / 255.0;
constexpr int64_t kScales[] = {1, 8, 32};
constexpr int64_t kLargestScale = 32;

// Lines p .. p + count - 1 of a window, all with both bands of a scale inside it.
struct LineRange {
  int64_t first = 0, count = 0;
};

// Context lines on each side of a zone of `zone_lines`: together as many as
// the zone has, so that the largest step among them and the largest in the
// zone are picked from as many lines.
int64_t context_lines(int64_t zone_lines) { return std::max<int64_t>(1, (zone_lines + 1) / 2); }

// Where a scale w looks in a window of `lines` lines whose zone is lines
// f .. e - 1: the zone's lines and the context's, `context` lines on either
// side starting 2w lines off the zone (the maximum over each is taken); only
// lines with both bands inside the window, w <= p <= lines - w.
struct NeededLines {
  LineRange zone, before, after;
};
NeededLines needed_lines(int64_t lines, int64_t f, int64_t e, int64_t w, int64_t context) {
  const int64_t last_usable = lines - w;
  auto range = [&](int64_t from, int64_t last) {
    const int64_t a = std::max(from, w), b = std::min(last, last_usable);
    return b >= a ? LineRange{a, b - a + 1} : LineRange{};
  };
  return {range(f, e - 1), range(f - 2 * w - context + 1, f - 2 * w), range(e - 1 + 2 * w, e - 2 + 2 * w + context)};
}

// How much more visible one border became, at the largest of the scales
// that fit (0 where none does). Its window spans lines lo .. lo + lines - 1
// across it; the zone is lines zone_first .. zone_end - 1 of the window.
// Each run and channel is a profile across the border; a profile's steps
// come from its prefix sums (in double), and r_w(p) averages the ratio of
// the result's step over the reference's across all profiles. `res` and
// `ref` are the two pictures' run means of the window (window_run_means).
double relative_step(const float* res, const float* ref, size_t count, const Zone& zone, int64_t lo, int64_t lines) {
  const auto profiles = static_cast<int64_t>(count) / std::max<int64_t>(1, lines);

  constexpr size_t kScaleCount = std::size(kScales);
  NeededLines needed[kScaleCount];
  for (size_t s = 0; s < kScaleCount; ++s)
    needed[s] = needed_lines(lines, zone.first - lo, zone.end - lo, kScales[s], context_lines(zone.end - zone.first));
  // ratio_sum[s][p]: the ratios at scale s on line p, summed over profiles.
  std::vector<double> ratio_sum(kScaleCount * static_cast<size_t>(lines), 0.0);
  std::vector<double> res_prefix(static_cast<size_t>(lines + 1)), ref_prefix(res_prefix.size());
  for (int64_t k = 0; k < profiles; ++k) {
    const float* a = res + k * lines;
    const float* b = ref + k * lines;
    res_prefix[0] = ref_prefix[0] = 0;
    for (int64_t l = 0; l < lines; ++l) {
      res_prefix[static_cast<size_t>(l + 1)] = res_prefix[static_cast<size_t>(l)] + a[l];
      ref_prefix[static_cast<size_t>(l + 1)] = ref_prefix[static_cast<size_t>(l)] + b[l];
    }
    for (size_t s = 0; s < kScaleCount; ++s) {
      const int64_t w = kScales[s];
      const double floor = static_cast<double>(w) * kFloor;
      double* sum = ratio_sum.data() + s * static_cast<size_t>(lines);
      // The step between the bands' means, times w (which the ratio cancels):
      // (P[p+w] - P[p]) - (P[p] - P[p-w]), floored.
      auto step = [w](const std::vector<double>& prefix, int64_t p) {
        const auto at = [&](int64_t i) { return prefix[static_cast<size_t>(i)]; };
        return std::abs(at(p + w) - 2 * at(p) + at(p - w));
      };
      for (const LineRange& r : {needed[s].zone, needed[s].before, needed[s].after})
        for (int64_t p = r.first; p < r.first + r.count; ++p)
          sum[p] += (step(res_prefix, p) + floor) / (step(ref_prefix, p) + floor);
    }
  }

  double relative = 0.0;
  for (size_t s = 0; s < kScaleCount; ++s) {
    const NeededLines& n = needed[s];
    if (n.zone.count == 0 || n.before.count + n.after.count == 0) continue;
    const double* sum = ratio_sum.data() + s * static_cast<size_t>(lines);
    double zone_max = 0.0, context_max = 0.0;
    for (int64_t p = n.zone.first; p < n.zone.first + n.zone.count; ++p) zone_max = std::max(zone_max, sum[p]);
    for (const LineRange& r : {n.before, n.after})
      for (int64_t p = r.first; p < r.first + r.count; ++p) context_max = std::max(context_max, sum[p]);
    // Both are sums over the same profiles, which the ratio cancels.
    relative = std::max(relative, zone_max / context_max);
  }
  return relative;
}

// Every left and top edge the rebuild shows, with the overlap it shares with its neighbour.
std::vector<Located> borders_of(const std::vector<GridSpec>& grid, int64_t h, int64_t w) {
  std::map<std::pair<int64_t, int64_t>, int64_t> at_position;
  std::map<int64_t, int64_t> row_start, col_start;
  for (size_t i = 0; i < grid.size(); ++i) {
    const GridSpec& s = grid[i];
    if (s.is_segment()) continue;
    at_position.emplace(std::make_pair(s.row, s.col), static_cast<int64_t>(i));
    auto first = [](std::map<int64_t, int64_t>& m, int64_t key, int64_t value) {
      const auto [it, fresh] = m.emplace(key, value);
      if (!fresh) it->second = std::min(it->second, value);
    };
    first(row_start, s.row, s.y_start);
    first(col_start, s.col, s.x_start);
  }
  auto next_start = [](const std::map<int64_t, int64_t>& m, int64_t key, int64_t fallback) {
    const auto it = m.find(key + 1);
    return it == m.end() ? fallback : std::min(fallback, it->second);
  };
  std::vector<Located> found;
  for (const auto& [position, index] : at_position) {
    const GridSpec& s = grid[static_cast<size_t>(index)];
    const int64_t x0 = std::clamp<int64_t>(s.x_start, 0, w), y0 = std::clamp<int64_t>(s.y_start, 0, h);
    const int64_t x1 = std::clamp<int64_t>(next_start(col_start, s.col, s.x_start + s.width_inc), x0, w);
    const int64_t y1 = std::clamp<int64_t>(next_start(row_start, s.row, s.y_start + s.height_inc), y0, h);
    const auto left = at_position.find({s.row, s.col - 1});
    if (left != at_position.end() && x0 > 0 && x0 < w && y1 > y0) {
      const GridSpec& n = grid[static_cast<size_t>(left->second)];
      const int64_t end = std::clamp<int64_t>(n.x_start + n.width_inc, x0 + 1, std::min(w, s.x_start + s.width_inc));
      found.push_back({{index, left->second, true, x0, y0, y1 - y0, end - x0, 1.0}, {true, y0, y1 - y0, x0, end}});
    }
    const auto top = at_position.find({s.row - 1, s.col});
    if (top != at_position.end() && y0 > 0 && y0 < h && x1 > x0) {
      const GridSpec& n = grid[static_cast<size_t>(top->second)];
      const int64_t end = std::clamp<int64_t>(n.y_start + n.height_inc, y0 + 1, std::min(h, s.y_start + s.height_inc));
      found.push_back({{index, top->second, false, y0, x0, x1 - x0, end - y0, 1.0}, {false, x0, x1 - x0, y0, end}});
    }
  }
  return found;
}

// The visibility weights on the CPU, checked against the pictures; undefined when none are given.
at::Tensor visibility_weights(const at::Tensor& visibility, const at::Tensor& result) {
  if (!visibility.defined()) return visibility;
  require_image(visibility, "seam_visibility visibility");
  if ((visibility.size(0) != 1 && visibility.size(0) != result.size(0)) || visibility.size(1) != result.size(1) ||
      visibility.size(2) != result.size(2) || visibility.size(3) != 1)
    throw ValueError("seam_visibility: visibility must be [1 or " + std::to_string(result.size(0)) + ", " +
                     std::to_string(result.size(1)) + ", " + std::to_string(result.size(2)) + ", 1], got " +
                     shape_string(visibility));
  const at::Tensor weights = visibility.to(at::kCPU);
  // An alpha is usually in 0 .. 1 already, and as large as a third of the picture: not copied then.
  const bool in_range = weights.scalar_type() == at::kFloat && weights.numel() > 0 &&
                        weights.min().item<float>() >= 0.0f && weights.max().item<float>() <= 1.0f;
  if (in_range) return weights;
  return weights.clamp(0.0, 1.0);
}

void require_pair(const at::Tensor& result, const at::Tensor& reference) {
  require_image(result, "seam_visibility result");
  require_image(reference, "seam_visibility reference");
  if (result.sizes() != reference.sizes())
    throw ValueError("seam_visibility: result " + shape_string(result) + " and reference " +
                     shape_string(reference) + " must have the same shape");
}

// The borders to measure in a picture of `shape`, each with its window:
// room for the largest scale's bands around its context, on both sides.
std::vector<Located> located_borders(const at::IntArrayRef shape, const std::vector<GridSpec>& grid_specs) {
  const int64_t h = shape[1], w = shape[2];
  if (h == 0 || w == 0 || shape[0] == 0 || shape[3] == 0) return {};
  std::vector<Located> located = borders_of(grid_specs, h, w);
  for (Located& b : located) {
    const int64_t extent = b.zone.vertical ? w : h;
    const int64_t margin = 3 * kLargestScale + context_lines(b.zone.end - b.zone.first);
    b.lo = std::max<int64_t>(0, b.zone.first - margin);
    b.lines = std::min<int64_t>(extent, b.zone.end + margin) - b.lo;
  }
  return located;
}

// How many run means a border's window has in a picture of `shape`.
size_t window_mean_count(at::IntArrayRef shape, const Located& b) {
  const int64_t runs = std::max<int64_t>(1, b.zone.along_length / kRun);
  return static_cast<size_t>(shape[0] * runs * shape[3] * b.lines);
}

// One picture's run means of a border's window: [B, runs, C, lines] packed.
std::vector<float> window_means(const at::Tensor& picture, const at::Tensor& weights, const Located& b) {
  std::vector<float> means(window_mean_count(picture.sizes(), b));
  detail::window_run_means(picture, weights, b.zone, b.lo, b.lines, means.data());
  return means;
}

// Each border's figure from the result's window and the reference's
// (`reference_means(i, scratch)`, which may fill `scratch`), side by side
// on the cores; each reads only its own window.
template <class ReferenceMeans>
std::vector<SeamBorder> measured(const at::Tensor& result, const at::Tensor& weights, std::vector<Located> located,
                                 const ReferenceMeans& reference_means) {
  const at::Tensor res = result.to(at::kCPU);
  at::parallel_for(0, static_cast<int64_t>(located.size()), 1, [&](int64_t begin, int64_t end) {
    for (int64_t i = begin; i < end; ++i) {
      Located& b = located[static_cast<size_t>(i)];
      const std::vector<float> mine = window_means(res, weights, b);
      std::vector<float> scratch;
      const float* theirs = reference_means(i, scratch);
      const double relative = relative_step(mine.data(), theirs, mine.size(), b.zone, b.lo, b.lines);
      b.border.relative = relative > 0 ? relative : 1.0;
    }
  });
  std::vector<SeamBorder> borders;
  for (const Located& b : located) borders.push_back(b.border);
  return borders;
}

}  // namespace

std::vector<SeamBorder> seam_borders(const at::Tensor& result, const at::Tensor& reference,
                                     const std::vector<GridSpec>& grid_specs, const at::Tensor& visibility) {
  require_pair(result, reference);
  const at::Tensor weights = visibility_weights(visibility, result);
  const at::Tensor ref = reference.to(at::kCPU);
  std::vector<Located> located = located_borders(result.sizes(), grid_specs);
  return measured(result, weights, located,
                  [&](int64_t i, std::vector<float>& scratch) {
                    scratch = window_means(ref, weights, located[static_cast<size_t>(i)]);
                    return scratch.data();
                  });
}

SeamReference seam_reference(const at::Tensor& reference, const std::vector<GridSpec>& grid_specs,
                             const at::Tensor& visibility) {
  require_image(reference, "seam_visibility reference");
  auto windows = std::make_shared<detail::ReferenceWindows>();
  windows->shape = reference.sizes().vec();
  windows->weights = visibility_weights(visibility, reference);
  windows->located = located_borders(reference.sizes(), grid_specs);
  windows->offsets.assign(1, 0);
  for (const Located& b : windows->located)
    windows->offsets.push_back(windows->offsets.back() + window_mean_count(reference.sizes(), b));
  // One block, left unset: each border's pass writes all of its own part.
  windows->means.reset(new float[windows->offsets.back()]);
  const at::Tensor ref = reference.to(at::kCPU);
  at::parallel_for(0, static_cast<int64_t>(windows->located.size()), 1, [&](int64_t begin, int64_t end) {
    for (auto i = static_cast<size_t>(begin); i < static_cast<size_t>(end); ++i) {
      const Located& b = windows->located[i];
      float* out = windows->means.get() + windows->offsets[i];
      detail::window_run_means(ref, windows->weights, b.zone, b.lo, b.lines, out);
    }
  });
  return {std::move(windows)};
}

std::vector<SeamBorder> seam_borders(const at::Tensor& result, const SeamReference& reference) {
  if (!reference.windows) throw ValueError("seam_visibility: the reference was never read (use seam_reference)");
  const detail::ReferenceWindows& ref = *reference.windows;
  require_image(result, "seam_visibility result");
  if (result.sizes() != at::IntArrayRef(ref.shape))
    throw ValueError("seam_visibility: result " + shape_string(result) + " and reference [" +
                     std::to_string(ref.shape.at(0)) + ", " + std::to_string(ref.shape.at(1)) + ", " +
                     std::to_string(ref.shape.at(2)) + ", " + std::to_string(ref.shape.at(3)) +
                     "] must have the same shape");
  return measured(result, ref.weights, ref.located,
                  [&](int64_t i, std::vector<float>&) -> const float* {
                    return ref.means.get() + ref.offsets[static_cast<size_t>(i)];
                  });
}

SeamVisibility seam_visibility(const at::Tensor& result, const SeamReference& reference) {
  return seam_summary(seam_borders(result, reference));
}

SeamVisibility seam_summary(const std::vector<SeamBorder>& borders) {
  SeamVisibility out;
  double sum[2] = {0, 0}, length[2] = {0, 0};
  for (const SeamBorder& b : borders) {
    const int kind = b.vertical ? 0 : 1;
    sum[kind] += b.relative * static_cast<double>(b.length);
    length[kind] += static_cast<double>(b.length);
    if (out.borders == 0 || b.relative > out.worst.relative) out.worst = b;
    ++out.borders;
  }
  if (out.borders == 0) return out;
  out.vertical = length[0] > 0 ? sum[0] / length[0] : 1.0;
  out.horizontal = length[1] > 0 ? sum[1] / length[1] : 1.0;
  out.relative = (sum[0] + sum[1]) / (length[0] + length[1]);
  return out;
}

SeamVisibility seam_visibility(const at::Tensor& result, const at::Tensor& reference,
                               const std::vector<GridSpec>& grid_specs, const at::Tensor& visibility) {
  return seam_summary(seam_borders(result, reference, grid_specs, visibility));
}

}  // namespace quorv::measure

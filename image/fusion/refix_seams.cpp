#include <ATen/ATen.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "host/errors.h"
#include "host/image_tensor.h"
#include "image/fusion/fusion.h"

namespace quorv::fusion {
namespace {

// The step the processing put across a border is told apart from texture by
// averaging the result's excess over the reference along the border, over 33
// pixels, and not across it: a hard step stays a hard step, so that it can be
// taken out whole (a box across too left most of an unfused border's step).
constexpr int64_t kAlong = 33;
// Lines on each side of the overlap over which the step is spread: one and a
// half overlaps (96 for the default 64), at least 48. Wider windows lower the
// figures a little more but revert more of the processing's detail that runs
// along the border.
constexpr int64_t kMinReach = 48;
// 0 -> 1 with zero slope at both ends.
at::Tensor smoothstep(const at::Tensor& t) { return t * t * (3 - 2 * t); }

// The mean of kAlong pixels along the border (axis 2 of [B, C, along, across])
// centred on each pixel, fewer where the border ends: a box filter from
// running sums (in double, so that long borders lose nothing), one pass
// whatever its length. A pooling window of 33 pixels costs 33 reads a pixel.
at::Tensor mean_along(const at::Tensor& excess) {
  const int64_t n = excess.size(2), half = kAlong / 2;
  std::vector<int64_t> sizes = excess.sizes().vec();
  sizes[2] = n + 1;
  at::Tensor sums = at::zeros(sizes, excess.options().dtype(at::kDouble));
  at::Tensor running = sums.narrow(2, 1, n);
  at::cumsum_out(running, excess.to(at::kDouble), 2);
  const at::TensorOptions index_options = excess.options().dtype(at::kLong);
  const at::Tensor i = at::arange(n, index_options);
  const at::Tensor lo = (i - half).clamp_min_(0), hi = (i + half + 1).clamp_max_(n);
  const at::Tensor count = (hi - lo).to(at::kDouble).view({1, 1, n, 1});
  return sums.index_select(2, hi).sub_(sums.index_select(2, lo)).div_(count).to(excess.scalar_type());
}

// Re-blends one border of `picture` (changed in place): within the window
// the excess of the result over the reference, averaged along the border, is
// replaced by a smooth step from its value at the window's first line to its
// value at the last; what varies along the border (texture) is kept.
void reblend(at::Tensor& picture, const at::Tensor& reference, const measure::SeamBorder& b) {
  const int64_t across_axis = b.vertical ? 2 : 1, along_axis = b.vertical ? 1 : 2;
  const int64_t extent = picture.size(across_axis);
  const int64_t reach = std::max(kMinReach, b.overlap * 3 / 2);
  const int64_t first = std::max<int64_t>(0, b.line - reach);
  const int64_t last = std::min(extent, b.line + b.overlap + reach);
  const int64_t lines = last - first;
  if (lines < 2 || b.length < 1) return;
  auto window = [&](const at::Tensor& p) {
    return p.narrow(along_axis, b.start, b.length).narrow(across_axis, first, lines);
  };
  at::Tensor target = window(picture);
  // As [B, C, along, across] for pooling.
  auto planar = [&](const at::Tensor& p) { return (b.vertical ? p : p.transpose(1, 2)).permute({0, 3, 1, 2}); };
  const at::Tensor excess = planar(target) - planar(window(reference));
  const at::Tensor low = mean_along(excess);
  const at::TensorOptions options = low.options();
  const at::Tensor s = smoothstep(at::arange(lines, options) / static_cast<double>(lines - 1));
  const at::Tensor from = low.narrow(3, 0, 1), to = low.narrow(3, lines - 1, 1);
  const at::Tensor smooth = from + (to - from) * s;
  // No fade along the border: the correction follows the step itself, so it
  // is nothing where the step ends (a fade left part of a corner's step).
  at::Tensor correction = (smooth - low).permute({0, 2, 3, 1});  // [B, along, across, C]
  if (!b.vertical) correction = correction.transpose(1, 2);
  target.add_(correction).clamp_(0, 1);
}

}  // namespace

SeamRefix refix_seams(const at::Tensor& result, const at::Tensor& reference, const std::vector<GridSpec>& grid_specs,
                      double threshold, const at::Tensor& visibility) {
  if (!std::isfinite(threshold) || threshold < 1.0)
    throw ValueError("refix_seams: threshold must be a number of at least 1.0, got " + std::to_string(threshold));
  const std::vector<measure::SeamBorder> before = measure::seam_borders(result, reference, grid_specs, visibility);
  SeamRefix out;
  out.before = measure::seam_summary(before);
  std::vector<size_t> chosen;
  for (size_t i = 0; i < before.size(); ++i)
    if (before[i].relative > threshold) chosen.push_back(i);
  if (chosen.empty()) {
    out.picture = result;
    out.after = out.before;
    return out;
  }
  // Windows of nearby borders overlap, and a re-blend can raise a border the
  // processing left even: those that rose are left out of a second try from
  // the result as given, and a picture whose figure rose is not kept at all.
  const at::Tensor ref = reference.to(result.device(), result.scalar_type());
  at::Tensor picture;
  std::vector<measure::SeamBorder> after;
  auto reblend_all = [&] {
    picture.reset();  // a second try's copy takes the first one's place, not a third canvas
    picture = result.clone();
    for (const size_t i : chosen) reblend(picture, ref, before[i]);
    after = measure::seam_borders(picture, reference, grid_specs, visibility);
  };
  reblend_all();
  std::vector<size_t> lowered;
  for (const size_t i : chosen)
    if (i < after.size() && after[i].relative < before[i].relative) lowered.push_back(i);
  if (lowered.size() < chosen.size()) {
    chosen = std::move(lowered);
    if (!chosen.empty()) reblend_all();
  }
  if (!chosen.empty()) out.after = measure::seam_summary(after);
  if (chosen.empty() || !(out.after.relative <= out.before.relative)) {
    out.after = out.before;
    out.picture = result;
    return out;
  }
  for (const size_t i : chosen) out.borders.push_back({before[i], i < after.size() ? after[i].relative : 0.0});
  out.picture = picture;
  return out;
}

}  // namespace quorv::fusion

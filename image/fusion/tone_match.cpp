#include <ATen/ATen.h>

#include <algorithm>
#include <cmath>
#include <optional>

#include "host/errors.h"
#include "host/image_tensor.h"
#include "image/fusion/fusion.h"
#include "image/fusion/fusion_internal.h"

namespace quorv::fusion {
namespace {

// Fewer shared pixels than a 16 x 16 block say too little about a tone.
constexpr int64_t kMinOverlap = 256;
// Gains beyond these are a different picture, not a tone shift.
constexpr double kMinGain = 0.5, kMaxGain = 2.0;
// Below one grey level of spread a side is flat: its gain is undefined.
constexpr double kFlat = 1.0 / 255.0;
// Below this correlation the two sides show different content, and a gain
// from their spreads would flatten or exaggerate the tile.
constexpr double kMinCorrelation = 0.5;
// A correction must lower the overlaps' mean difference by this fraction to be worth applying.
constexpr double kMinImprovement = 0.01;

struct Rect {
  int64_t x0, y0, x1, y1;
};

Rect rect_of(const GridSpec& s) { return {s.x_start, s.y_start, s.x_start + s.width_inc, s.y_start + s.height_inc}; }

// The shared pixels of the tile and one finished neighbour, both as views.
struct Overlap {
  at::Tensor tile, neighbour;
};

enum class Side { edge, open, finished };

struct Beside {
  Side side = Side::edge;
  int64_t overlap = 0;  // lines shared with the tile
};

// The shared pixels of every overlap side by side, one row per pixel of the
// batch: [pixels, C] for the tile and for the neighbours, contiguous on the CPU.
struct Pairs {
  at::Tensor tile, neighbour;
};

Pairs pairs_of(const std::vector<Overlap>& overlaps, int64_t channels) {
  std::vector<at::Tensor> t, n;
  // Every other row and column: a tone is told as well by a quarter of the pixels.
  auto sampled = [&](const at::Tensor& p) { return p.slice(1, 0, p.size(1), 2).slice(2, 0, p.size(2), 2).reshape({-1, channels}); };
  for (const Overlap& o : overlaps) {
    t.push_back(sampled(o.tile));
    n.push_back(sampled(o.neighbour));
  }
  return {at::cat(t).to(at::kCPU).contiguous(), at::cat(n).to(at::kCPU).contiguous()};
}

// Per channel, in double: the means and spreads of both sides, their
// covariance, and the mean |tile - neighbour| over every value. Plain loops:
// as tensor reductions over [pixels, 3] each took longer than the whole
// correction of the tile.
struct Moments {
  std::vector<double> mean_t, mean_n, spread_t, spread_n, covariance;
  double difference = 0;
};

Moments moments_of(const Pairs& pairs, int64_t channels) {
  const int64_t count = pairs.tile.size(0);
  const float* t = pairs.tile.data_ptr<float>();
  const float* n = pairs.neighbour.data_ptr<float>();
  const auto c_count = static_cast<size_t>(channels);
  Moments m{std::vector<double>(c_count), std::vector<double>(c_count), std::vector<double>(c_count),
            std::vector<double>(c_count), std::vector<double>(c_count), 0};
  for (int64_t i = 0; i < count; ++i)
    for (size_t c = 0; c < c_count; ++c) {
      const double a = t[static_cast<size_t>(i) * c_count + c], b = n[static_cast<size_t>(i) * c_count + c];
      m.mean_t[c] += a, m.mean_n[c] += b, m.difference += std::abs(a - b);
    }
  const double samples = static_cast<double>(count);
  for (size_t c = 0; c < c_count; ++c) m.mean_t[c] /= samples, m.mean_n[c] /= samples;
  m.difference /= samples * static_cast<double>(channels);
  // Centred sums in a second pass: no cancellation on tiles of nearly one tone.
  for (int64_t i = 0; i < count; ++i)
    for (size_t c = 0; c < c_count; ++c) {
      const double a = t[static_cast<size_t>(i) * c_count + c] - m.mean_t[c];
      const double b = n[static_cast<size_t>(i) * c_count + c] - m.mean_n[c];
      m.spread_t[c] += a * a, m.spread_n[c] += b * b, m.covariance[c] += a * b;
    }
  for (size_t c = 0; c < c_count; ++c) {
    m.spread_t[c] = std::sqrt(m.spread_t[c] / samples);
    m.spread_n[c] = std::sqrt(m.spread_n[c] / samples);
    m.covariance[c] /= samples;
  }
  return m;
}

// Mean |clamp(gain t + offset) - n| over every value of the pairs.
double difference_after(const Pairs& pairs, const std::vector<double>& gain, const std::vector<double>& offset) {
  const int64_t count = pairs.tile.size(0);
  const auto channels = gain.size();
  const float* t = pairs.tile.data_ptr<float>();
  const float* n = pairs.neighbour.data_ptr<float>();
  double sum = 0;
  for (int64_t i = 0; i < count; ++i)
    for (size_t c = 0; c < channels; ++c) {
      const double v = std::clamp(gain[c] * t[static_cast<size_t>(i) * channels + c] + offset[c], 0.0, 1.0);
      sum += std::abs(v - n[static_cast<size_t>(i) * channels + c]);
    }
  return sum / (static_cast<double>(count) * static_cast<double>(channels));
}

// Weight of the correction along one axis of `length` lines: full beside a
// finished neighbour, fading to none towards one still to come.
std::vector<float> fade(const Beside& first, const Beside& last, int64_t length) {
  const bool f = first.side == Side::finished, l = last.side == Side::finished;
  const auto n = static_cast<size_t>(length);
  if (f && l) return std::vector<float>(n, 1.f);
  if (!f && !l) return std::vector<float>(n, 0.f);
  const Beside& near = f ? first : last;
  const Beside& far = f ? last : first;
  if (far.side == Side::edge) return std::vector<float>(n, 1.f);
  // From the finished side: 1 through its overlap, then linear to 0 at the far
  // edge. Ending the ramp where the open neighbour's overlap begins would put
  // a hard step there when the two overlaps meet.
  const int64_t start = std::clamp<int64_t>(near.overlap, 0, length - 1);
  const int64_t end = std::max(start + 1, length - 1);
  std::vector<float> falling(n);
  for (int64_t x = 0; x < length; ++x) {
    const float v = (static_cast<float>(end) - static_cast<float>(x)) / static_cast<float>(end - start);
    falling[static_cast<size_t>(f ? x : length - 1 - x)] = std::clamp(v, 0.f, 1.f);
  }
  return falling;
}

// 1 - fade: how much of the tile stays uncorrected along one axis.
std::vector<float> keep_of(std::vector<float> fade) {
  for (float& v : fade) v = 1.f - v;
  return fade;
}

// The correction with tensor operations, for pictures the row kernel does not take.
void apply_tone(const at::Tensor& tile, at::Tensor& out, const std::vector<float>& gain,
                const std::vector<float>& offset, const std::vector<float>& keep_y, const std::vector<float>& keep_x) {
  if (detail::apply_tone_cpu(tile, out, gain, offset, keep_y, keep_x)) return;
  const at::TensorOptions options = tile.options();
  const int64_t h = tile.size(1), w = tile.size(2);
  const at::Tensor g = at::tensor(gain).to(options), o = at::tensor(offset).to(options);
  const at::Tensor ky = at::tensor(keep_y).to(options), kx = at::tensor(keep_x).to(options);
  const at::Tensor weight = 1 - ky.view({1, h, 1, 1}) * kx.view({1, 1, w, 1});
  out.copy_(tile.addcmul(weight, (tile * (g - 1)).add_(o)).clamp_(0, 1));
}

ToneMatch skipped(const at::Tensor& tile, std::string reason, int64_t channels) {
  ToneMatch m;
  m.tile = tile;
  m.reason = std::move(reason);
  m.gain.assign(static_cast<size_t>(channels), 1.0);
  m.offset.assign(static_cast<size_t>(channels), 0.0);
  return m;
}

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3g", v);
  return text;
}

}  // namespace

namespace {

// The tone match, written into a new tile or, `in_place`, into `tile`.
ToneMatch match_tone(const at::Tensor& tile, const std::vector<GridSpec>& grid_specs, int64_t index,
                     const std::vector<OptionalImage>& finished, bool in_place) {
  require_image(tile, "match_tile_tone tile");
  require_index(index, grid_specs.size(), "grid_specs");
  const GridSpec& spec = grid_specs[static_cast<size_t>(index)];
  const int64_t batch = tile.size(0), h = tile.size(1), w = tile.size(2), channels = tile.size(3);
  if (h != spec.height_inc || w != spec.width_inc)
    throw ValueError("match_tile_tone: tile " + shape_string(tile) + " does not have the size of its grid spec " +
                     to_string(spec));
  if (spec.is_segment()) return skipped(tile, "segment tile", channels);

  // Finished tiles that share pixels with this one, and what lies beside each side.
  const Rect own = rect_of(spec);
  std::vector<Overlap> overlaps;
  Beside left, right, top, bottom;
  ToneMatch result;
  for (size_t j = 0; j < grid_specs.size(); ++j) {
    const GridSpec& other = grid_specs[j];
    if (static_cast<int64_t>(j) == index || other.is_segment()) continue;
    const bool done = j < finished.size() && finished[j].has_value();
    const Rect r = rect_of(other);
    const int64_t x0 = std::max(own.x0, r.x0), x1 = std::min(own.x1, r.x1);
    const int64_t y0 = std::max(own.y0, r.y0), y1 = std::min(own.y1, r.y1);
    const Side side = done ? Side::finished : Side::open;
    if (other.row == spec.row && other.col == spec.col - 1) left = {side, own.x0 < r.x1 ? r.x1 - own.x0 : 0};
    if (other.row == spec.row && other.col == spec.col + 1) right = {side, r.x0 < own.x1 ? own.x1 - r.x0 : 0};
    if (other.col == spec.col && other.row == spec.row - 1) top = {side, own.y0 < r.y1 ? r.y1 - own.y0 : 0};
    if (other.col == spec.col && other.row == spec.row + 1) bottom = {side, r.y0 < own.y1 ? own.y1 - r.y0 : 0};
    if (!done || x1 <= x0 || y1 <= y0) continue;
    const at::Tensor& picture = *finished[j];
    require_image(picture, "match_tile_tone finished tile");
    if (picture.size(0) != batch || picture.size(3) != channels || picture.size(1) != other.height_inc ||
        picture.size(2) != other.width_inc)
      throw ValueError("match_tile_tone: finished tile " + std::to_string(j) + " is " + shape_string(picture) +
                       ", expected [" + std::to_string(batch) + ", " + std::to_string(other.height_inc) + ", " +
                       std::to_string(other.width_inc) + ", " + std::to_string(channels) + "] for the tile " +
                       shape_string(tile));
    overlaps.push_back({tile.narrow(1, y0 - own.y0, y1 - y0).narrow(2, x0 - own.x0, x1 - x0),
                        picture.narrow(1, y0 - r.y0, y1 - y0).narrow(2, x0 - r.x0, x1 - x0).to(tile.device())});
    ++result.neighbours;
    result.overlap_pixels += (x1 - x0) * (y1 - y0);
  }
  if (overlaps.empty()) return skipped(tile, "no finished neighbour", channels);
  const bool beside = left.side == Side::finished || right.side == Side::finished || top.side == Side::finished ||
                      bottom.side == Side::finished;
  if (!beside) return skipped(tile, "finished neighbours only at the corners", channels);
  if (result.overlap_pixels < kMinOverlap)
    return skipped(tile, "overlap too small (" + std::to_string(result.overlap_pixels) + " pixels)", channels);

  // Mean and spread of each side per channel; the gain maps one spread onto the other.
  const Pairs pairs = pairs_of(overlaps, channels);
  const Moments s = moments_of(pairs, channels);
  std::vector<double> gain(static_cast<size_t>(channels)), offset(static_cast<size_t>(channels));
  for (size_t c = 0; c < static_cast<size_t>(channels); ++c) {
    const double st = s.spread_t[c], sn = s.spread_n[c];
    const double correlation = st > 0 && sn > 0 ? s.covariance[c] / (st * sn) : 0;
    double g = 1;
    if (st >= kFlat && sn >= kFlat && correlation >= kMinCorrelation) g = sn / st;
    if (!(g >= kMinGain && g <= kMaxGain))
      return skipped(tile, "unstable fit (gain " + number(g) + " in channel " + std::to_string(c) + ")", channels);
    gain[c] = g;
    offset[c] = s.mean_n[c] - g * s.mean_t[c];
  }
  result.error_before = s.difference;
  result.error_after = difference_after(pairs, gain, offset);
  if (!(result.error_after < result.error_before * (1 - kMinImprovement))) {
    ToneMatch none = skipped(tile, "no closer to the neighbours (mean difference " + number(result.error_before * 255) +
                                       " grey levels)", channels);
    none.neighbours = result.neighbours;
    none.overlap_pixels = result.overlap_pixels;
    none.error_before = none.error_after = result.error_before;
    return none;
  }

  // The correction's weight: 1 - (1 - fx)(1 - fy), full along every finished side.
  const std::vector<float> gain32(gain.begin(), gain.end()), offset32(offset.begin(), offset.end());
  result.tile = in_place ? tile : at::empty_like(tile, at::MemoryFormat::Contiguous);
  apply_tone(tile, result.tile, gain32, offset32, keep_of(fade(top, bottom, h)), keep_of(fade(left, right, w)));
  result.applied = true;
  result.reason = "matched to " + std::to_string(result.neighbours) + " neighbour" + (result.neighbours > 1 ? "s" : "");
  result.gain = std::move(gain);
  result.offset = std::move(offset);
  return result;
}

}  // namespace

ToneMatch match_tile_tone(const at::Tensor& tile, const std::vector<GridSpec>& grid_specs, int64_t index,
                          const std::vector<OptionalImage>& finished) {
  return match_tone(tile, grid_specs, index, finished, false);
}

ToneMatch match_tile_tone_in_place(at::Tensor& tile, const std::vector<GridSpec>& grid_specs, int64_t index,
                                   const std::vector<OptionalImage>& finished) {
  return match_tone(tile, grid_specs, index, finished, true);
}

}  // namespace quorv::fusion

#include <ATen/ATen.h>

#include <algorithm>
#include <array>
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
  int64_t y = 0, x = 0;  // where the tile's view begins in the tile
};

enum class Side { edge, open, finished };

struct Beside {
  Side side = Side::edge;
  int64_t overlap = 0;  // lines shared with the tile
};

// The shared pixels of every overlap side by side, one row per pixel of the
// batch: [pixels, C] for the tile and for the neighbours, on the CPU.
struct Pairs {
  std::vector<float> tile, neighbour;
  int64_t values() const { return static_cast<int64_t>(tile.size()); }  // pixels x channels
};

Pairs pairs_of(const std::vector<Overlap>& overlaps) {
  Pairs pairs;
  // Every other row and column: a tone is told as well by a quarter of the pixels.
  for (const Overlap& o : overlaps) {
    detail::append_every_other_pixel(o.tile.to(at::kCPU), pairs.tile);
    detail::append_every_other_pixel(o.neighbour.to(at::kCPU), pairs.neighbour);
  }
  return pairs;
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
  const int64_t count = pairs.values() / channels;
  const float* t = pairs.tile.data();
  const float* n = pairs.neighbour.data();
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
  const auto channels = gain.size();
  const int64_t count = pairs.values() / static_cast<int64_t>(channels);
  const float* t = pairs.tile.data();
  const float* n = pairs.neighbour.data();
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

// Lines of a tile or picture along one axis: [lo, hi).
struct Span {
  int64_t lo, hi;
  int64_t size() const { return hi - lo; }
};

// Per position along a side, the mean over `lines` (picture coordinates) of
// `picture` minus `reference` (when defined); both cover `rect` of the
// picture. [B, length, C] double on the CPU.
at::Tensor band_level(const at::Tensor& picture, const at::Tensor& reference, const Rect& rect, bool horizontal,
                      const Span& lines, const Span& along) {
  const int64_t across_axis = horizontal ? 1 : 2, along_axis = horizontal ? 2 : 1;
  const int64_t across_origin = horizontal ? rect.y0 : rect.x0, along_origin = horizontal ? rect.x0 : rect.y0;
  auto cut = [&](const at::Tensor& t) {
    return t.narrow(across_axis, lines.lo - across_origin, lines.size()).narrow(along_axis, along.lo - along_origin, along.size());
  };
  at::Tensor level = detail::mean_across(cut(picture).to(at::kCPU), across_axis);
  if (reference.defined()) level -= detail::mean_across(cut(reference).to(at::kCPU), across_axis);
  return level;
}

// The tile at grid position `j` as it was before processing, checked against its spec.
const at::Tensor& original_of(const std::vector<at::Tensor>& originals, int64_t j, const GridSpec& spec,
                              const at::Tensor& tile) {
  require_index(j, originals.size(), "match_tile_tone originals");
  const at::Tensor& t = originals[static_cast<size_t>(j)];
  require_image(t, "match_tile_tone original");
  if (t.size(0) != tile.size(0) || t.size(3) != tile.size(3) || t.size(1) != spec.height_inc || t.size(2) != spec.width_inc)
    throw ValueError("match_tile_tone: original of tile " + std::to_string(j) + " is " + shape_string(t) +
                     ", expected [" + std::to_string(tile.size(0)) + ", " + std::to_string(spec.height_inc) + ", " +
                     std::to_string(spec.width_inc) + ", " + std::to_string(tile.size(3)) + "]");
  return t;
}

// How far past the overlap both sides' levels are read when the tiles as
// they were before processing are known: past the bands where a tile's mask
// brings the enlarged picture back, so that what is compared is the shift
// each processing made, not the enlarged picture both share at their edges.
constexpr int64_t kBand = kToneMatchReach;

// One finished side of the tile (top, left, bottom, right = slot 0 .. 3) as
// the local evening-out reads it. With `originals`, the level wanted is the
// neighbour's shift from its original just outside the tile, and the tile's
// own is read just past the overlap; without, the two sides' means over the overlap.
detail::SideBand side_band(int slot, const GridSpec& spec, const GridSpec& other, const at::Tensor& neighbour,
                           const at::Tensor& tile, const std::vector<at::Tensor>& originals, int64_t index,
                           int64_t j, bool hold) {
  const bool horizontal = slot % 2 == 0, far = slot >= 2;
  const Rect own = rect_of(spec), r = rect_of(other);
  const Span own_across = horizontal ? Span{own.y0, own.y1} : Span{own.x0, own.x1};
  const Span their_across = horizontal ? Span{r.y0, r.y1} : Span{r.x0, r.x1};
  const Span along = horizontal ? Span{std::max(own.x0, r.x0), std::min(own.x1, r.x1)}
                                : Span{std::max(own.y0, r.y0), std::min(own.y1, r.y1)};
  const Span overlap{std::max(own_across.lo, their_across.lo), std::min(own_across.hi, their_across.hi)};
  Span theirs = overlap, mine = overlap;
  bool shifts = !originals.empty();
  if (shifts) {
    theirs = far ? Span{own_across.hi, std::min(their_across.hi, own_across.hi + kBand)}
                 : Span{std::max(their_across.lo, own_across.lo - kBand), own_across.lo};
    mine = far ? Span{std::max(own_across.lo, overlap.lo - kBand), overlap.lo}
               : Span{overlap.hi, std::min(own_across.hi, overlap.hi + kBand)};
    shifts = theirs.size() > 0 && mine.size() > 0;
    if (!shifts) theirs = mine = overlap;
  }
  const at::Tensor no_reference;
  const at::Tensor& their_original = shifts ? original_of(originals, j, other, tile) : no_reference;
  detail::SideBand band;
  band.horizontal = horizontal;
  band.far_side = far;
  band.hold = hold;
  band.along_start = along.lo - (horizontal ? own.x0 : own.y0);
  band.own_from = mine.lo - own_across.lo;
  band.own_lines = mine.size();
  band.full_lines = far ? own_across.hi - std::min(mine.lo, overlap.lo) : std::max(mine.hi, overlap.hi) - own_across.lo;
  band.target = band_level(neighbour.to(tile.device()), their_original, r, horizontal, theirs, along);
  if (shifts) {
    band.original = original_of(originals, index, spec, tile);
    band.own_reference = band_level(band.original, no_reference, own, horizontal, mine, along);
  }
  return band;
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
                     const std::vector<OptionalImage>& finished, const std::vector<at::Tensor>& originals,
                     bool in_place) {
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
  std::array<std::optional<size_t>, 4> sides;  // the finished neighbour beside the top, left, bottom, right
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
                        picture.narrow(1, y0 - r.y0, y1 - y0).narrow(2, x0 - r.x0, x1 - x0).to(tile.device()),
                        y0 - own.y0, x0 - own.x0});
    // Top, left, bottom, right: the order in which local drifts are evened out.
    const bool same_row = other.row == spec.row, same_col = other.col == spec.col;
    const int slot = same_col && other.row == spec.row - 1   ? 0
                     : same_row && other.col == spec.col - 1 ? 1
                     : same_col && other.row == spec.row + 1 ? 2
                     : same_row && other.col == spec.col + 1 ? 3
                                                             : -1;
    if (slot >= 0)
      sides[static_cast<size_t>(slot)] = j;
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
  const Pairs pairs = pairs_of(overlaps);
  const Moments s = moments_of(pairs, channels);
  std::vector<double> gain(static_cast<size_t>(channels)), offset(static_cast<size_t>(channels));
  std::string unstable;
  for (size_t c = 0; c < static_cast<size_t>(channels); ++c) {
    const double st = s.spread_t[c], sn = s.spread_n[c];
    const double correlation = st > 0 && sn > 0 ? s.covariance[c] / (st * sn) : 0;
    double g = 1;
    if (st >= kFlat && sn >= kFlat && correlation >= kMinCorrelation) g = sn / st;
    if (!(g >= kMinGain && g <= kMaxGain)) {
      unstable = "unstable fit (gain " + number(g) + " in channel " + std::to_string(c) + ")";
      break;
    }
    gain[c] = g;
    offset[c] = s.mean_n[c] - g * s.mean_t[c];
  }
  // Without the originals the overlaps are all there is to go by; with them,
  // each side's shift can still be evened out.
  if (!unstable.empty() && originals.empty()) return skipped(tile, unstable, channels);
  result.error_before = s.difference;
  result.error_after = unstable.empty() ? difference_after(pairs, gain, offset) : s.difference;
  const bool fit_helps = unstable.empty() && result.error_after < result.error_before * (1 - kMinImprovement);

  // What one gain and offset cannot follow (drift along a side, sides that
  // disagree) is evened out after it, side by side; read, and the originals
  // checked, before anything is written.
  const Beside* beside_of[4] = {&top, &left, &bottom, &right};
  std::vector<detail::SideBand> bands;
  for (int slot = 0; slot < 4; ++slot) {
    const auto& j = sides[static_cast<size_t>(slot)];
    const Beside& opposite = *beside_of[(slot + 2) % 4];
    if (j)
      bands.push_back(side_band(slot, spec, grid_specs[*j], *finished[*j], tile, originals, index,
                                static_cast<int64_t>(*j), opposite.side != Side::open));
  }

  // The correction's weight: 1 - (1 - fx)(1 - fy), full along every finished side.
  if (fit_helps) {
    const std::vector<float> gain32(gain.begin(), gain.end()), offset32(offset.begin(), offset.end());
    result.tile = in_place ? tile : at::empty_like(tile, at::MemoryFormat::Contiguous);
    apply_tone(tile, result.tile, gain32, offset32, keep_of(fade(top, bottom, h)), keep_of(fade(left, right, w)));
  } else {
    result.tile = tile;  // copied below only if something is written
    gain.assign(gain.size(), 1.0);
    offset.assign(offset.size(), 0.0);
    result.error_after = result.error_before;
  }
  const at::Tensor evened_tile = detail::even_out_local_tone(result.tile, bands, fit_helps || in_place);
  const bool evened = evened_tile.defined();
  if (evened) {
    result.tile = evened_tile;
    std::vector<Overlap> corrected = overlaps;
    for (Overlap& o : corrected) o.tile = result.tile.narrow(1, o.y, o.tile.size(1)).narrow(2, o.x, o.tile.size(2));
    const std::vector<double> identity_gain(gain.size(), 1.0), no_offset(offset.size(), 0.0);
    result.error_after = difference_after(pairs_of(corrected), identity_gain, no_offset);
  }
  if (!fit_helps && !evened) {
    ToneMatch none = skipped(tile, "no closer to the neighbours (mean difference " + number(result.error_before * 255) +
                                       " grey levels)", channels);
    none.neighbours = result.neighbours;
    none.overlap_pixels = result.overlap_pixels;
    none.error_before = none.error_after = result.error_before;
    return none;
  }

  result.applied = true;
  result.reason = "matched to " + std::to_string(result.neighbours) + " neighbour" + (result.neighbours > 1 ? "s" : "");
  if (!fit_helps) result.reason += " along the sides only" + (unstable.empty() ? "" : " (" + unstable + ")");
  result.gain = std::move(gain);
  result.offset = std::move(offset);
  return result;
}

}  // namespace

ToneMatch match_tile_tone(const at::Tensor& tile, const std::vector<GridSpec>& grid_specs, int64_t index,
                          const std::vector<OptionalImage>& finished, const std::vector<at::Tensor>& originals) {
  return match_tone(tile, grid_specs, index, finished, originals, false);
}

ToneMatch match_tile_tone_in_place(at::Tensor& tile, const std::vector<GridSpec>& grid_specs, int64_t index,
                                   const std::vector<OptionalImage>& finished,
                                   const std::vector<at::Tensor>& originals) {
  return match_tone(tile, grid_specs, index, finished, originals, true);
}

}  // namespace quorv::fusion

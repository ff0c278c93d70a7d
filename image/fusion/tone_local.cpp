// What one gain and offset per channel leave between a tile and its finished
// neighbours: tone that drifts along a side (a neighbour whose own
// correction faded, a curve that is not linear), and two sides that want
// different corrections. Along each finished side the smoothed difference
// between the level wanted and the tile's becomes an offset profile, spread
// into the tile with a weight falling linearly from the side to the far edge:
//
//     top profile T(x), weight wt(y)      tile += wt(y) T(x) + wl(x) L(y) + ...
//     left profile L(y), weight wl(x)
//
// When the tile's original is known, the lines next to the side each get
// their own profile: there the mask's band brings the original back, so the
// tile's shift from it changes line by line, and one offset for all would
// lift the band as much as the repainted middle.
//
// Sides are taken in the order given; each is measured after the earlier
// ones are added, so that where two sides meet the second does not undo the first.
#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include <algorithm>
#include <cmath>

#include "host/errors.h"
#include "image/fusion/fusion_internal.h"

namespace quorv::fusion::detail {
namespace {

// Half the window along a side over which differences are averaged: wide
// enough that texture averages out, narrow enough to follow a drift.
constexpr int64_t kReach = 24;
// Below a quarter of a grey level everywhere, a correction changes nothing one can see.
constexpr double kNegligible = 0.25 / 255.0;

// One side's offset field. For a top or bottom side `across` is the row and
// `along` the column. Lines near_lo .. near_hi - 1 have a profile each; the
// others weight(across) * profile(along).
struct Field {
  bool horizontal = true;
  int64_t batch = 0, along_extent = 0, channels = 0;
  int64_t near_lo = 0, near_hi = 0;
  // In float: a side's near lines are a few MiB, and the tile they are added to is float.
  std::vector<float> near;     // [line - near_lo][B][along][C]
  std::vector<float> weight;   // [across]
  std::vector<float> profile;  // [B][along][C]
};

// 1 over the first `full` lines from the side, then linear to 0 at the far edge.
std::vector<float> falling_weight(int64_t extent, int64_t full, bool far_side) {
  std::vector<float> w(static_cast<size_t>(extent));
  const double start = static_cast<double>(full - 1), end = static_cast<double>(extent - 1);
  for (int64_t i = 0; i < extent; ++i) {
    const double distance = static_cast<double>(far_side ? extent - 1 - i : i);
    const double v = end > start ? std::clamp((end - distance) / (end - start), 0.0, 1.0) : 1.0;
    w[static_cast<size_t>(i)] = static_cast<float>(v);
  }
  return w;
}

// Box mean of radius kReach along one profile [B][n][C], the window shortened
// at the ends, spread over the whole side (past the measured positions
// along_start .. along_start + n - 1, the nearest value) into `out` [B][along_extent][C].
// Returns the largest magnitude written.
double smooth_along(const double* raw, int64_t batch, int64_t n, int64_t channels, int64_t along_start,
                    int64_t along_extent, float* out) {
  double largest = 0;
  std::vector<double> running(static_cast<size_t>((n + 1) * channels));
  double* r = running.data();
  for (int64_t b = 0; b < batch; ++b) {
    const double* in = raw + b * n * channels;
    float* to = out + b * along_extent * channels;
    // Each channel's running sum kept in a register: written as r[j + C] = r[j] + in[j],
    // the loop reads back what it has just stored, and stalls on every element.
    for (int64_t c = 0; c < channels; ++c) {
      double sum = 0;
      r[c] = 0;
      for (int64_t i = 0; i < n; ++i) r[(i + 1) * channels + c] = sum += in[i * channels + c];
    }
    float* o = to + along_start * channels;
    // Where the window fits whole, one flat loop over positions and channels;
    // near the ends the window is shortened and each position has its own divisor.
    const int64_t whole_lo = std::min(n, kReach), whole_hi = std::max(whole_lo, n - kReach);
    auto shortened = [&](int64_t i) {
      const int64_t lo = std::max<int64_t>(0, i - kReach), hi = std::min(n, i + kReach + 1);
      const double inverse = 1.0 / static_cast<double>(hi - lo);
      for (int64_t c = 0; c < channels; ++c)
        o[i * channels + c] = static_cast<float>((r[hi * channels + c] - r[lo * channels + c]) * inverse);
    };
    for (int64_t i = 0; i < whole_lo; ++i) shortened(i);
    const double inverse = 1.0 / static_cast<double>(2 * kReach + 1);
    const int64_t ahead = (kReach + 1) * channels, behind = kReach * channels;
    for (int64_t j = whole_lo * channels; j < whole_hi * channels; ++j)
      o[j] = static_cast<float>((r[j + ahead] - r[j - behind]) * inverse);
    for (int64_t i = whole_hi; i < n; ++i) shortened(i);
    float most = 0;
    for (int64_t j = 0; j < n * channels; ++j) most = std::max(most, std::abs(o[j]));
    largest = std::max(largest, static_cast<double>(most));
    for (int64_t pos = 0; pos < along_start; ++pos)
      std::copy_n(to + along_start * channels, channels, to + pos * channels);
    for (int64_t pos = along_start + n; pos < along_extent; ++pos)
      std::copy_n(to + (along_start + n - 1) * channels, channels, to + pos * channels);
  }
  return largest;
}

// Adds `scale` times what field `f` adds along one line of side `s`'s frame
// (line `across`, positions along_start .. along_start + n - 1) to `out` [B][n][C].
void add_field_line(const Field& f, bool horizontal, int64_t across, int64_t along_start, int64_t n, double scale,
                    double* out) {
  const int64_t batch = f.batch, channels = f.channels, width = n * channels;
  for (int64_t b = 0; b < batch; ++b) {
    double* o = out + b * width;
    if (f.horizontal == horizontal) {  // the same frame: one line of the field
      const bool near = across >= f.near_lo && across < f.near_hi;
      const double w = scale * (near ? 1.0 : f.weight[static_cast<size_t>(across)]);
      const float* p = (near ? f.near.data() + ((across - f.near_lo) * batch + b) * f.along_extent * channels
                              : f.profile.data() + b * f.along_extent * channels) +
                        along_start * channels;
      if (w != 0)
        for (int64_t j = 0; j < width; ++j) o[j] += w * p[j];
      continue;
    }
    // Across each other: the field's line is our position along, its position along our line.
    const float* far = f.profile.data() + (b * f.along_extent + across) * channels;
    for (int64_t a = 0; a < n; ++a) {
      const int64_t line = along_start + a;
      const bool near = line >= f.near_lo && line < f.near_hi;
      const double w = scale * (near ? 1.0 : f.weight[static_cast<size_t>(line)]);
      const float* p =
          near ? f.near.data() + (((line - f.near_lo) * batch + b) * f.along_extent + across) * channels : far;
      for (int64_t c = 0; c < channels; ++c) o[a * channels + c] += w * p[c];
    }
  }
}

// target [B, n, C] less `level` (the same shape; both double, contiguous, on
// the CPU) less what the earlier fields already add, averaged over lines
// `first` .. `first + count - 1` across.
std::vector<double> less_earlier(const at::Tensor& target, const at::Tensor& level, const std::vector<Field>& fields,
                                 bool horizontal, int64_t first, int64_t count, int64_t along_start) {
  const int64_t n = target.size(1), block = target.numel();
  std::vector<double> earlier(static_cast<size_t>(block));
  for (const Field& f : fields)
    for (int64_t across = first; across < first + count; ++across)
      add_field_line(f, horizontal, across, along_start, n, 1.0 / static_cast<double>(count), earlier.data());
  const double* want = target.data_ptr<double>();
  const double* is = level.data_ptr<double>();
  for (int64_t j = 0; j < block; ++j) earlier[static_cast<size_t>(j)] = want[j] - is[j] - earlier[static_cast<size_t>(j)];
  return earlier;
}

// tile += sum of the fields, clamped to 0 .. 1 when `clamp`, one row at a time.
void add_fields_cpu(at::Tensor& tile, const std::vector<Field>& fields, bool clamp) {
  const int64_t batch = tile.size(0), rows = tile.size(1), cols = tile.size(2), channels = tile.size(3);
  const int64_t width = cols * channels;
  float* data = tile.data_ptr<float>();
  at::parallel_for(0, batch * rows, 64, [&](int64_t begin, int64_t end) {
    std::vector<float> add(static_cast<size_t>(width));
    float* a = add.data();
    for (int64_t line = begin; line < end; ++line) {
      const int64_t b = line / rows, y = line % rows;
      std::fill(add.begin(), add.end(), 0.f);
      for (const Field& f : fields) {
        if (f.horizontal) {  // one profile for the whole row
          const bool near = y >= f.near_lo && y < f.near_hi;
          const float w = near ? 1.f : f.weight[static_cast<size_t>(y)];
          if (w == 0) continue;
          const float* p = near ? f.near.data() + ((y - f.near_lo) * batch + b) * width : f.profile.data() + b * width;
          for (int64_t j = 0; j < width; ++j) a[j] += w * p[j];
          continue;
        }
        // weight(x) L(y) outside the near columns, each near column its own value.
        const float* far = f.profile.data() + (b * rows + y) * channels;
        const float* weight = f.weight.data();
        auto add_far = [&](int64_t x0, int64_t x1) {
          if (channels == 3) {  // the common case, unrolled: a loop of unknown length per pixel costs more than the add
            const float f0 = far[0], f1 = far[1], f2 = far[2];
            for (int64_t x = x0; x < x1; ++x) {
              const float w = weight[x];
              a[3 * x] += w * f0, a[3 * x + 1] += w * f1, a[3 * x + 2] += w * f2;
            }
            return;
          }
          for (int64_t x = x0; x < x1; ++x)
            for (int64_t c = 0; c < channels; ++c) a[x * channels + c] += weight[x] * far[c];
        };
        const int64_t lo = std::clamp<int64_t>(f.near_lo, 0, cols), hi = std::clamp<int64_t>(f.near_hi, lo, cols);
        add_far(0, lo);
        add_far(hi, cols);
        for (int64_t x = lo; x < hi; ++x) {
          const float* p = f.near.data() + (((x - f.near_lo) * batch + b) * rows + y) * channels;
          for (int64_t c = 0; c < channels; ++c) a[x * channels + c] += p[c];
        }
      }
      float* row = data + b * tile.stride(0) + y * tile.stride(1);
      for (int64_t j = 0; j < width; ++j) {
        const float v = row[j] + a[j];
        row[j] = !clamp ? v : v < 0.f ? 0.f : v > 1.f ? 1.f : v;
      }
    }
  });
}

// The same through a field of the tile's size, for pictures the row loop does not take.
void add_fields(at::Tensor& tile, const std::vector<Field>& fields) {
  const int64_t batch = tile.size(0), rows = tile.size(1), cols = tile.size(2), channels = tile.size(3);
  at::Tensor field = at::zeros({batch, rows, cols, channels}, tile.options().device(at::kCPU));
  add_fields_cpu(field, fields, false);
  tile.add_(field.to(tile.device())).clamp_(0, 1);
}

}  // namespace

at::Tensor even_out_local_tone(const at::Tensor& tile, const std::vector<SideBand>& sides, bool in_place) {
  const int64_t batch = tile.size(0), rows = tile.size(1), cols = tile.size(2), channels = tile.size(3);
  std::vector<Field> fields;
  double largest = 0;
  for (const SideBand& s : sides) {
    const int64_t along_extent = s.horizontal ? cols : rows, across_extent = s.horizontal ? rows : cols;
    const int64_t length = s.target.defined() && s.target.dim() == 3 ? s.target.size(1) : -1;
    const int64_t full = std::clamp<int64_t>(s.full_lines, 1, across_extent);
    if (length <= 0 || s.target.size(0) != batch || s.target.size(2) != channels || s.along_start < 0 ||
        s.along_start + length > along_extent || s.own_lines <= 0 || s.own_from < 0 ||
        s.own_from + s.own_lines > across_extent ||
        (s.own_reference.defined() && s.own_reference.sizes() != s.target.sizes()) ||
        (s.original.defined() && s.original.sizes() != tile.sizes()))
      throw IndexError("even_out_local_tone: a side's band (target " + shape_string(s.target) + ", lines " +
                       std::to_string(s.own_from) + " + " + std::to_string(s.own_lines) +
                       ") does not fit the tile " + shape_string(tile));
    const int64_t across_axis = s.horizontal ? 1 : 2, along_axis = s.horizontal ? 2 : 1;
    const at::Tensor target = s.target.to(at::kCPU, at::kDouble).contiguous();
    auto cut = [&](const at::Tensor& t, int64_t from, int64_t count) {
      return t.narrow(across_axis, from, count).narrow(along_axis, s.along_start, length);
    };
    Field f;
    f.horizontal = s.horizontal, f.batch = batch, f.along_extent = along_extent, f.channels = channels;
    f.weight = s.hold ? std::vector<float>(static_cast<size_t>(across_extent), 1.f)
                      : falling_weight(across_extent, full, s.far_side);
    f.profile.resize(static_cast<size_t>(batch * along_extent * channels));

    // Past the near lines: the band's mean level as it is now, [B, length, C] in double.
    at::Tensor level = mean_across(cut(tile, s.own_from, s.own_lines).to(at::kCPU), across_axis);
    if (s.own_reference.defined()) level = (level - s.own_reference.to(at::kCPU, at::kDouble)).contiguous();
    const std::vector<double> raw = less_earlier(target, level, fields, s.horizontal, s.own_from, s.own_lines, s.along_start);
    largest = std::max(largest, smooth_along(raw.data(), batch, length, channels, s.along_start, along_extent,
                                             f.profile.data()));

    if (s.original.defined()) {  // the near lines one by one, each [B, length, C]
      f.near_lo = s.far_side ? across_extent - full : 0;
      f.near_hi = f.near_lo + full;
      const std::vector<float> shift =
          band_shift(tile, s.original, s.horizontal, f.near_lo, full, s.along_start, length);
      const double* want = target.data_ptr<double>();
      const int64_t block = batch * length * channels;
      std::vector<double> line(static_cast<size_t>(block));
      f.near.resize(static_cast<size_t>(full * batch * along_extent * channels));
      for (int64_t l = 0; l < full; ++l) {
        std::fill(line.begin(), line.end(), 0.0);
        for (const Field& earlier : fields)
          add_field_line(earlier, s.horizontal, f.near_lo + l, s.along_start, length, 1.0, line.data());
        const float* moved = shift.data() + l * block;
        for (int64_t j = 0; j < block; ++j)
          line[static_cast<size_t>(j)] = want[j] - moved[j] - line[static_cast<size_t>(j)];
        largest = std::max(largest, smooth_along(line.data(), batch, length, channels, s.along_start, along_extent,
                                                 f.near.data() + l * batch * along_extent * channels));
      }
    }
    fields.push_back(std::move(f));
  }
  if (!(largest >= kNegligible)) return {};
  at::Tensor out = in_place ? tile : tile.clone(at::MemoryFormat::Contiguous);
  if (pixels_packed(out))
    add_fields_cpu(out, fields, true);
  else
    add_fields(out, fields);
  return out;
}

}  // namespace quorv::fusion::detail

#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include <algorithm>
#include <map>
#include <tuple>

#include "host/errors.h"
#include "host/image_tensor.h"
#include "image/measure/measure.h"

namespace quorv::measure {
namespace {

// Runs of pixels along a border averaged before the step is taken: long
// enough that texture averages out, short enough to follow a border that
// changes along its length.
constexpr int64_t kRun = 8;
// One grey level: flat areas neither divide by zero nor blow a tiny step up.
constexpr double kFloor = 1.0 / 255.0;
constexpr int64_t kScales[] = {1, 8, 32};
constexpr int64_t kLargestScale = 32;

// Where a border is, in its own frame: `across` counts lines (columns of a
// left edge), `along` the pixels of one line.
struct Zone {
  bool vertical;
  int64_t along_start, along_length;
  int64_t first, end;  // lines first .. end - 1 are the zone
};

// Means of runs of `run` pixels along rows: out[b][r][l][c] averages columns
// x0 + r*run .. x0 + (r+1)*run - 1 of row lo + l. A plain loop over each row:
// a tensor reduction over groups of pixels inside a row, channels
// interleaved, takes ten times as long as reading the row.
at::Tensor row_run_means(const at::Tensor& picture, int64_t x0, int64_t run, int64_t runs, int64_t lo, int64_t lines) {
  const int64_t batch = picture.size(0), channels = picture.size(3);
  at::Tensor out = at::empty({batch, runs, lines, channels}, picture.options());
  const float* src = picture.data_ptr<float>();
  float* dst = out.data_ptr<float>();
  const int64_t sb = picture.stride(0), sy = picture.stride(1), sx = picture.stride(2), sc = picture.stride(3);
  const float scale = 1.0f / static_cast<float>(run);
  for (int64_t b = 0; b < batch; ++b)
    for (int64_t l = 0; l < lines; ++l) {
      const float* row = src + b * sb + (lo + l) * sy + x0 * sx;
      for (int64_t r = 0; r < runs; ++r) {
        float* to = dst + ((b * runs + r) * lines + l) * channels;
        const float* p = row + r * run * sx;
        if (channels == 3 && sc == 1) {  // RGB pixels side by side: three sums at once
          float s0 = 0, s1 = 0, s2 = 0;
          for (int64_t k = 0; k < run; ++k, p += sx) s0 += p[0], s1 += p[1], s2 += p[2];
          to[0] = s0 * scale, to[1] = s1 * scale, to[2] = s2 * scale;
          continue;
        }
        for (int64_t c = 0; c < channels; ++c) {
          float sum = 0;
          for (int64_t k = 0; k < run; ++k) sum += p[k * sx + c * sc];
          to[c] = sum * scale;
        }
      }
    }
  return out;
}

// One picture's window around a border reduced to per-run means:
// [B, runs, lines, C], where lines lo .. hi - 1 run across the border. With
// `visibility` defined, the picture's pixels are weighed by it first.
at::Tensor run_means(const at::Tensor& picture, const at::Tensor& visibility, const Zone& z, int64_t lo, int64_t hi) {
  const int64_t runs = std::max<int64_t>(1, z.along_length / kRun);
  const int64_t used = z.along_length < kRun ? z.along_length : runs * kRun;
  const int64_t batch = picture.size(0), channels = picture.size(3), lines = hi - lo;
  const int64_t row_axis = z.vertical ? 1 : 2, line_axis = z.vertical ? 2 : 1;
  if (lo < 0 || hi > picture.size(line_axis) || z.along_start < 0 || z.along_start + used > picture.size(row_axis))
    throw IndexError("seam_visibility: a border's window lies outside the picture");
  at::Tensor window = picture.narrow(row_axis, z.along_start, used).narrow(line_axis, lo, lines);
  if (visibility.defined())
    window = window * visibility.narrow(row_axis, z.along_start, used).narrow(line_axis, lo, lines);
  if (z.vertical)  // [B, along, lines, C]: runs of rows, whole rows of the window added at once
    return window.reshape({batch, runs, used / runs, lines, channels}).mean(2);
  // [B, lines, along, C]: runs of columns inside each row of the window.
  return row_run_means(window, 0, used / runs, runs, 0, lines);
}

// Borders whose windows have the same shape and the zone at the same place
// in them are measured together, in one set of operations.
struct Shape {
  bool vertical;
  int64_t along_length, lines, zone_first, zone_end;  // zone lines relative to the window
  bool operator<(const Shape& o) const {
    return std::tie(vertical, along_length, lines, zone_first, zone_end) <
           std::tie(o.vertical, o.along_length, o.lines, o.zone_first, o.zone_end);
  }
};

// Lines p .. p + count - 1 of a window, all with both bands of a scale inside it.
struct LineRange {
  int64_t first = 0, count = 0;
};

// Where a scale w looks: the zone's lines (their maximum is taken) and the
// context's, 2w .. 3w lines off either side of the zone (their mean is the
// yardstick); only lines with both bands inside the window, w <= p <= lines - w.
struct NeededLines {
  LineRange zone, before, after;
};
NeededLines needed_lines(const Shape& shape, int64_t w) {
  const int64_t last_usable = shape.lines - w, f = shape.zone_first, e = shape.zone_end;
  auto range = [&](int64_t from, int64_t last) {
    const int64_t a = std::max(from, w), b = std::min(last, last_usable);
    return b >= a ? LineRange{a, b - a + 1} : LineRange{};
  };
  return {range(f, e - 1), range(f - 3 * w, f - 2 * w), range(e - 1 + 2 * w, e - 1 + 3 * w)};
}

// How much more visible each border of a group became, at the largest of
// the scales that fit (0 where none does). `lows` are the windows' first lines.
std::vector<double> relative_steps(const at::Tensor& result, const at::Tensor& reference,
                                   const at::Tensor& visibility, const Shape& shape, const std::vector<Zone>& zones,
                                   const std::vector<int64_t>& lows) {
  std::vector<at::Tensor> windows;
  for (size_t g = 0; g < zones.size(); ++g)
    windows.push_back(at::stack({run_means(result, visibility, zones[g], lows[g], lows[g] + shape.lines),
                                 run_means(reference, visibility, zones[g], lows[g], lows[g] + shape.lines)}));
  // [G, 2, B, runs, C, lines]: lines last, so that the arithmetic below runs along whole lines.
  const at::Tensor means = at::stack(windows).permute({0, 1, 2, 3, 5, 4}).contiguous();
  // prefix[..., j] sums the first j lines' run means. In float a difference
  // of band sums (at most a few hundred) is good to about 1e-4, a few
  // thousandths of the wider scales' floors (w grey levels); one-line steps,
  // whose floor is a single level, are taken from the means themselves.
  std::vector<int64_t> prefix_shape = means.sizes().vec();
  prefix_shape.back() += 1;
  at::Tensor prefix = at::zeros(prefix_shape, means.options());
  at::Tensor sums = prefix.narrow(5, 1, shape.lines);
  at::cumsum_out(sums, means, 5);

  // Per border, the step in the result over the step in the reference on lines
  // `r`, averaged over runs and channels: [G, r.count]. The step between the
  // bands' means is |after - before| with after = P[p+w] - P[p], before =
  // P[p] - P[p-w], floored, times w (which the ratio cancels).
  auto ratios = [&](const LineRange& r, int64_t w) {
    at::Tensor step = w == 1 ? at::sub(means.narrow(5, r.first, r.count), means.narrow(5, r.first - 1, r.count))
                             : at::add(prefix.narrow(5, r.first + w, r.count), prefix.narrow(5, r.first, r.count), -2)
                                   .add_(prefix.narrow(5, r.first - w, r.count));
    step.abs_().add_(static_cast<double>(w) * kFloor);
    return (step.select(1, 0) / step.select(1, 1)).mean({1, 2, 3}, false, at::kDouble);
  };
  std::vector<double> relative(zones.size(), 0.0);
  for (const int64_t w : kScales) {
    const NeededLines n = needed_lines(shape, w);
    const int64_t context_lines = n.before.count + n.after.count;
    if (n.zone.count == 0 || context_lines == 0) continue;
    const at::Tensor zone = std::get<0>(ratios(n.zone, w).max(1));
    at::Tensor context = at::zeros({static_cast<int64_t>(zones.size())}, prefix.options().dtype(at::kDouble));
    for (const LineRange& r : {n.before, n.after})
      if (r.count > 0) context.add_(ratios(r, w).sum(1));
    const at::Tensor scale_relative = (zone / context.div_(static_cast<double>(context_lines))).contiguous();
    const auto a = scale_relative.accessor<double, 1>();
    for (size_t g = 0; g < zones.size(); ++g) relative[g] = std::max(relative[g], a[static_cast<int64_t>(g)]);
  }
  return relative;
}

struct Located {
  SeamBorder border;
  Zone zone;
};

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
  return visibility.to(at::kCPU).clamp(0.0, 1.0);
}

}  // namespace

std::vector<SeamBorder> seam_borders(const at::Tensor& result, const at::Tensor& reference,
                                     const std::vector<GridSpec>& grid_specs, const at::Tensor& visibility) {
  require_image(result, "seam_visibility result");
  require_image(reference, "seam_visibility reference");
  if (result.sizes() != reference.sizes())
    throw ValueError("seam_visibility: result " + shape_string(result) + " and reference " +
                     shape_string(reference) + " must have the same shape");
  const int64_t h = image_height(result), w = image_width(result);
  std::vector<SeamBorder> borders;
  if (h == 0 || w == 0 || result.size(0) == 0 || result.size(3) == 0) return borders;
  const at::Tensor res = result.to(at::kCPU), ref = reference.to(at::kCPU);
  const at::Tensor weights = visibility_weights(visibility, result);
  std::vector<Located> located = borders_of(grid_specs, h, w);
  std::map<Shape, std::vector<size_t>> groups;
  std::vector<int64_t> low(located.size());
  for (size_t i = 0; i < located.size(); ++i) {
    const Zone& z = located[i].zone;
    const int64_t extent = z.vertical ? w : h;
    const int64_t lo = std::max<int64_t>(0, z.first - 3 * kLargestScale);
    const int64_t hi = std::min<int64_t>(extent, z.end + 3 * kLargestScale);
    low[i] = lo;
    groups[{z.vertical, z.along_length, hi - lo, z.first - lo, z.end - lo}].push_back(i);
  }
  // A few borders at a time: together they share the operations' overhead,
  // and their windows (in double precision) stay a few MiB. The batches are
  // measured side by side on the cores, each batch's operations on one.
  constexpr size_t kBordersAtOnce = 8;
  struct Batch {
    const Shape* shape;
    std::vector<size_t> members;
  };
  std::vector<Batch> batches;
  for (const auto& [shape, members] : groups)
    for (size_t k = 0; k < members.size(); ++k) {
      if (k % kBordersAtOnce == 0) batches.push_back({&shape, {}});
      batches.back().members.push_back(members[k]);
    }
  at::parallel_for(0, static_cast<int64_t>(batches.size()), 1, [&](int64_t begin, int64_t end) {
    for (int64_t i = begin; i < end; ++i) {
      const Batch& batch = batches[static_cast<size_t>(i)];
      std::vector<Zone> zones;
      std::vector<int64_t> lows;
      for (const size_t m : batch.members) {
        zones.push_back(located[m].zone);
        lows.push_back(low[m]);
      }
      const std::vector<double> relative = relative_steps(res, ref, weights, *batch.shape, zones, lows);
      for (size_t k = 0; k < batch.members.size(); ++k)
        located[batch.members[k]].border.relative = relative[k] > 0 ? relative[k] : 1.0;
    }
  });
  for (const Located& b : located) borders.push_back(b.border);
  return borders;
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

// A border's window read once, row by row as it lies in memory, into the
// per-run means of its lines: a tensor reduction over groups of pixels
// inside a row, or across the rows of a strided window, takes several times
// as long as reading it.
#include <ATen/ATen.h>

#include <algorithm>
#include <vector>

#include "host/errors.h"
#include "host/prefetch.h"
#include "image/measure/measure_internal.h"

namespace quorv::measure::detail {
namespace {

// The sums of one row's runs of `run` packed pixels of C channels, weighed
// by `weight` (strided by `ws`) when given, into sums[r * C + c]. Packed and
// with C known, the compiler keeps a run's channel sums in registers.
template <int C>
void packed_run_sums(const float* row, const float* weight, int64_t ws, int64_t run, int64_t runs, float* sums) {
  for (int64_t r = 0; r < runs; ++r) {
    float s[C] = {};
    const float* p = row + r * run * C;
    if (weight) {
      const float* wt = weight + r * run * ws;
      for (int64_t k = 0; k < run; ++k)
        for (int c = 0; c < C; ++c) s[c] += p[k * C + c] * wt[k * ws];
    } else {
      for (int64_t k = 0; k < run; ++k)
        for (int c = 0; c < C; ++c) s[c] += p[k * C + c];
    }
    for (int c = 0; c < C; ++c) sums[r * C + c] = s[c];
  }
}

// The same for any layout.
void strided_run_sums(const float* row, int64_t sx, int64_t sc, int64_t channels, const float* weight, int64_t ws,
                      int64_t run, int64_t runs, float* sums) {
  for (int64_t r = 0; r < runs; ++r)
    for (int64_t c = 0; c < channels; ++c) {
      float s = 0;
      for (int64_t k = 0; k < run; ++k)
        s += row[(r * run + k) * sx + c * sc] * (weight ? weight[(r * run + k) * ws] : 1.f);
      sums[r * channels + c] = s;
    }
}

void run_sums(const float* row, int64_t sx, int64_t sc, int64_t channels, const float* weight, int64_t ws, int64_t run,
              int64_t runs, float* sums) {
  if (sc == 1 && sx == channels) switch (channels) {
      case 1: return packed_run_sums<1>(row, weight, ws, run, runs, sums);
      case 3: return packed_run_sums<3>(row, weight, ws, run, runs, sums);
      case 4: return packed_run_sums<4>(row, weight, ws, run, runs, sums);
      default: break;
    }
  strided_run_sums(row, sx, sc, channels, weight, ws, run, runs, sums);
}

}  // namespace

// A vertical border's window is read a row at a time along the border, a
// horizontal one's a line at a time across it; either way, row by row.
void window_run_means(const at::Tensor& picture, const at::Tensor& weights, const Zone& z, int64_t lo, int64_t lines,
                      float* out) {
  const int64_t runs = std::max<int64_t>(1, z.along_length / kRun);
  const int64_t run = z.along_length < kRun ? z.along_length : kRun;
  const int64_t batch = picture.size(0), channels = picture.size(3);
  const int64_t row_axis = z.vertical ? 1 : 2, line_axis = z.vertical ? 2 : 1;
  if (lo < 0 || lo + lines > picture.size(line_axis) || z.along_start < 0 ||
      z.along_start + runs * run > picture.size(row_axis))
    throw IndexError("seam_visibility: a border's window lies outside the picture");
  const float* src = picture.data_ptr<float>();
  const int64_t sb = picture.stride(0), sy = picture.stride(1), sx = picture.stride(2), sc = picture.stride(3);
  const float* wsrc = weights.defined() ? weights.data_ptr<float>() : nullptr;
  const int64_t wsb = wsrc && weights.size(0) > 1 ? weights.stride(0) : 0;
  const int64_t wsy = wsrc ? weights.stride(1) : 0, wsx = wsrc ? weights.stride(2) : 0;
  const float scale = 1.0f / static_cast<float>(run);
  std::vector<float> sums(static_cast<size_t>(std::max(lines, runs) * channels));
  for (int64_t b = 0; b < batch; ++b) {
    float* to_batch = out + b * runs * channels * lines;
    const float* picture_b = src + b * sb;
    const float* weights_b = wsrc ? wsrc + b * wsb : nullptr;
    if (z.vertical) {
      // Rows of the window run along the border: a run's rows are added
      // pixel by pixel, [lines, C], then laid out as its profiles.
      for (int64_t r = 0; r < runs; ++r) {
        std::fill(sums.begin(), sums.end(), 0.f);
        for (int64_t k = 0; k < run; ++k) {
          const int64_t y = z.along_start + r * run + k;
          const float* row = picture_b + y * sy + lo * sx;
          const float* weight = weights_b ? weights_b + y * wsy + lo * wsx : nullptr;
          if (sc == 1 && sx == channels && r * run + k + 1 < runs * run)
            host::prefetch_floats(row + sy, lines * channels);
          if (!weight && sc == 1 && sx == channels) {
            for (int64_t i = 0; i < lines * channels; ++i) sums[static_cast<size_t>(i)] += row[i];
            continue;
          }
          for (int64_t l = 0; l < lines; ++l)
            for (int64_t c = 0; c < channels; ++c)
              sums[static_cast<size_t>(l * channels + c)] += row[l * sx + c * sc] * (weight ? weight[l * wsx] : 1.f);
        }
        float* to = to_batch + r * channels * lines;
        for (int64_t l = 0; l < lines; ++l)
          for (int64_t c = 0; c < channels; ++c)
            to[c * lines + l] = sums[static_cast<size_t>(l * channels + c)] * scale;
      }
    } else {
      // Rows of the window run across the border: each row is one line of every profile.
      for (int64_t l = 0; l < lines; ++l) {
        const int64_t y = lo + l;
        const float* weight = weights_b ? weights_b + y * wsy + z.along_start * wsx : nullptr;
        if (sc == 1 && sx == channels && l + 1 < lines)
          host::prefetch_floats(picture_b + (y + 1) * sy + z.along_start * sx, runs * run * channels);
        run_sums(picture_b + y * sy + z.along_start * sx, sx, sc, channels, weight, wsx, run, runs, sums.data());
        for (int64_t i = 0; i < runs * channels; ++i) to_batch[i * lines + l] = sums[static_cast<size_t>(i)] * scale;
      }
    }
  }
}

}  // namespace quorv::measure::detail

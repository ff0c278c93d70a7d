// What the tone match reads of a tile: a sample of its pixels, the mean
// level of a band of lines, and what processing did to the lines next to a
// side. Each reads the picture where it lies, any strides, in one pass: as
// tensor operations, the strided gathers, the reduction into double and the
// transposed copy each took longer than correcting the tile.
#include <ATen/ATen.h>

#include <algorithm>
#include <vector>

#include "host/errors.h"
#include "image/fusion/fusion_internal.h"

namespace quorv::fusion::detail {
namespace {

void require_cpu_float(const at::Tensor& t, const char* what) {
  if (!t.defined() || t.dim() != 4 || t.scalar_type() != at::kFloat || !t.device().is_cpu())
    throw ValueError(std::string(what) + ": expected a float32 [B, H, W, C] picture on the CPU");
}

}  // namespace

void append_every_other_pixel(const at::Tensor& area, std::vector<float>& out) {
  require_cpu_float(area, "append_every_other_pixel");
  const int64_t batch = area.size(0), rows = area.size(1), cols = area.size(2), channels = area.size(3);
  const int64_t sb = area.stride(0), sy = area.stride(1), sx = area.stride(2), sc = area.stride(3);
  const float* data = area.data_ptr<float>();
  const int64_t half_rows = (rows + 1) / 2, half_cols = (cols + 1) / 2;
  const size_t start = out.size();
  out.resize(start + static_cast<size_t>(batch * half_rows * half_cols * channels));
  float* to = out.data() + start;
  for (int64_t b = 0; b < batch; ++b)
    for (int64_t y = 0; y < rows; y += 2) {
      const float* row = data + b * sb + y * sy;
      for (int64_t x = 0; x < cols; x += 2)
        for (int64_t c = 0; c < channels; ++c) *to++ = row[x * sx + c * sc];
    }
}

at::Tensor mean_across(const at::Tensor& band, int64_t across_axis) {
  require_cpu_float(band, "mean_across");
  if (across_axis != 1 && across_axis != 2) throw ValueError("mean_across: lines run across axis 1 or 2");
  const int64_t along_axis = across_axis == 1 ? 2 : 1;
  const int64_t batch = band.size(0), lines = band.size(across_axis), length = band.size(along_axis);
  const int64_t channels = band.size(3);
  at::Tensor mean = at::zeros({batch, length, channels}, band.options().dtype(at::kDouble));
  double* m = mean.data_ptr<double>();
  const float* data = band.data_ptr<float>();
  const int64_t sb = band.stride(0), sl = band.stride(across_axis), sa = band.stride(along_axis), sc = band.stride(3);
  // A top or bottom band adds whole rows into the sums; a left or right one
  // sums each row's stretch of columns in registers first. Written the other
  // way, every value would be added to a sum just stored to memory.
  std::vector<double> sums(static_cast<size_t>(channels));
  for (int64_t b = 0; b < batch; ++b) {
    double* to = m + b * length * channels;
    const float* from = data + b * sb;
    if (across_axis == 1) {
      for (int64_t l = 0; l < lines; ++l) {
        const float* line = from + l * sl;
        if (sc == 1 && sa == channels) {
          for (int64_t j = 0; j < length * channels; ++j) to[j] += line[j];
        } else {
          for (int64_t a = 0; a < length; ++a)
            for (int64_t c = 0; c < channels; ++c) to[a * channels + c] += line[a * sa + c * sc];
        }
      }
    } else {
      for (int64_t a = 0; a < length; ++a) {
        const float* row = from + a * sa;
        if (channels == 3 && sc == 1) {
          double s0 = 0, s1 = 0, s2 = 0;
          for (int64_t l = 0; l < lines; ++l) {
            const float* p = row + l * sl;
            s0 += p[0], s1 += p[1], s2 += p[2];
          }
          to[a * 3] = s0, to[a * 3 + 1] = s1, to[a * 3 + 2] = s2;
          continue;
        }
        std::fill(sums.begin(), sums.end(), 0.0);
        for (int64_t l = 0; l < lines; ++l)
          for (int64_t c = 0; c < channels; ++c) sums[static_cast<size_t>(c)] += row[l * sl + c * sc];
        std::copy(sums.begin(), sums.end(), to + a * channels);
      }
    }
  }
  mean.div_(static_cast<double>(lines));  // 0 / 0 without lines: NaN, as a mean of nothing
  return mean;
}

std::vector<float> band_shift(const at::Tensor& tile, const at::Tensor& original, bool horizontal, int64_t first,
                              int64_t count, int64_t along_start, int64_t length) {
  const at::Tensor now = tile.to(at::kCPU), before = original.to(at::kCPU);
  const int64_t batch = now.size(0), channels = now.size(3);
  const int64_t across_axis = horizontal ? 1 : 2, along_axis = horizontal ? 2 : 1;
  const float* n = now.data_ptr<float>() + first * now.stride(across_axis) + along_start * now.stride(along_axis);
  const float* o =
      before.data_ptr<float>() + first * before.stride(across_axis) + along_start * before.stride(along_axis);
  const int64_t nb = now.stride(0), nl = now.stride(across_axis), na = now.stride(along_axis), nc = now.stride(3);
  const int64_t ob = before.stride(0), ol = before.stride(across_axis), oa = before.stride(along_axis);
  const int64_t oc = before.stride(3);
  std::vector<float> shift(static_cast<size_t>(count * batch * length * channels));
  const int64_t line_block = batch * length * channels;  // one line of the result
  for (int64_t b = 0; b < batch; ++b)
    if (horizontal) {  // a line is a stretch of one row
      for (int64_t l = 0; l < count; ++l) {
        const float* now_line = n + b * nb + l * nl;
        const float* before_line = o + b * ob + l * ol;
        float* to = shift.data() + l * line_block + b * length * channels;
        for (int64_t a = 0; a < length; ++a)
          for (int64_t c = 0; c < channels; ++c)
            to[a * channels + c] = now_line[a * na + c * nc] - before_line[a * oa + c * oc];
      }
    } else {  // a row holds one pixel of every line
      for (int64_t a = 0; a < length; ++a) {
        const float* now_row = n + b * nb + a * na;
        const float* before_row = o + b * ob + a * oa;
        float* to = shift.data() + (b * length + a) * channels;
        for (int64_t l = 0; l < count; ++l)
          for (int64_t c = 0; c < channels; ++c)
            to[l * line_block + c] = now_row[l * nl + c * nc] - before_row[l * ol + c * oc];
      }
    }
  return shift;
}

}  // namespace quorv::fusion::detail

// A tone correction on float32 pictures in memory: one pass over each row.
//
// The correction is t + w * (t * (g - 1) + o), clamped to 0 .. 1, with a
// weight w = 1 - keep_y * keep_x from two profiles. As a chain of broadcast
// tensor operations over [B, H, W, C] it allocates two tile-sized
// temporaries and walks the channels three floats at a time; here the
// per-channel and per-column factors are spread over a row once, so the
// inner loop is flat and each pixel is read and written once.
#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include <vector>

#include "image/fusion/fusion_internal.h"

namespace quorv::fusion::detail {
namespace {

// NaN stays NaN, as with clamp.
inline float unit(float v) { return v < 0.f ? 0.f : v > 1.f ? 1.f : v; }

}  // namespace

bool apply_tone_cpu(const at::Tensor& tile, at::Tensor& out, const std::vector<float>& gain,
                    const std::vector<float>& offset, const std::vector<float>& keep_y,
                    const std::vector<float>& keep_x) {
  if (!pixels_packed(tile) || !pixels_packed(out) || tile.sizes() != out.sizes()) return false;
  const int64_t batch = tile.size(0), rows = tile.size(1), cols = tile.size(2), channels = tile.size(3);
  if (static_cast<int64_t>(gain.size()) != channels || static_cast<int64_t>(offset.size()) != channels ||
      static_cast<int64_t>(keep_y.size()) != rows || static_cast<int64_t>(keep_x.size()) != cols)
    return false;
  // Reading one pixel and writing another would see corrected values.
  if (!tile.is_same(out) && tile.storage().is_alias_of(out.storage())) return false;
  if (tile.numel() == 0) return true;

  const int64_t width = cols * channels;
  std::vector<float> gain_less_one(static_cast<size_t>(width)), offsets(static_cast<size_t>(width));
  std::vector<float> keep_x_spread(static_cast<size_t>(width));
  for (int64_t x = 0; x < cols; ++x)
    for (int64_t c = 0; c < channels; ++c) {
      const auto j = static_cast<size_t>(x * channels + c);
      gain_less_one[j] = gain[static_cast<size_t>(c)] - 1.f;
      offsets[j] = offset[static_cast<size_t>(c)];
      keep_x_spread[j] = keep_x[static_cast<size_t>(x)];
    }
  const float* in = tile.data_ptr<float>();
  float* dst = out.data_ptr<float>();
  at::parallel_for(0, batch * rows, 64, [&](int64_t begin, int64_t end) {
    std::vector<float> weight(static_cast<size_t>(width));
    for (int64_t line = begin; line < end; ++line) {
      const int64_t b = line / rows, y = line % rows;
      const float ky = keep_y[static_cast<size_t>(y)];
      const float* t = in + b * tile.stride(0) + y * tile.stride(1);
      float* o = dst + b * out.stride(0) + y * out.stride(1);
      for (int64_t j = 0; j < width; ++j) weight[static_cast<size_t>(j)] = 1.f - ky * keep_x_spread[static_cast<size_t>(j)];
      const float* w = weight.data();
      const float* g = gain_less_one.data();
      const float* f = offsets.data();
      for (int64_t j = 0; j < width; ++j) o[j] = unit(t[j] + w[j] * (t[j] * g[j] + f[j]));
    }
  });
  return true;
}

}  // namespace quorv::fusion::detail

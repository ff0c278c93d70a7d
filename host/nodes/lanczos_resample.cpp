#include "host/nodes/lanczos_resample.h"

#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <vips/vips8>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

#include "host/errors.h"

// at::parallel_for only spreads over the cores in code compiled with OpenMP.
#if AT_PARALLEL_OPENMP && !defined(_OPENMP) && !defined(QUORV_SERIAL_BUILD)
#error "build with -fopenmp: the resampling passes would run on one core"
#endif

namespace quorv::host {
namespace {

constexpr int64_t kTaps = 6;  // Lanczos-3 touches 6 source samples when enlarging

void init_vips_once() {
  static std::once_flag flag;
  std::call_once(flag, [] {
    if (VIPS_INIT("quorv")) throw Error("libvips failed to start: " + std::string(vips_error_buffer()));
    // Every image we hand libvips wraps transient memory; nothing is worth caching.
    vips_cache_set_max(0);
  });
}

double lanczos3(double x) {
  x = std::fabs(x);
  if (x >= 3.0) return 0.0;
  if (x < 1e-12) return 1.0;
  const double px = M_PI * x;
  return 3.0 * std::sin(px) * std::sin(px / 3.0) / (px * px);
}

// Source indices (clamped at the edges) and normalised weights of each output
// sample of an enlarging axis, kTaps per output, the strongest tap first.
// Samples are computed as v0 + sum w_k (v_k - v0): with weights summing to 1
// that is the plain weighted sum, and a constant picture stays exact even
// though the float weights do not sum to exactly 1.
struct EnlargeTaps {
  std::vector<int64_t> index;
  std::vector<float> weight;
};

EnlargeTaps enlarge_taps(int64_t in_size, int64_t out_size) {
  EnlargeTaps taps;
  taps.index.resize(out_size * kTaps);
  taps.weight.resize(out_size * kTaps);
  const double scale = static_cast<double>(out_size) / static_cast<double>(in_size);
  for (int64_t j = 0; j < out_size; ++j) {
    const double centre = (j + 0.5) / scale - 0.5;
    const int64_t first = static_cast<int64_t>(std::floor(centre)) - 2;
    double w[kTaps];
    double sum = 0.0;
    for (int64_t k = 0; k < kTaps; ++k) {
      w[k] = lanczos3(static_cast<double>(first + k) - centre);
      sum += w[k];
    }
    int64_t order[kTaps] = {0, 1, 2, 3, 4, 5};
    std::swap(order[0], order[std::max_element(w, w + kTaps) - w]);
    for (int64_t k = 0; k < kTaps; ++k) {
      taps.index[j * kTaps + k] = std::clamp<int64_t>(first + order[k], 0, in_size - 1);
      taps.weight[j * kTaps + k] = static_cast<float>(w[order[k]] / sum);
    }
  }
  return taps;
}

// One source row resampled to the width `taps` were made for (out_w pixels).
void widen_row(const float* row, float* out_row, int64_t out_w, int64_t ch, const EnlargeTaps& taps) {
  for (int64_t j = 0; j < out_w; ++j) {
    const int64_t* idx = &taps.index[j * kTaps];
    const float* w = &taps.weight[j * kTaps];
    for (int64_t c = 0; c < ch; ++c) {
      const float base = row[idx[0] * ch + c];
      float acc = 0.f;
      for (int64_t k = 1; k < kTaps; ++k) acc += w[k] * (row[idx[k] * ch + c] - base);
      out_row[j * ch + c] = base + acc;
    }
  }
}

// Output row `j` of the vertical pass, a weighted sum of whole source rows;
// source row r is at rows + (r - first) * row_len.
void combine_rows(const float* rows, int64_t first, int64_t row_len, const EnlargeTaps& taps, int64_t j,
                  float* out_row) {
  const int64_t* idx = &taps.index[j * kTaps];
  const float* w = &taps.weight[j * kTaps];
  const float* r0 = rows + (idx[0] - first) * row_len;
  std::fill(out_row, out_row + row_len, 0.f);
  for (int64_t k = 1; k < kTaps; ++k) {
    const float* rk = rows + (idx[k] - first) * row_len;
    const float wk = w[k];
    for (int64_t x = 0; x < row_len; ++x) out_row[x] += wk * (rk[x] - r0[x]);
  }
  for (int64_t x = 0; x < row_len; ++x) out_row[x] += r0[x];
}

// [B, H, W, C] -> [B, H, out_w, C]: each row is resampled on its own.
at::Tensor enlarge_width(const at::Tensor& src, int64_t out_w) {
  const int64_t rows = src.size(0) * src.size(1), in_w = src.size(2), ch = src.size(3);
  at::Tensor out = at::empty({src.size(0), src.size(1), out_w, ch}, src.options());
  const EnlargeTaps taps = enlarge_taps(in_w, out_w);
  const float* in = src.data_ptr<float>();
  float* dst = out.data_ptr<float>();
  at::parallel_for(0, rows, 16, [&](int64_t begin, int64_t end) {
    for (int64_t r = begin; r < end; ++r) widen_row(in + r * in_w * ch, dst + r * out_w * ch, out_w, ch, taps);
  });
  return out;
}

// [B, H, W, C] -> [B, out_h, W, C]: each output row is a weighted sum of whole source rows.
at::Tensor enlarge_height(const at::Tensor& src, int64_t out_h) {
  const int64_t batch = src.size(0), in_h = src.size(1), row_len = src.size(2) * src.size(3);
  at::Tensor out = at::empty({batch, out_h, src.size(2), src.size(3)}, src.options());
  const EnlargeTaps taps = enlarge_taps(in_h, out_h);
  const float* in = src.data_ptr<float>();
  float* dst = out.data_ptr<float>();
  at::parallel_for(0, batch * out_h, 4, [&](int64_t begin, int64_t end) {
    for (int64_t i = begin; i < end; ++i)
      combine_rows(in + (i / out_h) * in_h * row_len, 0, row_len, taps, i % out_h, dst + i * row_len);
  });
  return out;
}

// [B, H, W, C] -> [B, out_h, out_w, C], both axes enlarged, band by band of
// output rows: a band widens only the source rows it reads into a buffer of
// its own, so the picture widened but not yet heightened (half the result's
// size at x2) never exists whole. The same arithmetic as enlarge_width then
// enlarge_height, so the same values bit for bit; a band's first and last
// source rows are widened twice, a few percent more work.
void enlarge_both_into(const at::Tensor& src, at::Tensor& out) {
  constexpr int64_t kBand = 64;
  const int64_t batch = src.size(0), in_h = src.size(1), in_w = src.size(2), ch = src.size(3);
  const int64_t out_h = out.size(1), out_w = out.size(2);
  const int64_t row_len = out_w * ch, bands = (out_h + kBand - 1) / kBand;
  const int64_t image_stride = out.stride(0), row_stride = out.stride(1);
  const EnlargeTaps across = enlarge_taps(in_w, out_w), down = enlarge_taps(in_h, out_h);
  const float* in = src.data_ptr<float>();
  float* dst = out.data_ptr<float>();
  at::parallel_for(0, batch * bands, 1, [&](int64_t begin, int64_t end) {
    std::vector<float> widened;
    for (int64_t t = begin; t < end; ++t) {
      const int64_t b = t / bands, j0 = (t % bands) * kBand, j1 = std::min(out_h, j0 + kBand);
      const auto read = std::minmax_element(down.index.begin() + j0 * kTaps, down.index.begin() + j1 * kTaps);
      const int64_t first = *read.first, last = *read.second;
      widened.resize(static_cast<size_t>((last - first + 1) * row_len));
      for (int64_t r = first; r <= last; ++r)
        widen_row(in + (b * in_h + r) * in_w * ch, widened.data() + (r - first) * row_len, out_w, ch, across);
      for (int64_t j = j0; j < j1; ++j)
        combine_rows(widened.data(), first, row_len, down, j, dst + b * image_stride + j * row_stride);
    }
  });
}

at::Tensor enlarge_both(const at::Tensor& src, int64_t out_w, int64_t out_h) {
  at::Tensor out = at::empty({src.size(0), out_h, out_w, src.size(3)}, src.options());
  enlarge_both_into(src, out);
  return out;
}

// Shrinks one axis with libvips' reduce (Lanczos-3, support widened by the factor).
at::Tensor vips_shrink(const at::Tensor& src, int64_t out_w, int64_t out_h, bool horizontal) {
  init_vips_once();
  const int64_t batch = src.size(0), h = src.size(1), w = src.size(2), ch = src.size(3);
  at::Tensor out = at::empty({batch, out_h, out_w, ch}, src.options());
  const size_t in_bytes = static_cast<size_t>(h * w * ch) * sizeof(float);
  const size_t out_bytes = static_cast<size_t>(out_h * out_w * ch) * sizeof(float);
  for (int64_t b = 0; b < batch; ++b) {
    void* in_ptr = src[b].data_ptr<float>();
    try {
      vips::VImage in = vips::VImage::new_from_memory(in_ptr, in_bytes, static_cast<int>(w),
                                                      static_cast<int>(h), static_cast<int>(ch),
                                                      VIPS_FORMAT_FLOAT);
      auto options = vips::VImage::option()->set("kernel", VIPS_KERNEL_LANCZOS3);
      vips::VImage reduced = horizontal ? in.reduceh(static_cast<double>(w) / out_w, options)
                                        : in.reducev(static_cast<double>(h) / out_h, options);
      if (reduced.width() != out_w || reduced.height() != out_h)
        throw Error("libvips reduced to " + std::to_string(reduced.width()) + "x" +
                    std::to_string(reduced.height()) + " instead of " + std::to_string(out_w) +
                    "x" + std::to_string(out_h));
      size_t size = 0;
      void* pixels = reduced.write_to_memory(&size);
      if (size != out_bytes) {
        g_free(pixels);
        throw Error("libvips returned " + std::to_string(size) + " bytes, expected " +
                    std::to_string(out_bytes));
      }
      std::memcpy(out[b].data_ptr<float>(), pixels, out_bytes);
      g_free(pixels);
    } catch (const vips::VError& e) {
      throw Error(std::string("libvips resize failed: ") + e.what());
    }
  }
  return out;
}

}  // namespace

at::Tensor lanczos_resample(const at::Tensor& image, int64_t width, int64_t height) {
  if (image.size(1) == 0 || image.size(2) == 0)
    throw ValueError("cannot resample an empty picture of shape " + std::to_string(image.size(1)) +
                     "x" + std::to_string(image.size(2)));
  at::Tensor cur = image.to(at::kCPU).contiguous();
  if (cur.size(0) == 0) return at::empty({0, height, width, image.size(3)}, image.options());
  const at::Tensor src = cur;
  // Shrink first: the enlarging passes then run on the smaller picture.
  if (width < cur.size(2)) cur = vips_shrink(cur, width, cur.size(1), true);
  if (height < cur.size(1)) cur = vips_shrink(cur, cur.size(2), height, false);
  if (width > cur.size(2) && height > cur.size(1)) cur = enlarge_both(cur, width, height);
  if (width > cur.size(2)) cur = enlarge_width(cur, width);
  if (height > cur.size(1)) cur = enlarge_height(cur, height);
  if (cur.is_same(src)) cur = cur.clone();
  return cur.to(image.device());
}

void lanczos_resample_into(const at::Tensor& image, at::Tensor& out) {
  if (!image.defined() || image.dim() != 4 || image.scalar_type() != at::kFloat)
    throw ValueError("lanczos_resample_into: the picture must be a float32 [B, H, W, C] tensor");
  if (!out.defined() || out.dim() != 4 || out.scalar_type() != at::kFloat || !out.device().is_cpu() ||
      out.size(0) != image.size(0) || out.size(3) != image.size(3) || out.stride(3) != 1 ||
      out.stride(2) != out.size(3))
    throw ValueError("lanczos_resample_into: out must be a float32 CPU [" + std::to_string(image.size(0)) +
                     ", H, W, " + std::to_string(image.size(3)) + "] tensor with packed rows");
  const int64_t width = out.size(2), height = out.size(1);
  if (image.size(1) == 0 || image.size(2) == 0)
    throw ValueError("cannot resample an empty picture of shape " + std::to_string(image.size(1)) + "x" +
                     std::to_string(image.size(2)));
  if (width > image.size(2) && height > image.size(1) && image.size(0) > 0) {
    enlarge_both_into(image.to(at::kCPU).contiguous(), out);
    return;
  }
  out.copy_(lanczos_resample(image, width, height));
}

}  // namespace quorv::host

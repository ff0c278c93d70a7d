// The fusion blend on float32 pictures in memory: one pass over each row.
//
// Fusion strips are narrow (a few dozen rows or columns of a tile), so a
// chain of tensor operations over them spends more time on dispatch and
// strided walks than on arithmetic. Here each row of the area is read and
// written once. Where the weight is exactly 0 the pixel is left alone and
// where it is exactly 1 the neighbour's pixel is copied, decided from the
// weight map (known before any pixel is read), never from the pixels.
#include <ATen/ATen.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "host/prefetch.h"
#include "image/fusion/fusion_internal.h"

namespace quorv::fusion::detail {
namespace {

// A stretch of columns [begin, end) sharing what happens to them: skip, copy or mix.
struct Run {
  enum Kind { Keep, Take, Mix } kind;
  int64_t begin, end;
};

std::vector<Run> runs_of(const float* weights, int64_t cols) {
  std::vector<Run> runs;
  for (int64_t c = 0; c < cols; ++c) {
    const float w = weights[c];
    const Run::Kind kind = w == 0.f ? Run::Keep : w == 1.f ? Run::Take : Run::Mix;
    if (!runs.empty() && runs.back().kind == kind && runs.back().end == c)
      runs.back().end = c + 1;
    else
      runs.push_back({kind, c, c + 1});
  }
  return runs;
}

// One row: pixels are `channels` floats apart and their channels adjacent.
// The weight is per column (`weights`, `channels` copies each) or one value for the row.
void blend_row(float* area, const float* neighbour, int64_t channels, const std::vector<Run>& runs,
               const float* expanded_weights, float row_weight) {
  for (const Run& run : runs) {
    const int64_t first = run.begin * channels, count = (run.end - run.begin) * channels;
    if (run.kind == Run::Keep) continue;
    if (run.kind == Run::Take) {
      std::memcpy(area + first, neighbour + first, static_cast<size_t>(count) * sizeof(float));
      continue;
    }
    float* a = area + first;
    const float* n = neighbour + first;
    if (expanded_weights) {
      const float* w = expanded_weights + first;
      for (int64_t j = 0; j < count; ++j) a[j] = a[j] * (1.f - w[j]) + n[j] * w[j];
    } else {
      const float keep = 1.f - row_weight;
      for (int64_t j = 0; j < count; ++j) a[j] = a[j] * keep + n[j] * row_weight;
    }
  }
}

// Rows asked for ahead of the one being blended, to cover the wait for memory.
constexpr int64_t kRowsAhead = 8;

}  // namespace

bool pixels_packed(const at::Tensor& t) {
  return t.dim() == 4 && t.device().is_cpu() && t.scalar_type() == at::kFloat && t.stride(3) == 1 &&
         (t.size(2) <= 1 || t.stride(2) == t.size(3));
}

bool blend_into_cpu(at::Tensor& area, const at::Tensor& neighbour_area, const float* weights, int64_t weight_rows,
                    int64_t weight_cols) {
  if (!pixels_packed(area) || !pixels_packed(neighbour_area) || area.sizes() != neighbour_area.sizes()) return false;
  if (area.numel() == 0) return true;
  if (area.storage().is_alias_of(neighbour_area.storage())) return false;
  const int64_t batch = area.size(0), rows = area.size(1), cols = area.size(2), channels = area.size(3);
  if ((weight_rows != 1 && weight_rows != rows) || (weight_cols != 1 && weight_cols != cols)) return false;

  float* a = area.data_ptr<float>();
  const float* n = neighbour_area.data_ptr<float>();
  std::vector<float> expanded(weight_cols > 1 ? static_cast<size_t>(cols * channels) : 0);
  std::vector<Run> runs;
  // The rows of a left or right strip are short pieces far apart in memory,
  // which the hardware does not fetch ahead: each row would wait for memory.
  const bool strided = rows > 1 && (area.stride(1) != cols * channels || neighbour_area.stride(1) != cols * channels);
  for (int64_t r = 0; r < rows; ++r) {
    const float* w = weights + (weight_rows == 1 ? 0 : r) * weight_cols;
    // A column profile is the same on every row: its runs and spread weights are worked out once.
    if (r == 0 || weight_rows > 1) {
      if (weight_cols > 1) {
        runs = runs_of(w, cols);
        for (int64_t c = 0; c < cols; ++c) std::fill_n(expanded.data() + c * channels, channels, w[c]);
      } else {
        runs = runs_of(w, 1);
        runs.front().end = cols;
      }
    }
    if (weight_cols == 1 && runs.front().kind == Run::Keep) continue;
    for (int64_t b = 0; b < batch; ++b) {
      if (strided && r + kRowsAhead < rows) {
        host::prefetch_floats(a + b * area.stride(0) + (r + kRowsAhead) * area.stride(1), cols * channels);
        host::prefetch_floats(n + b * neighbour_area.stride(0) + (r + kRowsAhead) * neighbour_area.stride(1),
                              cols * channels);
      }
      blend_row(a + b * area.stride(0) + r * area.stride(1),
                n + b * neighbour_area.stride(0) + r * neighbour_area.stride(1), channels, runs,
                weight_cols > 1 ? expanded.data() : nullptr, w[0]);
    }
  }
  return true;
}

}  // namespace quorv::fusion::detail

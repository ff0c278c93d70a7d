// What the seam measures share inside the library: where a border's window
// lies, and the one pass that reads it.
#pragma once

#include <ATen/core/Tensor.h>

#include <cstdint>

namespace quorv::measure::detail {

// Runs of pixels along a border averaged before the step is taken: long
// enough that texture averages out, short enough to follow a border that
// changes along its length.
constexpr int64_t kRun = 8;

// Where a border is, in its own frame: `across` counts lines (columns of a
// left edge), `along` the pixels of one line.
struct Zone {
  bool vertical;
  int64_t along_start, along_length;
  int64_t first, end;  // lines first .. end - 1 are the zone
};

/// Per-run means of one picture's window around a border, written into `out`:
/// [B, runs, C, lines] packed (runs = max(1, along_length / kRun)), lines
/// last so that each run and channel is a profile across the border. Run r
/// of line l averages the run's pixels along the border on line lo + l
/// across it, each weighed by `weights` ([1 or B, H, W, 1] float32 on the
/// CPU) when those are defined. `picture`: float32 [B, H, W, C] on the CPU,
/// any strides. IndexError when the window does not lie inside the picture.
void window_run_means(const at::Tensor& picture, const at::Tensor& weights, const Zone& z, int64_t lo, int64_t lines,
                      float* out);

}  // namespace quorv::measure::detail

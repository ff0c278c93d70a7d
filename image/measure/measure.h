// Measurements of finished pictures: how visible the tile seams are.
#pragma once

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <vector>

#include "image/grid_spec.h"

namespace quorv::measure {

/// Seam visibility of a picture rebuilt from the tiles of `grid_specs`.
struct SeamScore {
  double score;       ///< mean of the two below, weighted by their line counts
  double vertical;    ///< vertical tile borders (left and right edges)
  double horizontal;  ///< horizontal tile borders (top and bottom edges)
  int64_t lines;      ///< border segments measured
};

/// Along every tile border inside the picture (a tile's left edge unless it
/// is in column 0, its top edge unless in row 0, its right and bottom edges
/// unless in the last column or row), the mean absolute difference between
/// the two pixel columns (rows) that meet there over the tile's extent,
/// divided by the median of the same statistic over all adjacent column
/// (row) pairs of the whole picture:
///
///        col c-1 | col c        |x(c) - x(c-1)| averaged along the border,
///            ... | ...          over median_c' |x(c') - x(c'-1)|
///
/// 1.0: the borders look like any other line of the picture; a visible seam
/// scores far above. Segment tiles are ignored. A grid without inner borders
/// scores 1.0 with lines 0. `picture` is [B, H, W, C] float32.
SeamScore seam_score(const at::Tensor& picture, const std::vector<GridSpec>& grid_specs);

}  // namespace quorv::measure

// Measurements of finished pictures: how visible the tile seams are.
#pragma once

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <memory>
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

/// One border where two tiles meet in a rebuilt picture.
struct SeamBorder {
  int64_t tile = -1;       ///< grid position of the tile whose left (top) edge it is
  int64_t neighbour = -1;  ///< grid position of the tile on the other side
  bool vertical = true;    ///< a left edge (columns meet) or a top edge (rows meet)
  int64_t line = 0;        ///< first column (row) of `tile`
  int64_t start = 0;       ///< extent along the border: rows (columns) start .. start + length - 1
  int64_t length = 0;
  int64_t overlap = 1;     ///< lines line .. line + overlap - 1 the two tiles share (the border's zone)
  double relative = 1.0;   ///< visibility in the result over visibility in the reference
};

/// How visible the tile borders of `result` are compared with `reference`,
/// the enlarged picture before any tile work, on the same lines.
struct SeamVisibility {
  double relative = 1.0;    ///< borders' mean, weighted by length: 1.00 = as before processing
  double vertical = 1.0;    ///< the left edges alone
  double horizontal = 1.0;  ///< the top edges alone
  int64_t borders = 0;      ///< borders measured
  SeamBorder worst;         ///< the border with the highest `relative` (tile -1 when none)
};

/// Border visibility of a rebuilt picture relative to the picture it was made from.
///
/// Tiles are pasted in grid order, so a tile shows its left edge (col > 0)
/// and its top edge (row > 0), each from its own start to the start of the
/// next column (row). Where the tile and its neighbour overlap, fusion may move
/// the transition anywhere in the overlap: that overlap is the border's zone.
///
///        neighbour     | tile
///           context    | zone (overlap) |    context
///      ..|......|......|================|......|......|..
///    line-2w-o/2  -2w  line          line+o  +2w   +2w+o/2
///
/// At each line p the step at scale w is the band mean of the w lines after
/// p minus that of the w lines before, averaged along the border over runs of
/// 8 pixels (so that a tone step stands out of the texture). Per run and
/// channel, its size in `result` is compared with its size in `reference`,
///
///        r_w(p) = mean over runs, batch, channels of (|step_result| + e) / (|step_reference| + e),
///
/// e = one grey level (1/255), so that flat areas neither divide by zero nor
/// hide a small step, and a run where the picture already had an edge does
/// not drown one where it had none. A border's figure at scale w is the
/// largest r_w in the zone over the largest r_w of the context lines, as
/// many as the zone has, half on each side from 2w lines off it (which takes
/// out what the processing did to every line, such as sharpening, and picks
/// both maxima from as many lines, so that a picture processed as a whole
/// scores about 1.00 at any line); its relative figure is the largest over
/// w = 1, 8 and 32 (a hard edge, a short ramp, a soft tone patch). Identical
/// pictures score exactly 1.00; a border that became more visible than the
/// lines around it scores above. Scales whose bands or context do not fit the
/// picture are left out. Segment tiles are ignored; a grid without inner
/// borders scores 1.00 with borders 0.
///
/// `visibility`, when given, weighs every pixel before the steps are taken:
/// [1 or B, H, W, 1] in 0..1, such as the picture's alpha. Both pictures are
/// then measured as seen over black, so a step under transparent pixels,
/// which nobody sees, does not count as a seam.
///
/// `result` and `reference`: [B, H, W, C] float32 of the same shape, else
/// ValueError; likewise a visibility of another size.
SeamVisibility seam_visibility(const at::Tensor& result, const at::Tensor& reference,
                               const std::vector<GridSpec>& grid_specs, const at::Tensor& visibility = {});

/// Every border seam_visibility measures, each with its own figure, left
/// edges and top edges in grid order.
std::vector<SeamBorder> seam_borders(const at::Tensor& result, const at::Tensor& reference,
                                     const std::vector<GridSpec>& grid_specs, const at::Tensor& visibility = {});

namespace detail {
struct ReferenceWindows;
}

/// The reference's side of seam_visibility, read ahead of the result: for
/// every border, the run means of its window in the reference (about an
/// eighth of the window's pixels), with the grid and the visibility weights.
/// Once it is made, the reference picture may be overwritten or let go.
struct SeamReference {
  std::shared_ptr<const detail::ReferenceWindows> windows;
};

/// The reference read for seam_visibility(result, reference, grid_specs,
/// visibility) of a result of the same shape; same checks on reference and visibility.
SeamReference seam_reference(const at::Tensor& reference, const std::vector<GridSpec>& grid_specs,
                             const at::Tensor& visibility = {});

/// The same figures as seam_borders and seam_visibility with the reference
/// picture that `reference` was read from. ValueError when `result` is not of
/// that picture's shape, or `reference` is empty.
std::vector<SeamBorder> seam_borders(const at::Tensor& result, const SeamReference& reference);
SeamVisibility seam_visibility(const at::Tensor& result, const SeamReference& reference);

/// The summary seam_visibility gives of these borders: means weighted by length, and the worst.
SeamVisibility seam_summary(const std::vector<SeamBorder>& borders);

/// Above this a border is worth re-fusing: it stands out of the lines around
/// it by a tenth more than before processing. Unchanged borders score 1.00;
/// fused borders aim at 1.05, unfused ones of a retouched tile score 1.3 and
/// more, one tile brightened by 8 grey levels above 3.
constexpr double kVisibleSeam = 1.1;

}  // namespace quorv::measure

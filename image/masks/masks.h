// Masks: the bands, steps and counts derived from a tile's settings, the
// soft compositing and inpaint masks of a tile, and a tile's inpaint mask
// from its grid position.
#pragma once

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <optional>

#include "host/node_state.h"
#include "image/grid_spec.h"

namespace quorv::masks {

/// Derived mask band and grid counts, in the order set_mask_constants returns them.
struct MaskConstants {
  int64_t inpaint_margin;  ///< width of the inpaint band
  int64_t tile_grid_W;     ///< column step between tile origins
  int64_t tile_grid_H;     ///< row step between tile origins
  int64_t rows_qty;
  int64_t cols_qty;
};

/// Rounds the tile size up to a multiple of 64, derives the mask band, the
/// overlap, the steps and the tile counts for PARAMS.Tile_Fusion_Mode, and
/// writes SIZE.fullW, SIZE.fullH, SIZE.actual_inner_tile_sizeW/H,
/// PARAMS.rows_qty and PARAMS.cols_qty in that order (fields written before a
/// failure stay written).
///
/// Counts: rows_qty = ceil((picture height - band) / row step), lowered once
/// by one when the second-to-last row on the step grid already starts at or
/// below the edge-aligned last row (columns the same way). A picture no
/// larger than the band gives 0 or fewer, and the trim may lower that too.
///
/// Tile too small for its bands: Error with the tile-size banner (SIZE.fullW
/// and SIZE.fullH stay rounded). A zero step: ZeroDivisionError (rows_qty
/// stays written when only the column step is zero). OUTPUTS.image without
/// four axes, or sizes whose arithmetic would overflow: ValueError.
MaskConstants set_mask_constants(NodeState& SELF);

/// Named arguments of create_custom_tile_overlay_mask, with their defaults.
/// Margins are truncated toward zero; NaN or infinite margins are ValueErrors.
struct OverlayMaskOptions {
  double composite_blur_margin = 64;  ///< length of the compositing ramp
  double inpaint_border_margin = 0;   ///< zeros in front of the ramps
  double inpaint_blur_margin = 0;     ///< length of the inpaint ramp
  double inpaint_shift = 0;           ///< extra zeros in front of the inpaint ramp
  double inpaint_max = 1;             ///< accepted, not read (SIZE.inpaint_max softens)
  bool feather_left = false;
  bool feather_top = false;
  bool feather_right = false;
  bool feather_bottom = false;
};

/// The two masks of one tile, float32 [1, 1, H, W] on the processor, 0..1.
struct MaskPair {
  at::Tensor compositing_mask;
  at::Tensor inpaint_mask;
};

/// Bytes create_custom_tile_overlay_mask holds at its peak for a tile of
/// `tile_width` x `tile_height`, counted `masks` times over for the mask
/// itself (2: the pair it returns; callers that keep earlier masks alive add
/// theirs), plus an upper bound for its profiles, bands and the softening's
/// temporaries. Negative sizes count as 0; a count beyond int64: ValueError.
int64_t overlay_mask_bytes(int64_t tile_width, int64_t tile_height, int64_t masks = 2);

/// Builds both masks of a tile_width x tile_height tile: each the outer
/// minimum of a column profile and a row profile that ramp from 0 at each
/// feathered edge. Reads SIZE.shifttl (shortens the right and bottom inpaint
/// bands) and SIZE.inpaint_max (softens the inpaint mask).
///
///   feather_left, cbm 4, ibm 2:   0 0 0 .25 .5 .75 1 1 ...
///                                 |ibm| ramp cbm  |
///   feather_left and _right:      0 0 .75 .5 .25 0 0 0   (the far band is written last)
///
/// Compositing bands: ibm zeros (when ibm > 0), then a ramp of cbm. Inpaint
/// bands: ibm + ishift zeros, then a ramp of iblur; the right and bottom ones
/// are SIZE.shifttl shorter in zeros and in total. Softening with
/// m = SIZE.inpaint_max: above 1 + 2^-51 the floor rises to m - 1 (values of 1
/// stay), below 1 (not 0) values scale by m, otherwise nothing; then clamped to 0..1.
///
/// A band longer than its profile, near or far: IndexError naming the side.
/// More than overlay_mask_bytes() beyond the available memory: ValueError,
/// before anything is allocated. Negative tile sizes, NaN or infinite margins or SIZE.inpaint_max, margin
/// sums beyond int64: ValueError. An unset SIZE field: KeyError.
MaskPair create_custom_tile_overlay_mask(const NodeState& SELF, int64_t tile_width, int64_t tile_height,
                                         const OverlayMaskOptions& options = {});

/// The inpaint mask of the tile `grid_specs_index`: feathered on each side
/// that faces a neighbour (first column: right only; last column: left only;
/// the same for rows), capped by a short border guard unless
/// PARAMS.FLUX_Kontext. Upscale_Detailer (absent, 0 or 1: no effect)
/// rescales the three margins and replaces the size by the tile's own size
/// times the factor, truncating each. Result float32 [1, 1, H, W].
///
///   border guard along a shared left edge:   0 0 1/3 2/3 1 ...
///
/// A factor whose products are NaN or infinite, or more memory than is
/// available for the three masks alive at its peak: ValueError. Errors of
/// create_custom_tile_overlay_mask pass through; unset PARAMS.FLUX_Kontext: KeyError.
at::Tensor get_inpaint_mask(const NodeState& SELF, int64_t latent_image_H, int64_t latent_image_W,
                            int64_t cols_qty, int64_t rows_qty, const GridSpec& grid_specs_index,
                            double inpaint_blur_margin, double inpaint_shift, double inpaint_border_margin,
                            std::optional<double> Upscale_Detailer, double inpaint_max = 1);

}  // namespace quorv::masks

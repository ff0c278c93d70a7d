// Debug pictures: two tile masks over a picture with the inner-tile frame,
// and the band lines of a tile.
//
// Both draw on a private 8-bit copy (channel 0 red) and return a new float32
// [1, H, W, 3] picture whose values are 8-bit levels divided by 255; the
// picture given is never changed. A picture whose levels are all 0 or 1 is
// taken as a 0/1 picture and stretched to 0 and 255 first.
#pragma once

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <string>

#include "host/node_state.h"
#include "image/geometry/geometry.h"

namespace quorv::previews {

/// Message of Preview_Mask for a picture with no pixels (an AssertionError).
inline constexpr const char* kBackgroundEmpty = "Background image is empty or not loaded";

/// `background_img` tinted red by the complement of `mask1` and green by the
/// complement of `mask2` (each added at half strength, rounded, saturating),
/// with a black frame of thickness 2 around the inner tile:
///
///   +--------------------------+   W x H picture; masks centred on it
///   |    (cx - sw/2, cy - sh/2)|   cx = W/2, cy = H/2 (floored)
///   |      +------------+      |   sw x sh: SIZE.actual_inner_tile_sizeW/H,
///   |      |   frame    |      |   or W - 2*feather x H - 2*feather when
///   |      +------------+      |   fusion_mode is "Generative Tile Fusion"
///   |          (cx + sw/2, cy + sh/2)
///   +--------------------------+
///
/// Each mask must squeeze to two axes; a mask smaller than the picture lands
/// centred (an odd difference leaves the extra row or column at the bottom or
/// right), one larger is cut to the picture from its top-left corner after the
/// line "Warning: Mask (h,w) larger than canvas (H,W), cropping." is printed.
/// A picture narrower or lower than the inner tile is returned itself,
/// undrawn. `feather_inpaint` is accepted and not read; the frame may reach
/// beyond the picture and is then cut off.
/// Errors: `background_img` not float32 [1, H, W, 3] or a mask of another
/// shape: ValueError; a picture with no pixels: AssertionError(kBackgroundEmpty);
/// an unset SIZE field: KeyError.
at::Tensor Preview_Mask(const geometry::ArrayLike& mask1, const geometry::ArrayLike& mask2,
                        const at::Tensor& background_img, const SizeState& SIZE, double feather_inpaint,
                        int64_t feather, const std::string& fusion_mode);

/// `background_img` with the mask bands of a tile drawn as one-pixel lines,
/// each band at its offset d from all four edges (Wl, Hl: last column, row):
///
///   band            drawn when                          d         colour
///   compositing     fm >= 1                             fm        red
///   inpaint border  fi > 0 and fi + (fm if red drawn    fi + fm   green
///                   else 0) >= 1
///   inpaint ramp    fb > 0 and fm - fb >= 1             fm - fb   yellow
///
///   x = d    x = Wl - d
///     |          |
///   --+----------+--  y = d
///     |          |
///   --+----------+--  y = Hl - d
///
/// fi, fb, fm: SIZE.inpaint_border_margin, inpaint_blur_margin and
/// composite_blur_margin. Bands are drawn in the order of the table, so a
/// later band covers an earlier one where they meet; lines outside the
/// picture are dropped. `background_img` must be float32 [1, H, W, 3]
/// (ValueError otherwise); an unset SIZE field: KeyError.
at::Tensor overlay_tile_grid(const at::Tensor& background_img, const SizeState& SIZE);

}  // namespace quorv::previews

#include <ATen/ATen.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "host/checked_math.h"
#include "host/errors.h"
#include "host/memory.h"
#include "image/masks/masks.h"

namespace quorv::masks {
namespace {

// Strengths up to 1 + 2^-51 leave the inpaint mask as it is.
constexpr double kSofteningThreshold = 1.0000000000000004;

// `total` pixels at one edge: `border` zeros, then values rising by 1 / `ramp` per pixel.
struct Band {
  int64_t total;
  int64_t border;
  int64_t ramp;
};

// The band's values by distance from its edge, computed in double and stored
// as float32; undefined when no side uses the band or it is empty.
at::Tensor band_values(const Band& band, bool used) {
  if (!used || band.total <= 0) return {};
  // Every band has total = border + ramp: without a ramp it holds only zeros,
  // and with one the values below 0 are exactly the border's.
  if (band.ramp <= 0) return at::zeros({band.total}, at::kFloat);
  return at::arange(band.total, at::kDouble).sub_(band.border).div_(band.ramp).clamp_min_(0).to(at::kFloat);
}

// Ones, with the near values written from index 0 upwards, then the far values from the last index down.
at::Tensor edge_profile(int64_t length, bool near_on, const at::Tensor& near, bool far_on, const at::Tensor& far) {
  at::Tensor profile = at::ones({length}, at::kFloat);
  if (near_on && near.defined()) profile.narrow(0, 0, near.size(0)).copy_(near);
  if (far_on && far.defined()) profile.narrow(0, length - far.size(0), far.size(0)).copy_(far.flip(0));
  return profile;
}

// Lifts the floor of a mask to m - 1 (m above the threshold) or scales it by m (m below 1, not 0).
at::Tensor softened(const at::Tensor& mask, double m) {
  if (m > kSofteningThreshold) {
    const double k = m - 1;
    return at::where(mask < 1, mask * (1 - k) + k, mask).clamp_(0, 1);
  }
  if (m < 1 && m != 0) return (mask * (1 + (m - 1))).clamp_(0, 1);
  return mask;
}

// [1, 1, H, W]: the smaller of the row's and the column's profile value.
at::Tensor outer_minimum(const at::Tensor& rows, const at::Tensor& cols) {
  return at::minimum(rows.view({1, 1, rows.size(0), 1}), cols.view({1, 1, 1, cols.size(0)}));
}

// Clamping and softening are monotone, so applying them to the two profiles
// before the outer minimum gives the same mask as applying them to the mask.
MaskPair tile_overlay_masks(int64_t W, int64_t H, const Band& c_band, const Band& i_near,
                            const Band& i_far, double m, const OverlayMaskOptions& o) {
  const bool l = o.feather_left, t = o.feather_top, r = o.feather_right, b = o.feather_bottom;
  const at::Tensor c_values = band_values(c_band, l || t || r || b);
  const at::Tensor i_near_values = band_values(i_near, l || t);
  const at::Tensor i_far_values = band_values(i_far, r || b);
  const at::Tensor c_grad_x = edge_profile(W, l, c_values, r, c_values);
  const at::Tensor c_grad_y = edge_profile(H, t, c_values, b, c_values);
  const at::Tensor i_grad_x = edge_profile(W, l, i_near_values, r, i_far_values);
  const at::Tensor i_grad_y = edge_profile(H, t, i_near_values, b, i_far_values);
  return {outer_minimum(c_grad_y.clamp_(0, 1), c_grad_x.clamp_(0, 1)),
          outer_minimum(softened(i_grad_y.clamp_max_(1), m), softened(i_grad_x.clamp_max_(1), m))};
}

void require_band_fits(bool feathered, const Band& band, int64_t length, const char* side,
                       const char* size_name) {
  if (feathered && band.total > length)
    throw IndexError(std::string("create_custom_tile_overlay_mask: the ") + side + " band must be at most " +
                     size_name + " = " + std::to_string(length) + " pixels long, got " +
                     std::to_string(band.total));
}

}  // namespace

int64_t overlay_mask_bytes(int64_t tile_width, int64_t tile_height, int64_t masks) {
  const char* what = "overlay_mask_bytes: tile_width * tile_height";
  const int64_t w = std::max<int64_t>(tile_width, 0), h = std::max<int64_t>(tile_height, 0);
  // Per pixel of each axis: four float profiles, the softening's compare,
  // products and result (13 bytes for each of two profiles), three float
  // bands built through a double ramp (24 bytes at most): 48 bytes covers it,
  // and a zero size on one axis still makes the full profiles of the other.
  const int64_t profiles = checked_mul(checked_add(w, h, what), 48, what);
  return checked_add(float_bytes(checked_mul(checked_mul(w, h, what), std::max<int64_t>(masks, 0), what), what),
                     profiles, what);
}

MaskPair create_custom_tile_overlay_mask(const NodeState& SELF, int64_t tile_width, int64_t tile_height,
                                         const OverlayMaskOptions& options) {
  if (tile_width < 0)
    throw ValueError("create_custom_tile_overlay_mask: tile_width must be >= 0, got " +
                     std::to_string(tile_width));
  if (tile_height < 0)
    throw ValueError("create_custom_tile_overlay_mask: tile_height must be >= 0, got " +
                     std::to_string(tile_height));
  require_memory_for(overlay_mask_bytes(tile_width, tile_height),
                     "create_custom_tile_overlay_mask: masks of " + std::to_string(tile_width) + "x" +
                         std::to_string(tile_height));
  const int64_t shifttl = SELF.SIZE.shifttl.get();
  const int64_t cbm = truncate_to_int(options.composite_blur_margin,
                                      "create_custom_tile_overlay_mask: composite_blur_margin");
  const int64_t ibm = truncate_to_int(options.inpaint_border_margin,
                                      "create_custom_tile_overlay_mask: inpaint_border_margin");
  const int64_t iblur = truncate_to_int(options.inpaint_blur_margin,
                                        "create_custom_tile_overlay_mask: inpaint_blur_margin");
  const int64_t ishift =
      truncate_to_int(options.inpaint_shift, "create_custom_tile_overlay_mask: inpaint_shift");

  const Band c_band =
      ibm <= 0 ? Band{cbm, 0, cbm}
               : Band{checked_add(cbm, ibm, "create_custom_tile_overlay_mask: composite_blur_margin + "
                                            "inpaint_border_margin"),
                      ibm, cbm};
  const int64_t i_shiftwidth =
      checked_add(ibm, ishift, "create_custom_tile_overlay_mask: inpaint_border_margin + inpaint_shift");
  const int64_t i_totalwidth = checked_add(
      i_shiftwidth, iblur,
      "create_custom_tile_overlay_mask: inpaint_border_margin + inpaint_shift + inpaint_blur_margin");
  const Band i_near{i_totalwidth, i_shiftwidth, iblur};
  const Band i_far{checked_sub(i_totalwidth, shifttl, "create_custom_tile_overlay_mask: far inpaint band"),
                   checked_sub(i_shiftwidth, shifttl, "create_custom_tile_overlay_mask: far inpaint border"),
                   iblur};

  require_band_fits(options.feather_left, c_band, tile_width, "left compositing", "tile_width");
  require_band_fits(options.feather_right, c_band, tile_width, "right compositing", "tile_width");
  require_band_fits(options.feather_top, c_band, tile_height, "top compositing", "tile_height");
  require_band_fits(options.feather_bottom, c_band, tile_height, "bottom compositing", "tile_height");
  require_band_fits(options.feather_left, i_near, tile_width, "left inpaint", "tile_width");
  require_band_fits(options.feather_right, i_far, tile_width, "right inpaint", "tile_width");
  require_band_fits(options.feather_top, i_near, tile_height, "top inpaint", "tile_height");
  require_band_fits(options.feather_bottom, i_far, tile_height, "bottom inpaint", "tile_height");

  const double inpaint_max = SELF.SIZE.inpaint_max.get();
  if (!std::isfinite(inpaint_max))
    throw ValueError("create_custom_tile_overlay_mask: SIZE.inpaint_max must be a finite number, got " +
                     std::to_string(inpaint_max));
  return tile_overlay_masks(tile_width, tile_height, c_band, i_near, i_far, inpaint_max, options);
}

}  // namespace quorv::masks

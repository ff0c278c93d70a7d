// Quorv_Image: every operation of the image module, as the host's upscaler
// node calls them.
//
// The class has no data and no constructor of its own; it is a namespace of
// operations. Class-level operations are static (calling them on the class or
// on an object is the same); better_downscale, Preview_Mask and
// overlay_tile_grid need an object. Each operation forwards to its subsystem,
// where its contract is documented:
//
//   image/geometry/   sizes divisible by 8, grid, tiles, Kontext crop, 8-bit conversion
//   image/masks/      mask constants, tile overlay and inpaint masks
//   image/reassembly/ rebuilding the full picture from tiles and segments
//   image/fusion/     blending a new tile into its finished neighbours
//   image/service/    the fusion service request and client
//   image/previews/   debug pictures of masks and mask bands
#pragma once

#include <ATen/core/Tensor.h>

#include "host/node_state.h"
#include "image/geometry/geometry.h"
#include "image/grid_spec.h"

namespace quorv {

class Quorv_Image {
 public:
  // --- tile geometry --------------------------------------------------------
  static bool is_divisible_by_8(const at::Tensor& image) { return geometry::is_divisible_by_8(image); }
  static geometry::NewDimensions calculate_new_dimensions(int64_t image_width, int64_t image_height) {
    return geometry::calculate_new_dimensions(image_width, image_height);
  }
  static geometry::Divby8Result format_2_divby8(const at::Tensor& image) {
    return geometry::format_2_divby8(image);
  }
};

}  // namespace quorv

// Quorv_Image: every operation of the image module, as the host's upscaler
// node calls them.
//
// The class has no data and no constructor of its own; it is a namespace of
// operations. Class-level operations are static (calling them on the class or
// on an object is the same); better_downscale, Preview_Mask and
// overlay_tile_grid need an object. Each operation forwards to its subsystem,
// whose header documents the contract:
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
#include "image/masks/masks.h"
#include "image/previews/previews.h"
#include "image/service/service.h"

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
  static std::vector<GridSpec> get_tiled_grid_specs(NodeState& SELF, const at::Tensor& image) {
    return geometry::get_tiled_grid_specs(SELF, image);
  }
  static std::vector<at::Tensor> get_grid_images(const at::Tensor& image,
                                                 const std::vector<GridSpec>& grid_specs) {
    return geometry::get_grid_images(image, grid_specs);
  }
  static int64_t find_index(const std::vector<GridSpec>& grid_spec, int64_t x, int64_t y) {
    return geometry::find_index(grid_spec, x, y);
  }
  static geometry::KontextCrop get_kontext_crop(const NodeState& SELF, const at::Tensor& tile_to_process,
                                                const std::vector<GridSpec>& grid_specs, int64_t index) {
    return geometry::get_kontext_crop(SELF, tile_to_process, grid_specs, index);
  }
  at::Tensor better_downscale(const at::Tensor& image, int64_t width, int64_t height,
                              const std::string& upscale_method = "lanczos",
                              const std::optional<std::string>& upscale_model_name = std::nullopt) const {
    return geometry::better_downscale(image, width, height, upscale_method, upscale_model_name);
  }
  static cv::Mat to_numpy_uint8(const geometry::ArrayLike& mask) { return geometry::to_numpy_uint8(mask); }

  // --- masks ----------------------------------------------------------------
  static masks::MaskConstants set_mask_constants(NodeState& SELF) { return masks::set_mask_constants(SELF); }
  static masks::MaskPair create_custom_tile_overlay_mask(const NodeState& SELF, int64_t tile_width,
                                                         int64_t tile_height,
                                                         const masks::OverlayMaskOptions& options = {}) {
    return masks::create_custom_tile_overlay_mask(SELF, tile_width, tile_height, options);
  }
  static at::Tensor get_inpaint_mask(const NodeState& SELF, int64_t latent_image_H, int64_t latent_image_W,
                                     int64_t cols_qty, int64_t rows_qty, const GridSpec& grid_specs_index,
                                     double inpaint_blur_margin, double inpaint_shift,
                                     double inpaint_border_margin, std::optional<double> Upscale_Detailer,
                                     double inpaint_max = 1) {
    return masks::get_inpaint_mask(SELF, latent_image_H, latent_image_W, cols_qty, rows_qty, grid_specs_index,
                                   inpaint_blur_margin, inpaint_shift, inpaint_border_margin,
                                   Upscale_Detailer, inpaint_max);
  }

  // --- previews -------------------------------------------------------------
  at::Tensor Preview_Mask(const geometry::ArrayLike& mask1, const geometry::ArrayLike& mask2,
                          const at::Tensor& background_img, const SizeState& SIZE, double feather_inpaint,
                          int64_t feather, const std::string& fusion_mode) const {
    return previews::Preview_Mask(mask1, mask2, background_img, SIZE, feather_inpaint, feather, fusion_mode);
  }
  at::Tensor overlay_tile_grid(const at::Tensor& background_img, const SizeState& SIZE) const {
    return previews::overlay_tile_grid(background_img, SIZE);
  }

  // --- fusion service -------------------------------------------------------
  static service::Json prepare_neuro_generative_fusion(const std::vector<GridSpec>& grid_specs, int64_t index,
                                                      const service::Json& upscalemultiplier = 1) {
    return service::prepare_neuro_generative_fusion(grid_specs, index, upscalemultiplier);
  }
  static std::optional<service::Json> neighbour(const service::Json& info, const std::string& key) {
    return service::neighbour(info, key);
  }
  static service::Json api_nuero_generative_fusion_tiles(const service::Json& payload, const NodeState& SELF,
                                                        const service::ClientOptions& options = {}) {
    return service::api_nuero_generative_fusion_tiles(payload, SELF, options);
  }

  // --- tile fusion ----------------------------------------------------------

  // --- reassembly -----------------------------------------------------------
};

}  // namespace quorv

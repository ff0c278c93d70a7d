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
#include "image/fusion/fusion.h"
#include "image/masks/masks.h"
#include "image/reassembly/reassembly.h"
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
  static at::Tensor blend_neighbor_tensor(const NodeState& SELF, const at::Tensor& combined,
                                          const at::Tensor& neighbor_img, int64_t cropmargin,
                                          const std::string& side, int64_t feather_margin, const at::Device& device) {
    return fusion::blend_neighbor_tensor(SELF, combined, neighbor_img, cropmargin, side, feather_margin, device);
  }
  static at::Tensor blend_topright_tensor_perpv1(const NodeState& SELF, const at::Tensor& combined,
                                                 const at::Tensor& neighbor_img, int64_t crop_x, int64_t crop_y,
                                                 int64_t feather_margin, const at::Device& device) {
    return fusion::blend_topright_tensor_perpv1(SELF, combined, neighbor_img, crop_x, crop_y, feather_margin, device);
  }
  static at::Tensor blend_topright_tensor(const NodeState& SELF, const at::Tensor& combined,
                                          const at::Tensor& neighbor_img, int64_t crop_x, int64_t crop_y,
                                          int64_t feather_margin_x, int64_t feather_margin_y,
                                          const at::Device& device) {
    return fusion::blend_topright_tensor(SELF, combined, neighbor_img, crop_x, crop_y, feather_margin_x,
                                         feather_margin_y, device);
  }
  static at::Tensor blend_bottomright_tensor(const NodeState& SELF, const at::Tensor& combined,
                                             const at::Tensor& neighbor_img, int64_t crop_x, int64_t crop_y,
                                             int64_t feather_margin, const at::Device& device) {
    return fusion::blend_bottomright_tensor(SELF, combined, neighbor_img, crop_x, crop_y, feather_margin, device);
  }
  static at::Tensor add_last_generated_to_base_image(const NodeState& SELF, const std::string& iteration,
                                                     const at::Tensor& thisindexTile,
                                                     const std::vector<GridSpec>& grid_specs, int64_t index,
                                                     const std::vector<OptionalImage>& output_images, bool blend_all,
                                                     const service::Json& upscalemultiplier = 1) {
    return fusion::add_last_generated_to_base_image(SELF, iteration, thisindexTile, grid_specs, index,
                                                    output_images, blend_all, upscalemultiplier);
  }
  static at::Tensor add_last_generated_to_base_image_V1(const NodeState& SELF, const std::string& iteration,
                                                        const at::Tensor& thisindexTile,
                                                        const std::vector<GridSpec>& grid_specs, int64_t index,
                                                        const std::vector<OptionalImage>& output_images,
                                                        bool blend_all, const service::Json& upscalemultiplier = 1) {
    return fusion::add_last_generated_to_base_image_V1(SELF, iteration, thisindexTile, grid_specs, index,
                                                       output_images, blend_all, upscalemultiplier);
  }

  // --- reassembly -----------------------------------------------------------
  static reassembly::FinalRebuild rebuild_final_image(
      NodeState& SELF, const std::string& iteration, const std::vector<OptionalImage>& output_images,
      const at::Tensor& image, const std::vector<GridSpec>& grid_specs, const std::string& upscale_scale,
      int64_t rows_qty, int64_t cols_qty, const std::vector<std::string>& grid_prompts,
      const std::vector<double>& segs_scales, const std::vector<std::pair<at::Tensor, at::Tensor>>& segms_cropped_masks,
      const reassembly::SegmentList& segms_new, const std::string& upscale_method, bool nosegments = false) {
    return reassembly::rebuild_final_image(SELF, iteration, output_images, image, grid_specs, upscale_scale, rows_qty,
                                           cols_qty, grid_prompts, segs_scales, segms_cropped_masks, segms_new,
                                           upscale_method, nosegments);
  }
  static reassembly::TileRebuild rebuild_tiles(const NodeState& SELF, const std::vector<GridSpec>& grid_spec_tile,
                                               const std::vector<OptionalImage>& output_images,
                                               const at::Tensor& output_image, const at::Tensor& image, int64_t total,
                                               const std::string& iteration, int64_t feather_mask,
                                               int64_t crop_margin) {
    return reassembly::rebuild_tiles(SELF, grid_spec_tile, output_images, output_image, image, total, iteration,
                                     feather_mask, crop_margin);
  }
  static std::vector<reassembly::TileOrderEntry> rebuild_tile_order(const std::vector<OptionalImage>& output_images,
                                                                    const std::vector<GridSpec>& grid_specs,
                                                                    const std::vector<std::string>& grid_prompts) {
    return reassembly::rebuild_tile_order(output_images, grid_specs, grid_prompts);
  }
  static at::Tensor composite_segment_with_generation(const NodeState& SELF,
                                                      const at::Tensor& cropped_segment_from_finalimage,
                                                      const at::Tensor& original_segment, int64_t index) {
    return reassembly::composite_segment_with_generation(SELF, cropped_segment_from_finalimage, original_segment,
                                                         index);
  }
};

}  // namespace quorv

// Masks on Quorv_Image: mask constants, the tile overlay mask and the inpaint mask.
#include "image/masks/masks.h"

#include "python/conversions.h"
#include "python/node_state_adapter.h"

namespace quorv::python {

void bind_masks(QuorvClass& cls) {
  cls.def_static(
      "set_mask_constants",
      [](py::object SELF) {
        const auto [inpaint_margin, tile_grid_W, tile_grid_H, rows_qty, cols_qty] =
            with_node_state(SELF, true, [](NodeState& state) {
              return without_gil([&] { return Quorv_Image::set_mask_constants(state); });
            });
        return py::make_tuple(inpaint_margin, tile_grid_W, tile_grid_H, rows_qty, cols_qty);
      },
      py::arg("SELF"), "(inpaint_margin, tile_grid_W, tile_grid_H, rows_qty, cols_qty); writes SELF's sizes.");

  cls.def_static(
      "create_custom_tile_overlay_mask",
      [](py::object SELF, int64_t tile_width, int64_t tile_height, double composite_blur_margin,
         double inpaint_border_margin, double inpaint_blur_margin, double inpaint_shift, double inpaint_max,
         bool feather_left, bool feather_top, bool feather_right, bool feather_bottom) {
        const masks::OverlayMaskOptions options{composite_blur_margin, inpaint_border_margin, inpaint_blur_margin,
                                                inpaint_shift, inpaint_max, feather_left, feather_top,
                                                feather_right, feather_bottom};
        const auto [compositing_mask, inpaint_mask] = with_node_state(SELF, false, [&](const NodeState& state) {
          return without_gil(
              [&] { return Quorv_Image::create_custom_tile_overlay_mask(state, tile_width, tile_height, options); });
        });
        return py::make_tuple(compositing_mask, inpaint_mask);
      },
      py::arg("SELF"), py::arg("tile_width"), py::arg("tile_height"), py::arg("composite_blur_margin") = 64,
      py::arg("inpaint_border_margin") = 0, py::arg("inpaint_blur_margin") = 0, py::arg("inpaint_shift") = 0,
      py::arg("inpaint_max") = 1, py::arg("feather_left") = false, py::arg("feather_top") = false,
      py::arg("feather_right") = false, py::arg("feather_bottom") = false,
      "(compositing mask, inpaint mask), each float32 [1, 1, tile_height, tile_width].");

  cls.def_static(
      "get_inpaint_mask",
      [](py::object SELF, int64_t latent_image_H, int64_t latent_image_W, int64_t cols_qty, int64_t rows_qty,
         py::object grid_specs_index, double inpaint_blur_margin, double inpaint_shift, double inpaint_border_margin,
         std::optional<double> Upscale_Detailer, double inpaint_max) {
        const GridSpec tile = grid_spec_value(grid_specs_index, "grid_specs_index");
        return tensor_object(with_node_state(SELF, false, [&](const NodeState& state) {
          return without_gil([&] {
            return Quorv_Image::get_inpaint_mask(state, latent_image_H, latent_image_W, cols_qty, rows_qty, tile,
                                                 inpaint_blur_margin, inpaint_shift, inpaint_border_margin,
                                                 Upscale_Detailer, inpaint_max);
          });
        }));
      },
      py::arg("SELF"), py::arg("latent_image_H"), py::arg("latent_image_W"), py::arg("cols_qty"),
      py::arg("rows_qty"), py::arg("grid_specs_index"), py::arg("inpaint_blur_margin"), py::arg("inpaint_shift"),
      py::arg("inpaint_border_margin"), py::arg("Upscale_Detailer"), py::arg("inpaint_max") = 1,
      "The tile's inpaint mask, float32 [1, 1, H, W], feathered on the sides facing a neighbour.");
}

}  // namespace quorv::python

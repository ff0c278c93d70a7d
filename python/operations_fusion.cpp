// Tile fusion on Quorv_Image: strip and corner blends and both fusion updates.
#include "image/fusion/fusion.h"

#include "host/errors.h"
#include "python/conversions.h"
#include "python/node_state_adapter.h"

namespace quorv::python {
namespace {

using Update = at::Tensor (*)(const NodeState&, const std::string&, const at::Tensor&, const std::vector<GridSpec>&,
                              int64_t, const std::vector<OptionalImage>&, bool, const service::Json&);

// Both fusion updates take the same arguments.
void bind_update(QuorvClass& cls, const char* name, Update update, const char* doc) {
  cls.def_static(
      name,
      [update](py::object SELF, py::object iteration, TensorObject thisindexTile_object, py::object grid_specs,
               int64_t index, py::object output_images, bool blend_all, py::object upscalemultiplier) {
        const at::Tensor thisindexTile = picture_value(thisindexTile_object, "thisindexTile");
        const std::string iteration_text = printable(iteration);
        const std::vector<GridSpec> specs = grid_spec_list(grid_specs, "grid_specs");
        const std::vector<OptionalImage> images = optional_image_list(output_images, "output_images");
        const service::Json multiplier = json_value(upscalemultiplier, "upscalemultiplier");
        return tensor_object(with_node_state(SELF, false, [&](const NodeState& state) {
          return without_gil([&] {
            return update(state, iteration_text, thisindexTile, specs, index, images, blend_all, multiplier);
          });
        }));
      },
      py::arg("SELF"), py::arg("iteration"), py::arg("thisindexTile"), py::arg("grid_specs"), py::arg("index"),
      py::arg("output_images"), py::arg("blend_all"), py::arg("upscalemultiplier") = 1, doc);
}

using CornerBlend = at::Tensor (*)(const NodeState&, const at::Tensor&, const at::Tensor&, int64_t, int64_t, int64_t,
                                   const at::Device&);

// The two corner blends with one feather margin take the same arguments.
void bind_corner_blend(QuorvClass& cls, const char* name, CornerBlend blend, const char* doc) {
  cls.def_static(
      name,
      [blend](py::object SELF, TensorObject combined_object, TensorObject neighbor_img_object, int64_t crop_x,
              int64_t crop_y, int64_t feather_margin, py::object device) {
        const at::Tensor combined = picture_value(combined_object, "combined");
        const at::Tensor neighbor_img = picture_value(neighbor_img_object, "neighbor_img");
        const at::Device on = device_value(device, "device");
        return tensor_object(with_node_state(SELF, false, [&](const NodeState& state) {
          return without_gil([&] { return blend(state, combined, neighbor_img, crop_x, crop_y, feather_margin, on); });
        }));
      },
      py::arg("SELF"), py::arg("combined"), py::arg("neighbor_img"), py::arg("crop_x"), py::arg("crop_y"),
      py::arg("feather_margin"), py::arg("device"), doc);
}

}  // namespace

void bind_fusion(QuorvClass& cls) {
  cls.def_static(
      "blend_neighbor_tensor",
      [](py::object SELF, TensorObject combined_object, TensorObject neighbor_img_object, int64_t cropmargin,
         const std::string& side, int64_t feather_margin, py::object device) {
        const at::Tensor combined = picture_value(combined_object, "combined");
        const at::Tensor neighbor_img = picture_value(neighbor_img_object, "neighbor_img");
        if (side != "top" && side != "left" && side != "bottom" && side != "right")
          throw ValueError("side must be \"top\", \"left\", \"bottom\" or \"right\", got \"" + side + "\"");
        const at::Device on = device_value(device, "device");
        return tensor_object(with_node_state(SELF, false, [&](const NodeState& state) {
          return without_gil([&] {
            return Quorv_Image::blend_neighbor_tensor(state, combined, neighbor_img, cropmargin, side, feather_margin,
                                                      on);
          });
        }));
      },
      py::arg("SELF"), py::arg("combined"), py::arg("neighbor_img"), py::arg("cropmargin"), py::arg("side"),
      py::arg("feather_margin"), py::arg("device"), "The overlap strip of one edge with the neighbour faded in.");

  bind_corner_blend(cls, "blend_topright_tensor_perpv1", &Quorv_Image::blend_topright_tensor_perpv1,
                    "The top-right corner blended with ramps along both axes.");

  cls.def_static(
      "blend_topright_tensor",
      [](py::object SELF, TensorObject combined_object, TensorObject neighbor_img_object, int64_t crop_x,
         int64_t crop_y,
         int64_t feather_margin_x, int64_t feather_margin_y, py::object device) {
        const at::Tensor combined = picture_value(combined_object, "combined");
        const at::Tensor neighbor_img = picture_value(neighbor_img_object, "neighbor_img");
        const at::Device on = device_value(device, "device");
        return tensor_object(with_node_state(SELF, false, [&](const NodeState& state) {
          return without_gil([&] {
            return Quorv_Image::blend_topright_tensor(state, combined, neighbor_img, crop_x, crop_y, feather_margin_x,
                                                      feather_margin_y, on);
          });
        }));
      },
      py::arg("SELF"), py::arg("combined"), py::arg("neighbor_img"), py::arg("crop_x"), py::arg("crop_y"),
      py::arg("feather_margin_x"), py::arg("feather_margin_y"), py::arg("device"),
      "The top-right corner mixed with the neighbour's bottom-left corner.");

  bind_corner_blend(cls, "blend_bottomright_tensor", &Quorv_Image::blend_bottomright_tensor,
                    "The bottom-right corner mixed with the neighbour's top-left.");

  bind_update(cls, "add_last_generated_to_base_image", &Quorv_Image::add_last_generated_to_base_image,
              "The tile fused into its finished neighbours as the fusion service directs.");
  bind_update(cls, "add_last_generated_to_base_image_V1", &Quorv_Image::add_last_generated_to_base_image_V1,
              "The accumulating form of the fusion update, reading the reply strictly.");
}

}  // namespace quorv::python

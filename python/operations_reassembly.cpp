// Reassembly on Quorv_Image: rebuilding the full picture from tiles and segments.
#include "image/reassembly/reassembly.h"

#include "python/conversions.h"
#include "python/node_state_adapter.h"

namespace quorv::python {
namespace {

// segs_scales only needs an entry per pasted segment; its values have no effect.
std::vector<double> placeholder_scales(py::object segs_scales) {
  return std::vector<double>(py::len(segs_scales), 0.0);
}

}  // namespace

void bind_reassembly(QuorvClass& cls) {
  cls.def_static(
      "rebuild_final_image",
      [](py::object SELF, py::object iteration, py::object output_images, TensorObject image_object,
         py::object grid_specs, py::object upscale_scale, py::object /*rows_qty*/, py::object /*cols_qty*/,
         py::object grid_prompts, py::object segs_scales, py::object segms_cropped_masks, py::object segms_new,
         py::object upscale_method, bool nosegments) {
        const at::Tensor image = picture_value(image_object, "image");
        const std::string iteration_text = printable(iteration);
        const std::vector<OptionalImage> images = optional_image_list(output_images, "output_images");
        const std::vector<GridSpec> specs = grid_spec_list(grid_specs, "grid_specs");
        require_specs_inside(specs, image, "grid_specs", true);
        const std::vector<std::string> prompts = text_list(grid_prompts, "grid_prompts");
        const std::vector<double> scales = placeholder_scales(segs_scales);
        const auto cropped_masks = tensor_pair_list(segms_cropped_masks, "segms_cropped_masks");
        const reassembly::SegmentList segments = segment_list(segms_new, "segms_new");
        const std::string scale_text = printable(upscale_scale), method_text = printable(upscale_method);
        const auto [full_image, full_image_only_tiles, tiles_order, image_gridoverlay] =
            with_node_state(SELF, true, [&](NodeState& state) {
              return without_gil([&] {
                return Quorv_Image::rebuild_final_image(state, iteration_text, images, image, specs, scale_text, 0, 0,
                                                        prompts, scales, cropped_masks, segments, method_text,
                                                        nosegments);
              });
            });
        return py::make_tuple(full_image, full_image_only_tiles, tile_order_objects(tiles_order),
                              optional_image_object(image_gridoverlay));
      },
      py::arg("SELF"), py::arg("iteration"), py::arg("output_images"), py::arg("image"), py::arg("grid_specs"),
      py::arg("upscale_scale"), py::arg("rows_qty"), py::arg("cols_qty"), py::arg("grid_prompts"),
      py::arg("segs_scales"), py::arg("segms_cropped_masks"), py::arg("segms_new"), py::arg("upscale_method"),
      py::arg("nosegments") = false,
      "(full_image, full_image_only_tiles, tiles_order, first entry of output_images).");

  cls.def_static(
      "rebuild_tiles",
      [](py::object SELF, py::object grid_spec_tile, py::object output_images, TensorObject output_image_object,
         TensorObject image_object, int64_t total, py::object iteration, int64_t feather_mask, int64_t crop_margin) {
        const at::Tensor output_image = picture_value(output_image_object, "output_image");
        const at::Tensor image = picture_value(image_object, "image");
        const std::vector<GridSpec> specs = grid_spec_list(grid_spec_tile, "grid_spec_tile");
        require_specs_inside(specs, image, "grid_spec_tile", true);
        const std::vector<OptionalImage> images = optional_image_list(output_images, "output_images");
        const std::string iteration_text = printable(iteration);
        const auto [full_image, full_image_only_tiles] = with_node_state(SELF, false, [&](const NodeState& state) {
          return without_gil([&] {
            return Quorv_Image::rebuild_tiles(state, specs, images, output_image, image, total, iteration_text,
                                              feather_mask, crop_margin);
          });
        });
        return py::make_tuple(full_image, full_image_only_tiles);
      },
      py::arg("SELF"), py::arg("grid_spec_tile"), py::arg("output_images"), py::arg("output_image"),
      py::arg("image"), py::arg("total"), py::arg("iteration"), py::arg("feather_mask"), py::arg("crop_margin"),
      "(full_image, full_image_only_tiles): the regular tiles pasted through feathered masks.");

  cls.def_static(
      "rebuild_tile_order",
      [](py::object output_images, py::object grid_specs, py::object grid_prompts) {
        const std::vector<OptionalImage> images = optional_image_list(output_images, "output_images");
        const std::vector<GridSpec> specs = grid_spec_list(grid_specs, "grid_specs");
        const std::vector<std::string> prompts = text_list(grid_prompts, "grid_prompts");
        return tile_order_objects(Quorv_Image::rebuild_tile_order(images, specs, prompts));
      },
      py::arg("output_images"), py::arg("grid_specs"), py::arg("grid_prompts"),
      "A list of (order, tile picture, prompt): regular tiles, then segment tiles with a picture.");

  cls.def_static(
      "composite_segment_with_generation",
      [](py::object SELF, TensorObject cropped_segment_from_finalimage_object, TensorObject original_segment_object,
         int64_t index) {
        const at::Tensor cropped_segment_from_finalimage =
            picture_value(cropped_segment_from_finalimage_object, "cropped_segment_from_finalimage");
        const at::Tensor original_segment = picture_value(original_segment_object, "original_segment");
        return tensor_object(with_node_state(SELF, false, [&](const NodeState& state) {
          return without_gil([&] {
            return Quorv_Image::composite_segment_with_generation(state, cropped_segment_from_finalimage,
                                                                  original_segment, index);
          });
        }));
      },
      py::arg("SELF"), py::arg("cropped_segment_from_finalimage"), py::arg("original_segment"), py::arg("index"),
      "The regenerated segment pasted onto its crop through the segment's upscaled mask.");
}

}  // namespace quorv::python

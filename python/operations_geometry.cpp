// Tile geometry on Quorv_Image: sizes divisible by 8, the grid, tiles, the
// Kontext crop, downscaling and the 8-bit conversion.
#include "image/geometry/geometry.h"

#include <torch/csrc/autograd/python_variable.h>

#include "host/errors.h"
#include "python/conversions.h"
#include "python/node_state_adapter.h"

namespace quorv::python {

void bind_geometry(QuorvClass& cls) {
  cls.def_static(
      "is_divisible_by_8",
      [](TensorObject image_object) {
        const at::Tensor image = picture_value(image_object, "image");
        return without_gil([&] { return Quorv_Image::is_divisible_by_8(image); });
      },
      py::arg("image"), "True when the picture's width (axis 2) and height (axis 1) are multiples of 8.");

  cls.def_static(
      "calculate_new_dimensions",
      [](int64_t image_width, int64_t image_height) {
        const auto [new_width, new_height] = Quorv_Image::calculate_new_dimensions(image_width, image_height);
        return py::make_tuple(new_width, new_height);
      },
      py::arg("image_width"), py::arg("image_height"), "(new_width, new_height), each rounded up to a multiple of 8.");

  cls.def_static(
      "format_2_divby8",
      [](TensorObject image) {
        if (image.is_none()) throw ValueError(geometry::kNoImageProvided);
        if (!THPVariable_Check(image.ptr())) throw ValueError(geometry::kImageNotATensor);
        const at::Tensor picture = picture_value(image, "image");
        const auto [out, width, height, is_dviby8] =
            without_gil([&] { return Quorv_Image::format_2_divby8(picture); });
        return py::make_tuple(tensor_object(out), width, height, is_dviby8);
      },
      py::arg("image"), "(image, width, height, is_dviby8): the picture itself when divisible, else resized.");

  cls.def_static(
      "get_tiled_grid_specs",
      [](py::object SELF, TensorObject image_object) {
        const at::Tensor image = picture_value(image_object, "image");
        const std::vector<GridSpec> specs = with_node_state(SELF, true, [&](NodeState& state) {
          return without_gil([&] { return Quorv_Image::get_tiled_grid_specs(state, image); });
        });
        return grid_spec_objects(specs);
      },
      py::arg("SELF"), py::arg("image"), "The tile grid, one GridSpec per tile, row by row; writes SELF's sizes.");

  cls.def_static(
      "get_grid_images",
      [](TensorObject image_object, py::object grid_specs) {
        const at::Tensor image = picture_value(image_object, "image");
        const std::vector<GridSpec> specs = grid_spec_list(grid_specs, "grid_specs");
        require_specs_inside(specs, image, "grid_specs");
        const std::vector<at::Tensor> tiles =
            without_gil([&] { return Quorv_Image::get_grid_images(image, specs); });
        py::list out;
        for (const at::Tensor& tile : tiles) out.append(tile);
        return out;
      },
      py::arg("image"), py::arg("grid_specs"), "One view of the picture per GridSpec (no copies).");

  cls.def_static(
      "find_index",
      [](py::object grid_spec, int64_t x, int64_t y) {
        return Quorv_Image::find_index(grid_spec_list(grid_spec, "grid_spec", true), x, y);
      },
      py::arg("grid_spec"), py::arg("x"), py::arg("y"),
      "Position of the first record with row x and column y, or -1.");

  cls.def_static(
      "get_kontext_crop",
      [](py::object SELF, TensorObject tile_to_process_object, py::object grid_specs, int64_t index) {
        const at::Tensor tile_to_process = picture_value(tile_to_process_object, "tile_to_process");
        const std::vector<GridSpec> specs = grid_spec_list(grid_specs, "grid_specs");
        const auto [k_w, k_h, crop_kontext_x, crop_kontext_y] =
            with_node_state(SELF, false, [&](const NodeState& state) {
              return Quorv_Image::get_kontext_crop(state, tile_to_process, specs, index);
            });
        return py::make_tuple(k_w, k_h, crop_kontext_x, crop_kontext_y);
      },
      py::arg("SELF"), py::arg("tile_to_process"), py::arg("grid_specs"), py::arg("index"),
      "(k_w, k_h, crop_kontext_x, crop_kontext_y): the tile without its shared borders.");

  cls.def(
      "better_downscale",
      [](const Quorv_Image& self, TensorObject image_object, int64_t width, int64_t height,
         const std::string& upscale_method, std::optional<std::string> upscale_model_name) {
        const at::Tensor image = picture_value(image_object, "image");
        return tensor_object(without_gil(
            [&] { return self.better_downscale(image, width, height, upscale_method, upscale_model_name); }));
      },
      py::arg("image"), py::arg("width"), py::arg("height"), py::arg("upscale_method") = "lanczos",
      py::arg("upscale_model_name") = py::none(), "The picture resized to width x height.");

  cls.def_static(
      "to_numpy_uint8",
      [](py::object mask) {
        const ArrayArgument argument = array_value(mask, "mask");
        const cv::Mat levels = without_gil([&] { return Quorv_Image::to_numpy_uint8(argument.array); });
        return numpy_levels(levels, argument.squeezed_shape);
      },
      py::arg("mask"), "An 8-bit numpy array with every axis of length 1 removed.");
}

}  // namespace quorv::python

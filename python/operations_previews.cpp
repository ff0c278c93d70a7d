// Debug previews on Quorv_Image: two masks over a picture, and a tile's band lines.
#include "image/previews/previews.h"

#include "python/conversions.h"
#include "python/node_state_adapter.h"

namespace quorv::python {

void bind_previews(QuorvClass& cls) {
  cls.def(
      "Preview_Mask",
      [](const Quorv_Image& self, py::object mask1, py::object mask2, TensorObject background_img_object,
         py::object SIZE, double feather_inpaint, int64_t feather, const std::string& fusion_mode) {
        const at::Tensor background_img = picture_value(background_img_object, "background_img");
        const ArrayArgument first = array_value(mask1, "mask1");
        const ArrayArgument second = array_value(mask2, "mask2");
        return tensor_object(with_size_state(SIZE, [&](const SizeState& size) {
          return without_gil([&] {
            return self.Preview_Mask(first.array, second.array, background_img, size, feather_inpaint, feather,
                                     fusion_mode);
          });
        }));
      },
      py::arg("mask1"), py::arg("mask2"), py::arg("background_img"), py::arg("SIZE"), py::arg("feather_inpaint"),
      py::arg("feather"), py::arg("fusion_mode"),
      "The picture tinted by both masks with the inner-tile frame, float32 [1, H, W, 3].");

  cls.def(
      "overlay_tile_grid",
      [](const Quorv_Image& self, TensorObject background_img_object, py::object SIZE) {
        const at::Tensor background_img = picture_value(background_img_object, "background_img");
        return tensor_object(with_size_state(SIZE, [&](const SizeState& size) {
          return without_gil([&] { return self.overlay_tile_grid(background_img, size); });
        }));
      },
      py::arg("background_img"), py::arg("SIZE"), "The picture with the tile's mask bands drawn as lines.");
}

}  // namespace quorv::python

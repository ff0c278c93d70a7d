#include <ATen/ATen.h>

#include "host/checked_math.h"
#include "host/errors.h"
#include "host/image_tensor.h"
#include "host/nodes/image_scale.h"
#include "image/geometry/geometry.h"

namespace quorv::geometry {
namespace {

void require_picture_shape(const at::Tensor& image, const char* name) {
  if (!image.defined()) throw ValueError(kNoImageProvided);
  if (image.dim() < 3)
    throw ValueError(std::string(name) + " must be [batch, height, width, channels], got " +
                     shape_string(image));
}

}  // namespace

bool is_divisible_by_8(const at::Tensor& image) {
  require_picture_shape(image, "is_divisible_by_8 image");
  return image_width(image) % 8 == 0 && image_height(image) % 8 == 0;
}

NewDimensions calculate_new_dimensions(int64_t image_width, int64_t image_height) {
  auto round_up_to_nearest_8 = [](int64_t x) {
    return checked_mul(ceil_div(x, 8, "round_up_to_nearest_8"), 8, "round_up_to_nearest_8");
  };
  const int64_t new_width = round_up_to_nearest_8(image_width);
  const int64_t new_height = round_up_to_nearest_8(image_height);
  return {new_width, new_height};
}

Divby8Result format_2_divby8(const at::Tensor& image) {
  if (!image.defined()) throw ValueError(kNoImageProvided);
  require_image(image, "format_2_divby8 image");
  int64_t width = image_width(image), height = image_height(image);
  const bool is_dviby8 = is_divisible_by_8(image);
  if (is_dviby8) return {image, width, height, is_dviby8};
  const auto [new_width, new_height] = calculate_new_dimensions(width, height);
  at::Tensor resized = std::get<0>(host::ImageScale::upscale(image, "lanczos", new_width, new_height, "center"));
  return {resized, new_width, new_height, is_dviby8};
}

}  // namespace quorv::geometry

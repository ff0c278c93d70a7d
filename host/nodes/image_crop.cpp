#include "host/nodes/image_crop.h"

#include <ATen/ATen.h>

#include <algorithm>

#include "host/errors.h"
#include "host/image_tensor.h"

namespace quorv::host {

std::tuple<at::Tensor> ImageCrop::crop(const at::Tensor& image, int64_t width, int64_t height,
                                       int64_t x, int64_t y) {
  require_image(image, "ImageCrop image");
  if (width < 0 || height < 0 || x < 0 || y < 0)
    throw ValueError("ImageCrop: width, height, x and y must not be negative, got " +
                     std::to_string(width) + ", " + std::to_string(height) + ", " +
                     std::to_string(x) + ", " + std::to_string(y));
  const int64_t h = image_height(image), w = image_width(image);
  if (h == 0 || w == 0) throw ValueError("ImageCrop: cannot crop an empty picture " + shape_string(image));
  x = std::min(x, w - 1);
  y = std::min(y, h - 1);
  const int64_t crop_w = std::min(width, w - x), crop_h = std::min(height, h - y);
  return {image.narrow(1, y, crop_h).narrow(2, x, crop_w)};
}

}  // namespace quorv::host

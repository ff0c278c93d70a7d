#include <ATen/ATen.h>

#include "host/image_tensor.h"
#include "pipeline/upscaler.h"

namespace quorv::pipeline {

at::Tensor edge_padded(const at::Tensor& picture, Size size) {
  require_image(picture, "edge_padded picture");
  const int64_t h = picture.size(1), w = picture.size(2);
  if (h < 1 || w < 1 || size.width < w || size.height < h)
    throw ValueError("edge_padded: cannot pad a " + std::to_string(w) + " x " + std::to_string(h) + " picture to " +
                     std::to_string(size.width) + " x " + std::to_string(size.height));
  if (size.width == w && size.height == h) return picture;
  at::Tensor out = at::empty({picture.size(0), size.height, size.width, picture.size(3)}, picture.options());
  out.narrow(1, 0, h).narrow(2, 0, w).copy_(picture);
  // The last column across the new columns, then the last row (now full width) down the new rows.
  if (size.width > w)
    out.narrow(1, 0, h).narrow(2, w, size.width - w).copy_(picture.narrow(2, w - 1, 1).expand({-1, -1, size.width - w, -1}));
  if (size.height > h)
    out.narrow(1, h, size.height - h).copy_(out.narrow(1, h - 1, 1).expand({-1, size.height - h, -1, -1}));
  return out;
}

}  // namespace quorv::pipeline

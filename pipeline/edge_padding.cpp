#include <ATen/ATen.h>

#include "host/image_tensor.h"
#include "pipeline/upscaler.h"

namespace quorv::pipeline {

void pad_edges(at::Tensor& padded, Size picture) {
  require_image(padded, "pad_edges picture");
  const int64_t h = picture.height, w = picture.width, height = padded.size(1), width = padded.size(2);
  if (h < 1 || w < 1 || width < w || height < h)
    throw ValueError("pad_edges: cannot pad a " + std::to_string(w) + " x " + std::to_string(h) + " picture to " +
                     std::to_string(width) + " x " + std::to_string(height));
  // The last column across the new columns, then the last row (now full width) down the new rows.
  if (width > w)
    padded.narrow(1, 0, h).narrow(2, w, width - w).copy_(
        padded.narrow(1, 0, h).narrow(2, w - 1, 1).expand({-1, -1, width - w, -1}));
  if (height > h) padded.narrow(1, h, height - h).copy_(padded.narrow(1, h - 1, 1).expand({-1, height - h, -1, -1}));
}

at::Tensor edge_padded(const at::Tensor& picture, Size size) {
  require_image(picture, "edge_padded picture");
  const int64_t h = picture.size(1), w = picture.size(2);
  if (h < 1 || w < 1 || size.width < w || size.height < h)
    throw ValueError("edge_padded: cannot pad a " + std::to_string(w) + " x " + std::to_string(h) + " picture to " +
                     std::to_string(size.width) + " x " + std::to_string(size.height));
  if (size.width == w && size.height == h) return picture;
  at::Tensor out = at::empty({picture.size(0), size.height, size.width, picture.size(3)}, picture.options());
  out.narrow(1, 0, h).narrow(2, 0, w).copy_(picture);
  pad_edges(out, {w, h});
  return out;
}

}  // namespace quorv::pipeline

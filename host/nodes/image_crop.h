// The host's ImageCrop node: cut a rectangle out of a picture.
#pragma once

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <tuple>

namespace quorv::host {

class ImageCrop {
 public:
  /// The first item is a view of `image` ([B, H, W, C]): rows [y, y + height),
  /// columns [x, x + width), after x <- min(x, W - 1) and y <- min(y, H - 1),
  /// clipped at the picture's right and bottom edges.
  ///
  ///   +---------------- W
  ///   |   (x,y)+-----+
  ///   |        | out |  height
  ///   |        +-----+
  ///   H         width
  ///
  /// Negative arguments or an empty picture: ValueError.
  static std::tuple<at::Tensor> crop(const at::Tensor& image, int64_t width, int64_t height,
                                     int64_t x, int64_t y);
};

}  // namespace quorv::host

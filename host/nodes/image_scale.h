// The host's ImageScale node: resize a picture to an exact size.
#pragma once

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <string>
#include <tuple>

namespace quorv::host {

class ImageScale {
 public:
  /// Resizes `image` ([B, H, W, C] float32) to `height` x `width`; the first
  /// item of the result is the resized picture, a new tensor.
  ///
  /// upscale_method:
  ///   "nearest-exact", "bilinear", "bicubic"  ATen interpolation, align_corners false,
  ///                                           no antialias
  ///   "area"                                  adaptive average pooling
  ///   "lanczos"                               antialiased Lanczos-3 in float32
  ///   "with model"                            as "lanczos": after a model enlarged
  ///                                           the picture, only the size is adjusted
  /// Bicubic and Lanczos results are clamped to 0..1 (their ringing overshoots).
  ///
  /// crop: "disabled", or "center" to first cut the source to the target's
  /// aspect ratio (largest centred region, whole pixels).
  ///
  /// width and height both 0 return `image` itself; one of them 0 is derived
  /// from the aspect ratio. Unknown method or crop, negative sizes: ValueError.
  static std::tuple<at::Tensor> upscale(const at::Tensor& image, const std::string& upscale_method,
                                        int64_t width, int64_t height, const std::string& crop);
};

}  // namespace quorv::host

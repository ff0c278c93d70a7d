// Tile geometry: sizes divisible by 8, the tile grid, cutting tiles out, the
// Kontext crop, downscaling and 8-bit conversion.
#pragma once

#include <ATen/core/Tensor.h>

#include <cstdint>

namespace quorv::geometry {

/// Messages of format_2_divby8 (the second is raised by bindings whose
/// callers can pass something that is not a tensor).
inline constexpr const char* kNoImageProvided = "Quorv Image: No image provided";
inline constexpr const char* kImageNotATensor = "Quorv Image: Image provided is not a Tensor";

struct NewDimensions {
  int64_t new_width;
  int64_t new_height;
};

struct Divby8Result {
  at::Tensor image;
  int64_t width;
  int64_t height;
  bool is_dviby8;
};

/// True when the picture's width (axis 2) and height (axis 1) are both
/// multiples of 8; the width is tested first.
bool is_divisible_by_8(const at::Tensor& image);

/// Each size rounded up to the next multiple of 8 (0 stays 0, 1..8 give 8).
NewDimensions calculate_new_dimensions(int64_t image_width, int64_t image_height);

/// The picture brought to sizes divisible by 8. A divisible picture comes
/// back as the same tensor with is_dviby8 true; any other is resized with the
/// host's ImageScale ("lanczos", crop "center") to the rounded-up sizes, with
/// is_dviby8 false. An undefined tensor: ValueError(kNoImageProvided).
Divby8Result format_2_divby8(const at::Tensor& image);

}  // namespace quorv::geometry

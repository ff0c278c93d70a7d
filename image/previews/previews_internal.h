// Helpers shared by the two previews: 8-bit working copies and drawing coordinates.
#pragma once

#include <ATen/core/Tensor.h>
#include <opencv2/core/mat.hpp>

#include <cstdint>

namespace quorv::previews {

/// Throws ValueError unless `picture` is a float32 [1, H, W, 3] tensor.
void require_preview_picture(const at::Tensor& picture, const char* name);

/// The 8-bit levels of a non-empty [1, H, W, 3] picture as a private H x W
/// three-channel array; levels that are all 0 or 1 are stretched to 0 and 255.
cv::Mat picture_levels(const at::Tensor& picture);

/// A continuous H x W three-channel 8-bit array as a float32 [1, H, W, 3] picture of
/// levels divided by 255.
at::Tensor picture_from_levels(const cv::Mat& levels);

/// `v` moved into a range the drawing library can take without overflow; a
/// coordinate more than a few pixels outside 0..size-1 draws nothing either way.
int drawing_coordinate(int64_t v, int64_t size);

}  // namespace quorv::previews

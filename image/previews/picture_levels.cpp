#include <ATen/ATen.h>
#include <opencv2/core.hpp>

#include <algorithm>
#include <climits>

#include "host/errors.h"
#include "host/image_tensor.h"
#include "image/geometry/geometry.h"
#include "image/previews/previews_internal.h"

namespace quorv::previews {

void require_preview_picture(const at::Tensor& picture, const char* name) {
  require_image(picture, name);
  if (picture.size(0) != 1 || picture.size(3) != 3)
    throw ValueError(std::string(name) + " must be one RGB picture [1, H, W, 3], got " +
                     shape_string(picture));
}

cv::Mat picture_levels(const at::Tensor& picture) {
  // The 8-bit conversion drops a single row or column with the batch axis; the reshape restores it.
  cv::Mat levels = geometry::to_numpy_uint8(picture).reshape(3, static_cast<int>(image_height(picture)));
  double top = 0;
  cv::minMaxLoc(levels.reshape(1), nullptr, &top);
  if (top <= 1.0) levels.convertTo(levels, CV_8U, 255.0);
  return levels;
}

at::Tensor picture_from_levels(const cv::Mat& levels) {
  const at::Tensor view = at::from_blob(levels.data, {levels.rows, levels.cols, 3}, at::kByte);
  return view.to(at::kFloat).div_(255.0).unsqueeze(0);
}

int drawing_coordinate(int64_t v, int64_t size) {
  // Lines at most 2 pixels thick: 8 pixels outside is already out of sight.
  return static_cast<int>(std::clamp<int64_t>(v, -8, std::min<int64_t>(size + 8, INT_MAX)));
}

}  // namespace quorv::previews

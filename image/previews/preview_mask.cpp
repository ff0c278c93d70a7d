#include <ATen/ATen.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>

#include "host/checked_math.h"
#include "host/errors.h"
#include "host/image_tensor.h"
#include "image/module.h"
#include "image/previews/previews.h"
#include "image/previews/previews_internal.h"

namespace quorv::previews {
namespace {

constexpr const char* kInsetFrameMode = "Generative Tile Fusion";

struct Frame {
  cv::Point top_left;
  cv::Point bottom_right;
};

// Squeezing leaves no axis of length 1 and a single axis comes back as a
// column, so a 2-D single-channel result with no row or column of 1 had two axes.
bool is_plane(const cv::Mat& levels) {
  return levels.dims == 2 && levels.channels() == 1 && levels.rows != 1 && levels.cols != 1;
}

std::string shape_of(const geometry::ArrayLike& mask) {
  if (const auto* tensor = std::get_if<at::Tensor>(&mask)) return shape_string(*tensor);
  const cv::Mat& mat = std::get<cv::Mat>(mask);
  std::string out = "an array of ";
  for (int i = 0; i < mat.dims; ++i) out += (i ? " x " : "") + std::to_string(mat.size[i]);
  return out + " with " + std::to_string(mat.channels()) + " channel(s)";
}

// The frame's corners around the picture's centre; |square| / 2 plus a picture
// size stays far inside int64.
Frame inner_frame(int64_t W, int64_t H, int64_t square_width, int64_t square_height) {
  const int64_t center_x = W / 2, center_y = H / 2;
  const int64_t half_w = floor_div(square_width, 2, "Preview_Mask frame");
  const int64_t half_h = floor_div(square_height, 2, "Preview_Mask frame");
  return {{drawing_coordinate(center_x - half_w, W), drawing_coordinate(center_y - half_h, H)},
          {drawing_coordinate(center_x + half_w, W), drawing_coordinate(center_y + half_h, H)}};
}

at::Tensor preview_mask_impl(const cv::Mat& mask1_levels, const cv::Mat& mask2_levels, const cv::Mat& bg,
                             const Frame& frame) {
  const int H = bg.rows, W = bg.cols;
  auto center_mask_on_canvas = [H, W](const cv::Mat& mask) {
    cv::Mat canvas = cv::Mat::zeros(H, W, CV_8U);
    cv::Mat kept = mask;
    if (mask.rows > H || mask.cols > W) {
      print_line("Warning: Mask (" + std::to_string(mask.rows) + "," + std::to_string(mask.cols) +
                 ") larger than canvas (" + std::to_string(H) + "," + std::to_string(W) + "), cropping.");
      kept = mask(cv::Rect(0, 0, std::min(mask.cols, W), std::min(mask.rows, H)));
    }
    // Floored offsets: an odd difference leaves the extra row or column at the bottom or right.
    const int y_off = (H - kept.rows) / 2, x_off = (W - kept.cols) / 2;
    if (!kept.empty()) kept.copyTo(canvas(cv::Rect(x_off, y_off, kept.cols, kept.rows)));
    return canvas;
  };
  const cv::Mat red = center_mask_on_canvas(255 - mask1_levels);
  const cv::Mat green = center_mask_on_canvas(255 - mask2_levels);
  const cv::Mat zeros = cv::Mat::zeros(H, W, CV_8U);
  cv::Mat red_layer, green_layer, result;
  cv::merge(std::vector<cv::Mat>{red, zeros, zeros}, red_layer);
  cv::merge(std::vector<cv::Mat>{zeros, green, zeros}, green_layer);
  cv::addWeighted(bg, 1.0, red_layer, 0.5, 0.0, result);
  cv::addWeighted(result, 1.0, green_layer, 0.5, 0.0, result);
  cv::rectangle(result, frame.top_left, frame.bottom_right, cv::Scalar(0, 0, 0), 2);
  return picture_from_levels(result);
}

}  // namespace

at::Tensor Preview_Mask(const geometry::ArrayLike& mask1, const geometry::ArrayLike& mask2,
                        const at::Tensor& background_img, const SizeState& SIZE, double feather_inpaint,
                        int64_t feather, const std::string& fusion_mode) {
  require_preview_picture(background_img, "Preview_Mask background_img");
  int64_t square_height = SIZE.actual_inner_tile_sizeH.get();
  int64_t square_width = SIZE.actual_inner_tile_sizeW.get();
  const int64_t W = image_width(background_img), H = image_height(background_img);
  if (W < square_width || H < square_height) return background_img;
  if (background_img.numel() == 0) throw AssertionError(kBackgroundEmpty);
  const cv::Mat mask1_levels = geometry::to_numpy_uint8(mask1);
  if (!is_plane(mask1_levels))
    throw ValueError("Preview_Mask mask1 must squeeze to two axes [height, width], got " + shape_of(mask1));
  const cv::Mat mask2_levels = geometry::to_numpy_uint8(mask2);
  if (!is_plane(mask2_levels))
    throw ValueError("Preview_Mask mask2 must squeeze to two axes [height, width], got " + shape_of(mask2));
  if (fusion_mode == kInsetFrameMode) {
    const int64_t inset = checked_mul(2, feather, "Preview_Mask feather");
    square_width = checked_sub(W, inset, "Preview_Mask feather");
    square_height = checked_sub(H, inset, "Preview_Mask feather");
  }
  return preview_mask_impl(mask1_levels, mask2_levels, picture_levels(background_img),
                           inner_frame(W, H, square_width, square_height));
}

}  // namespace quorv::previews

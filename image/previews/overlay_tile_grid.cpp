#include <ATen/ATen.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <vector>

#include "host/checked_math.h"
#include "host/image_tensor.h"
#include "image/previews/previews.h"
#include "image/previews/previews_internal.h"

namespace quorv::previews {
namespace {

// Channel 0 is red.
const cv::Scalar kRed(255, 0, 0);
const cv::Scalar kGreen(0, 255, 0);
const cv::Scalar kYellow(255, 255, 0);

struct Band {
  int64_t offset;
  cv::Scalar colour;
};

// Four one-pixel lines at `offset` from the left, right, top and bottom edges.
void draw_band(cv::Mat& bg, int64_t offset, const cv::Scalar& colour) {
  const int64_t W = bg.cols, H = bg.rows;
  // Beyond a few pixels outside the picture every line is out of sight; clamping keeps Wl - d small.
  const int64_t d = std::clamp<int64_t>(offset, -8, std::max(W, H) + 8);
  const int64_t Wl = W - 1, Hl = H - 1;
  auto x = [W](int64_t v) { return drawing_coordinate(v, W); };
  auto y = [H](int64_t v) { return drawing_coordinate(v, H); };
  cv::line(bg, {x(d), 0}, {x(d), y(Hl)}, colour, 1);
  cv::line(bg, {x(Wl - d), 0}, {x(Wl - d), y(Hl)}, colour, 1);
  cv::line(bg, {0, y(d)}, {x(Wl), y(d)}, colour, 1);
  cv::line(bg, {0, y(Hl - d)}, {x(Wl), y(Hl - d)}, colour, 1);
}

at::Tensor overlay_tile_grid_impl(cv::Mat bg, const std::vector<Band>& bands) {
  for (const Band& band : bands) draw_band(bg, band.offset, band.colour);
  return picture_from_levels(bg);
}

}  // namespace

at::Tensor overlay_tile_grid(const at::Tensor& background_img, const SizeState& SIZE) {
  require_preview_picture(background_img, "overlay_tile_grid background_img");
  const int64_t fi = SIZE.inpaint_border_margin.get();
  const int64_t fb = SIZE.inpaint_blur_margin.get();
  const int64_t fm = SIZE.composite_blur_margin.get();
  if (background_img.numel() == 0) return background_img.clone();
  std::vector<Band> bands;
  const bool composite = fm >= 1;
  if (composite) bands.push_back({fm, kRed});
  // The green test adds fm only when the red lines were drawn, but the lines always sit at fi + fm.
  if (fi > 0 && checked_add(fi, composite ? fm : 0, "overlay_tile_grid inpaint border") >= 1)
    bands.push_back({checked_add(fi, fm, "overlay_tile_grid inpaint border offset"), kGreen});
  if (fb > 0 && checked_sub(fm, fb, "overlay_tile_grid inpaint ramp offset") >= 1)
    bands.push_back({fm - fb, kYellow});
  return overlay_tile_grid_impl(picture_levels(background_img), bands);
}

}  // namespace quorv::previews

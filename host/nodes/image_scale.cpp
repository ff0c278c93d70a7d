#include "host/nodes/image_scale.h"

#include <ATen/ATen.h>

#include <algorithm>

#include "host/checked_math.h"
#include "host/errors.h"
#include "host/image_tensor.h"
#include "host/memory.h"
#include "host/nodes/lanczos_resample.h"

namespace quorv::host {
namespace {

bool is_known_method(const std::string& m) {
  return m == "nearest-exact" || m == "bilinear" || m == "area" || m == "bicubic" ||
         m == "lanczos" || m == "with model";
}

// round(a / b) for non-negative a and positive b, halves rounded up.
int64_t rounded_ratio(int64_t a, int64_t b) {
  return floor_div(checked_add(checked_mul(a, 2, "resize"), b, "resize"), checked_mul(b, 2, "resize"),
                   "resize");
}

// The largest centred region of `image` with the aspect ratio width:height.
at::Tensor center_crop(const at::Tensor& image, int64_t width, int64_t height) {
  const int64_t h = image_height(image), w = image_width(image);
  const int64_t source_wide = checked_mul(w, height, "center crop");
  const int64_t target_wide = checked_mul(width, h, "center crop");
  if (source_wide > target_wide) {
    const int64_t keep = std::clamp<int64_t>(rounded_ratio(checked_mul(h, width, "center crop"), height), 1, w);
    return image.narrow(2, (w - keep) / 2, keep);
  }
  if (source_wide < target_wide) {
    const int64_t keep = std::clamp<int64_t>(rounded_ratio(checked_mul(w, height, "center crop"), width), 1, h);
    return image.narrow(1, (h - keep) / 2, keep);
  }
  return image;
}

at::Tensor aten_resize(const at::Tensor& image, const std::string& method, int64_t width,
                       int64_t height) {
  // ATen's interpolation kernels are fastest on contiguous [B, C, H, W].
  const at::Tensor nchw = image.permute({0, 3, 1, 2}).contiguous();
  at::Tensor out;
  if (method == "nearest-exact") {
    out = at::_upsample_nearest_exact2d(nchw, {height, width});
  } else if (method == "bilinear") {
    out = at::upsample_bilinear2d(nchw, {height, width}, /*align_corners=*/false);
  } else if (method == "bicubic") {
    out = at::upsample_bicubic2d(nchw, {height, width}, /*align_corners=*/false).clamp_(0.0, 1.0);
  } else {  // "area"
    out = at::adaptive_avg_pool2d(nchw, {height, width});
  }
  return out.permute({0, 2, 3, 1}).contiguous();
}

}  // namespace

std::tuple<at::Tensor> ImageScale::upscale(const at::Tensor& image, const std::string& upscale_method,
                                           int64_t width, int64_t height, const std::string& crop) {
  require_image(image, "ImageScale image");
  if (!is_known_method(upscale_method))
    throw ValueError("ImageScale: unknown upscale_method '" + upscale_method +
                     "' (expected nearest-exact, bilinear, area, bicubic or lanczos)");
  if (crop != "disabled" && crop != "center")
    throw ValueError("ImageScale: unknown crop '" + crop + "' (expected disabled or center)");
  if (width < 0 || height < 0)
    throw ValueError("ImageScale: width and height must not be negative, got " +
                     std::to_string(width) + "x" + std::to_string(height));
  if (width == 0 && height == 0) return {image};

  const int64_t h = image_height(image), w = image_width(image);
  if (h == 0 || w == 0)
    throw ValueError("ImageScale: cannot resize an empty picture " + shape_string(image));
  if (width == 0) width = std::max<int64_t>(1, rounded_ratio(checked_mul(w, height, "resize"), h));
  if (height == 0) height = std::max<int64_t>(1, rounded_ratio(checked_mul(h, width, "resize"), w));
  const int64_t values = checked_mul(checked_mul(checked_mul(width, height, "ImageScale size"), image.size(0),
                                                 "ImageScale size"),
                                     std::max<int64_t>(1, image.size(3)), "ImageScale size");
  require_memory_for(float_bytes(values, "ImageScale size"),
                     "ImageScale: a " + std::to_string(width) + "x" + std::to_string(height) + " result");

  const at::Tensor source = crop == "center" ? center_crop(image, width, height) : image;
  if (upscale_method == "lanczos" || upscale_method == "with model")
    return {lanczos_resample(source, width, height).clamp_(0.0, 1.0)};
  return {aten_resize(source, upscale_method, width, height)};
}

}  // namespace quorv::host

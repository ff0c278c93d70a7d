#include <ATen/ATen.h>

#include "host/errors.h"
#include "host/image_tensor.h"
#include "host/nodes/image_scale.h"
#include "host/nodes/upscale_model.h"
#include "image/geometry/geometry.h"

namespace quorv::geometry {
namespace {

constexpr const char* kWithModel = "with model";

at::Tensor enlarged_by_model(const at::Tensor& image, const std::string& upscale_model_name) {
  const host::UpscaleModel model = std::get<0>(host::UpscaleModelLoader::load_model(upscale_model_name));
  return std::get<0>(host::ImageUpscaleWithModel::upscale(model, image));
}

}  // namespace

at::Tensor better_downscale(const at::Tensor& image, int64_t width, int64_t height,
                            const std::string& upscale_method,
                            const std::optional<std::string>& upscale_model_name) {
  require_image(image, "better_downscale image");
  // Checked here as well as by the resize, so that a bad size does not cost a model pass.
  if (width < 0)
    throw ValueError("better_downscale width must not be negative, got " + std::to_string(width));
  if (height < 0)
    throw ValueError("better_downscale height must not be negative, got " + std::to_string(height));
  if (upscale_method == kWithModel && !upscale_model_name)
    throw ValueError(
        "better_downscale upscale_model_name must name a model when upscale_method is \"with model\", got none");
  const at::Tensor picture =
      upscale_method == kWithModel ? enlarged_by_model(image, *upscale_model_name) : image;
  // The method text goes on unchanged: the host's resize takes "with model" as "lanczos".
  return std::get<0>(host::ImageScale::upscale(picture, upscale_method, width, height, "disabled"));
}

}  // namespace quorv::geometry

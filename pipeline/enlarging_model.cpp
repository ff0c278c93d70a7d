#include <ATen/ATen.h>

#include "host/nodes/image_scale.h"
#include "models/catalogue.h"
#include "pipeline/upscaler.h"

namespace quorv::pipeline {

std::optional<host::UpscaleModel> enlarging_model(const UpscaleOptions& o) {
  if (!o.upscale_model.empty()) return host::UpscaleModelLoader::load_file(o.upscale_model);
  if (o.model.empty()) return std::nullopt;
  const models::ResolvedModel found = models::resolve_model(o.model, o.models_dir);
  if (!found.entry) return host::UpscaleModelLoader::load_file(found.path);
  if (found.entry->kind == "restorer" || found.entry->scale == 1)
    throw SettingsError("--model " + o.model + " is a same-size restorer, not an enlarger; use --processor model:" +
                        o.model);
  return host::UpscaleModelLoader::load_file(found.path, {found.entry->scale, found.entry->receptive_field});
}

at::Tensor enlarged_with_model(const host::UpscaleModel& model, const UpscaleOptions& o, const at::Tensor& picture,
                               Size size, const ProgressCallback& progress) {
  using Kind = ProgressEvent::Kind;
  int64_t pieces = 0;
  host::UpscaleOptions options;
  options.tile_size = o.model_tile;
  options.memory_budget = model_activation_budget();
  options.progress = [&](int64_t done, int64_t total) {
    pieces = total;
    if (progress) progress({Kind::advance, "model", done, total});
  };
  // Started before the first piece runs, its count not yet known, so that rates count the first piece's time.
  if (progress) progress({Kind::start, "model", 0, 0});
  at::Tensor enlarged = std::get<0>(host::ImageUpscaleWithModel::upscale(model, picture, options));
  if (progress) progress({Kind::end, "model", pieces, pieces});
  if (enlarged.size(2) == size.width && enlarged.size(1) == size.height) return enlarged;
  // The model's own scale is not the one asked for: lanczos covers the rest.
  return std::get<0>(host::ImageScale::upscale(enlarged, "lanczos", size.width, size.height, "disabled"));
}

at::Tensor enlarged_alpha(const at::Tensor& alpha, Size size) {
  if (alpha.size(2) == size.width && alpha.size(1) == size.height) return alpha;
  return std::get<0>(host::ImageScale::upscale(alpha, "lanczos", size.width, size.height, "disabled"))
      .clamp_(0.0, 1.0);
}

}  // namespace quorv::pipeline

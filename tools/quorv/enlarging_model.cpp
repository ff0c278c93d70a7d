#include <ATen/ATen.h>

#include "host/nodes/image_scale.h"
#include "models/catalogue.h"
#include "tools/quorv/quorv_cli.h"

namespace quorv::cli {

std::optional<host::UpscaleModel> enlarging_model(const RunOptions& o) {
  if (!o.upscale_model.empty()) return host::UpscaleModelLoader::load_file(o.upscale_model);
  if (o.model.empty()) return std::nullopt;
  const models::ResolvedModel found = models::resolve_model(o.model, o.models_dir);
  if (!found.entry) return host::UpscaleModelLoader::load_file(found.path);
  if (found.entry->kind == "restorer" || found.entry->scale == 1)
    throw UsageError("--model " + o.model + " is a same-size restorer, not an enlarger; use --processor model:" +
                     o.model);
  return host::UpscaleModelLoader::load_file(found.path, {found.entry->scale, found.entry->receptive_field});
}

at::Tensor enlarged_with_model(const host::UpscaleModel& model, const RunOptions& o, const at::Tensor& picture,
                               int64_t width, int64_t height, Progress::Style style) {
  std::unique_ptr<Progress> progress;
  host::UpscaleOptions options;
  options.tile_size = o.model_tile;
  options.memory_budget = model_activation_budget();
  options.progress = [&](int64_t, int64_t total) {
    if (!progress) progress = std::make_unique<Progress>("model  ", total, style);
    progress->set_total(total);
    progress->advance();
  };
  at::Tensor enlarged = std::get<0>(host::ImageUpscaleWithModel::upscale(model, picture, options));
  progress.reset();
  if (enlarged.size(2) == width && enlarged.size(1) == height) return enlarged;
  // The model's own scale is not the one asked for: lanczos covers the rest.
  return std::get<0>(host::ImageScale::upscale(enlarged, "lanczos", width, height, "disabled"));
}

}  // namespace quorv::cli

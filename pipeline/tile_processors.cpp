#include <ATen/ATen.h>

#include <filesystem>

#include "host/image_tensor.h"
#include "host/nodes/upscale_model.h"
#include "models/catalogue.h"
#include "pipeline/upscaler.h"

namespace quorv::pipeline {
namespace {

namespace fs = std::filesystem;

class Identity : public TileProcessor {
 public:
  bool changes_tiles() const override { return false; }
  bool thread_safe() const override { return true; }
  at::Tensor process(const TileJob& job) override { return job.picture; }
};

// A stand-in for regenerating each tile on its own: every tile gets its own
// small colour and tone shift and a sharpening, as independent generations
// differ in exposure and detail. Deterministic: the shift depends only on the tile number.
class Demo : public TileProcessor {
 public:
  bool thread_safe() const override { return true; }
  at::Tensor process(const TileJob& job) override {
    uint64_t state = 0x9E3779B97F4A7C15ull * static_cast<uint64_t>(job.index + 1);
    float gain[3], offset[3];
    for (float& g : gain) g = 1.0f + 0.12f * (unit(state) - 0.5f);
    for (float& o : offset) o = 0.06f * (unit(state) - 0.5f);
    // x + k x (1 - x) lifts (k > 0) or lowers the mid-tones and keeps black and white.
    const double tone = 0.2 * (unit(state) - 0.5);
    // Three tile-sized buffers at most, each operation in place where it can be.
    const auto opts = job.picture.options();
    at::Tensor toned = job.picture.clamp(0, 1);
    toned.add_(toned.neg().add_(1).mul_(toned), tone)
        .mul_(at::tensor(at::ArrayRef<float>(gain, 3), opts))
        .add_(at::tensor(at::ArrayRef<float>(offset, 3), opts))
        .clamp_(0, 1);
    // toned + k (toned - blurred)
    at::Tensor detail = blurred(toned).sub_(toned).neg_();
    return toned.add_(detail, kSharpening).clamp_(0, 1);
  }

 private:
  static constexpr double kSharpening = 0.6;

  // splitmix64, mapped to [0, 1).
  static float unit(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<float>((z ^ (z >> 31)) >> 40) / static_cast<float>(1ull << 24);
  }

  // (1 2 1) / 4 along one axis, the edge pixel repeated, into a new picture.
  static at::Tensor smoothed(const at::Tensor& picture, int64_t axis) {
    const int64_t n = picture.size(axis);
    at::Tensor out = at::empty_like(picture);
    auto line = [&](const at::Tensor& t, int64_t i, int64_t count) { return t.narrow(axis, i, count); };
    // (2 p[i] + p[i-1]) + p[i+1], then / 4; at the ends p[-1] = p[0] and p[n] = p[n-1].
    line(out, 0, 1).copy_(line(picture, 0, 1)).mul_(2).add_(line(picture, 0, 1)).add_(line(picture, n > 1 ? 1 : 0, 1));
    if (n > 2)
      line(out, 1, n - 2).copy_(line(picture, 1, n - 2)).mul_(2).add_(line(picture, 0, n - 2)).add_(line(picture, 2, n - 2));
    if (n > 1)
      line(out, n - 1, 1).copy_(line(picture, n - 1, 1)).mul_(2).add_(line(picture, n - 2, 1)).add_(line(picture, n - 1, 1));
    return out.div_(4);
  }

  // A 3 x 3 binomial blur, per channel.
  static at::Tensor blurred(const at::Tensor& picture) { return smoothed(smoothed(picture, 1), 2); }
};

// A learned model run on each tile (in pieces when the tile is large); it must keep the size.
class ModelProcessor : public TileProcessor {
 public:
  ModelProcessor(host::UpscaleModel model, const UpscaleOptions& o) : model_(std::move(model)) {
    options_.tile_size = o.model_tile;
    options_.memory_budget = model_activation_budget();
  }

  // A loaded TorchScript module runs its forward pass on any thread; each tile has its own activations.
  bool thread_safe() const override { return true; }

  at::Tensor process(const TileJob& job) override {
    at::Tensor out;
    try {
      out = std::get<0>(host::ImageUpscaleWithModel::upscale(model_, job.picture, options_));
    } catch (const ValueError& e) {
      throw ValueError(tile_name(job) + ": " + e.what());
    }
    if (out.sizes() != job.picture.sizes())
      throw ValueError(tile_name(job) + ": the model '" + model_.name() + "' returned " + shape_string(out) +
                       " for " + shape_string(job.picture) + "; a tile model must keep the size");
    return out;
  }

 private:
  host::UpscaleModel model_;
  host::UpscaleOptions options_;
};

std::unique_ptr<TileProcessor> torchscript_processor(const std::string& file, const UpscaleOptions& o) {
  std::error_code ec;
  if (!fs::is_regular_file(file, ec)) throw SettingsError("--processor torchscript: no model file '" + file + "'");
  return std::make_unique<ModelProcessor>(host::UpscaleModelLoader::load_file(file), o);
}

std::unique_ptr<TileProcessor> restorer_processor(const std::string& name, const UpscaleOptions& o) {
  const models::ResolvedModel found = models::resolve_model(name, o.models_dir);
  host::ModelFacts facts;
  if (found.entry) {
    if (found.entry->kind != "restorer" || found.entry->scale != 1)
      throw SettingsError("--processor model:" + name + " needs a same-size restorer; " + name + " enlarges " +
                       std::to_string(found.entry->scale) + " times (use --model " + name + ")");
    facts = {1, found.entry->receptive_field};
  }
  host::UpscaleModel model = host::UpscaleModelLoader::load_file(found.path, facts);
  const int64_t scale = model.facts().scale;
  if (scale > 1)
    throw SettingsError("--processor model:" + name + " needs a same-size restorer; " + name + " enlarges " +
                     std::to_string(scale) + " times (use --model " + name + ")");
  return std::make_unique<ModelProcessor>(std::move(model), o);
}

bool starts_with(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

std::string tile_name(const TileJob& job) {
  return "tile " + std::to_string(job.index) + " (row " + std::to_string(job.spec.row) + ", col " +
         std::to_string(job.spec.col) + ")";
}

std::unique_ptr<TileProcessor> make_tile_processor(const std::string& name, const UpscaleOptions& o) {
  if (name == "identity") return std::make_unique<Identity>();
  if (name == "demo") return std::make_unique<Demo>();
  if (starts_with(name, "torchscript:")) return torchscript_processor(name.substr(12), o);
  if (starts_with(name, "model:")) return restorer_processor(name.substr(6), o);
  throw SettingsError("processor must be identity, demo, torchscript:FILE or model:NAME, got '" + name + "'");
}

}  // namespace quorv::pipeline

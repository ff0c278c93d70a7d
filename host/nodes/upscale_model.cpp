#include "host/nodes/upscale_model.h"

#include <torch/script.h>

#include <filesystem>
#include <mutex>

#include "host/errors.h"
#include "host/image_tensor.h"

namespace quorv::host {

struct UpscaleModel::Module {
  torch::jit::Module module;
};

namespace {

std::mutex folder_mutex;
std::string folder = "models";

namespace fs = std::filesystem;

// True when `path` (resolved) lies inside `root` (resolved).
bool is_inside(const fs::path& root, const fs::path& path) {
  auto r = root.begin(), p = path.begin();
  for (; r != root.end(); ++r, ++p) {
    if (p == path.end() || *r != *p) return false;
  }
  return true;
}

}  // namespace

void UpscaleModelLoader::set_models_folder(const std::string& models) {
  std::lock_guard<std::mutex> lock(folder_mutex);
  folder = models;
}

std::string UpscaleModelLoader::models_folder() {
  std::lock_guard<std::mutex> lock(folder_mutex);
  return folder;
}

std::tuple<UpscaleModel> UpscaleModelLoader::load_model(const std::string& model_name) {
  const fs::path root = models_folder();
  const fs::path name(model_name);
  if (model_name.empty() || name.is_absolute())
    throw ValueError("upscale model '" + model_name + "' must be a file name inside the models folder '" +
                     root.string() + "'");
  std::error_code ec;
  const fs::path resolved_root = fs::weakly_canonical(root, ec);
  const fs::path resolved = fs::weakly_canonical(root / name, ec);
  if (ec || !is_inside(resolved_root, resolved) || resolved == resolved_root)
    throw ValueError("upscale model '" + model_name + "' lies outside the models folder '" +
                     root.string() + "'");
  if (!fs::is_regular_file(resolved))
    throw ValueError("upscale model '" + model_name + "' not found in the models folder '" +
                     root.string() + "'");
  UpscaleModel model;
  model.name_ = model_name;
  try {
    model.module_ = std::make_shared<UpscaleModel::Module>(
        UpscaleModel::Module{torch::jit::load(resolved.string(), at::kCPU)});
  } catch (const c10::Error& e) {
    throw ValueError("upscale model '" + model_name + "' could not be loaded: " + e.what_without_backtrace());
  }
  model.module_->module.eval();
  return {model};
}

std::tuple<at::Tensor> ImageUpscaleWithModel::upscale(const UpscaleModel& upscale_model,
                                                      const at::Tensor& image) {
  require_image(image, "ImageUpscaleWithModel image");
  if (!upscale_model.module_) throw ValueError("ImageUpscaleWithModel: no model loaded");
  c10::AutoGradMode no_grad(false);  // plain tensors out: the caller may write into them
  at::Tensor out;
  try {
    torch::jit::Module module = upscale_model.module_->module;  // shares the loaded weights
    out = module.forward({image.permute({0, 3, 1, 2}).contiguous().to(at::kCPU)}).toTensor();
  } catch (const c10::Error& e) {
    throw ValueError("upscale model '" + upscale_model.name() + "' failed: " + e.what_without_backtrace());
  }
  if (out.dim() != 4 || !out.is_floating_point() || out.size(0) != image.size(0) ||
      out.size(1) != image.size(3))
    throw ValueError("upscale model '" + upscale_model.name() + "' returned " + shape_string(out) +
                     " for input " + shape_string(image) + "; expected [B, C, H', W'] float");
  return {out.to(image.device(), at::kFloat).clamp(0.0, 1.0).permute({0, 2, 3, 1}).contiguous()};
}

}  // namespace quorv::host

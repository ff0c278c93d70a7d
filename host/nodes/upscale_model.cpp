#include "host/nodes/upscale_model.h"

#include <filesystem>
#include <fstream>
#include <mutex>

#include "host/errors.h"
#include "host/nodes/upscale_model_internal.h"

namespace quorv::host {
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

// What a file that TorchScript cannot read most likely is, from its first
// bytes: the reader's own complaint ("PytorchStreamReader failed locating
// file constants.pkl") means nothing to someone holding a checkpoint.
std::string file_kind(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string head(4096, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<size_t>(in.gcount()));
  if (head.empty()) return "an empty file";
  if (head.rfind("PK\x03\x04", 0) == 0)
    return head.find("data.pkl") != std::string::npos ? "a state_dict?" : "a zip archive without TorchScript code";
  if (static_cast<unsigned char>(head[0]) == 0x80) return "a state_dict in the old pickle format?";
  for (unsigned char c : head)
    if (c < 0x09 || (c > 0x0d && c < 0x20)) return "unrecognised contents";
  return "a text file";
}

}  // namespace

UpscaleModel UpscaleModelLoader::empty(const std::string& name, const ModelFacts& facts) {
  if (facts.scale < 0 || facts.receptive_field < 0)
    throw ValueError("upscale model '" + name + "': scale and receptive field must not be negative, got " +
                     std::to_string(facts.scale) + " and " + std::to_string(facts.receptive_field));
  UpscaleModel model;
  model.name_ = name;
  model.module_ = std::make_shared<UpscaleModel::Module>();
  model.module_->given = facts;
  return model;
}

UpscaleModel UpscaleModelLoader::open(const std::string& path, const std::string& name, const ModelFacts& facts) {
  UpscaleModel model = empty(name, facts);
  try {
    model.module_->module = torch::jit::load(path, at::kCPU);
  } catch (const std::exception&) {
    throw ValueError("upscale model '" + name + "' could not be loaded: not a TorchScript model (" +
                     file_kind(path) + ")");
  }
  model.module_->module.eval();
  return model;
}

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
  return {open(resolved.string(), model_name, {})};
}

UpscaleModel UpscaleModelLoader::load_file(const std::string& path, const ModelFacts& facts) {
  std::error_code ec;
  if (path.empty() || !fs::is_regular_file(path, ec))
    throw ValueError("upscale model file '" + path + "' not found");
  return open(path, fs::path(path).filename().string(), facts);
}

UpscaleModel UpscaleModelLoader::from_function(const std::string& name,
                                               std::function<at::Tensor(const at::Tensor&)> forward,
                                               const ModelFacts& facts) {
  if (!forward) throw ValueError("upscale model '" + name + "' has no forward function");
  UpscaleModel model = empty(name, facts);
  model.module_->forward = std::move(forward);
  return model;
}

}  // namespace quorv::host

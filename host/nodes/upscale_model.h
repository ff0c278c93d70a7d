// The host's upscale-model nodes: load a TorchScript model and enlarge a picture with it.
#pragma once

#include <ATen/core/Tensor.h>

#include <memory>
#include <string>
#include <tuple>

namespace quorv::host {

/// A loaded upscale model; cheap to copy (shares the loaded module).
class UpscaleModel {
 public:
  const std::string& name() const { return name_; }

 private:
  friend class UpscaleModelLoader;
  friend class ImageUpscaleWithModel;
  struct Module;
  std::string name_;
  std::shared_ptr<Module> module_;
};

class UpscaleModelLoader {
 public:
  /// The folder model names are looked up in (default: "models").
  static void set_models_folder(const std::string& folder);
  static std::string models_folder();

  /// The first item is the TorchScript model file `model_name` of the models
  /// folder. A name that leaves the folder (absolute, "..", a link outside),
  /// a missing file or a file TorchScript cannot load: ValueError naming it.
  static std::tuple<UpscaleModel> load_model(const std::string& model_name);
};

class ImageUpscaleWithModel {
 public:
  /// Runs the model on `image` ([B, H, W, C] float32) as [B, C, H, W] and
  /// returns, as the first item, its output clamped to 0..1 as [B, H', W', C].
  /// A model output that is not a [B, C, H', W'] float tensor: ValueError.
  static std::tuple<at::Tensor> upscale(const UpscaleModel& upscale_model, const at::Tensor& image);
};

}  // namespace quorv::host

// What the upscale-model sources share: the loaded module and one checked
// forward pass. Private to host/nodes.
#pragma once

#include <torch/script.h>

#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>

#include "host/nodes/upscale_model.h"

namespace quorv::host {

struct UpscaleModel::Module {
  torch::jit::Module module;
  std::function<at::Tensor(const at::Tensor&)> forward;  ///< used instead of `module` when set
  ModelFacts given;
  std::once_flag probed;
  ModelFacts measured;
};

/// A forward pass that failed for lack of memory; the caller retries smaller.
class ModelOutOfMemory : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// The model's output for `piece` ([1, C, h, w] float, CPU): a [1, C, s*h,
/// s*w] float tensor of finite values, s >= 1 an integer. `piece_name` names
/// the piece in messages ("tile 3 of 16 at x 0, y 240"). A failing pass:
/// ValueError naming the model, the piece and the shapes; a pass that ran out
/// of memory: ModelOutOfMemory.
at::Tensor run_model_piece(const UpscaleModel::Module& module, const std::string& model_name,
                           const at::Tensor& piece, const std::string& piece_name);

}  // namespace quorv::host

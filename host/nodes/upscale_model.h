// The host's upscale-model nodes: load a TorchScript model and enlarge a picture with it.
//
// A model takes [1, C, h, w] float 0..1 and returns [1, C, s*h, s*w]. The
// picture is run tile by tile, so memory stays bounded whatever its size:
//
//        piece i (the model's input, T x T)
//   +---------------------+
//   |  overlap   :        |      each piece's result is cut at the middle of
//   |  +--------------+---+---+  its overlap with the next; the overlap is at
//   |  | core i       |core i+1  least the model's receptive field, so every
//   |  +--------------+---+---+  kept pixel sees the same input it would in a
//   +---------------------+   |  whole-picture pass
//           +-----------------+
//             piece i+1
#pragma once

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <tuple>

namespace quorv::host {

/// What is known of a model; 0 means unknown (measured on first use).
struct ModelFacts {
  int64_t scale = 0;            ///< result size / input size, the same on both axes
  int64_t receptive_field = 0;  ///< input pixels, on each side, a result pixel depends on
};

/// A loaded upscale model; cheap to copy (shares the loaded module).
class UpscaleModel {
 public:
  const std::string& name() const { return name_; }
  /// The facts given at load; what was not given is measured once, on a small
  /// probe picture (an impulse shows how far a change reaches), and kept.
  /// A model the probe cannot run: its error, naming the model.
  ModelFacts facts() const;

  /// The loaded module; opaque outside the node's own sources.
  struct Module;

 private:
  friend class UpscaleModelLoader;
  friend class ImageUpscaleWithModel;
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

  /// The TorchScript model at `path` (anywhere), named by its file name, with
  /// what is known of it. A missing file: ValueError; a file that is not a
  /// TorchScript model (a saved state_dict, text): ValueError saying
  /// "not a TorchScript model".
  static UpscaleModel load_file(const std::string& path, const ModelFacts& facts = {});

  /// A model that is a function rather than a file (a model object the host
  /// holds in another language), named `name`. `forward` gets [1, C, h, w]
  /// float 0..1 on the CPU and must return [1, C, s*h, s*w]; whatever it
  /// throws is reported as the model's failure, naming the piece.
  static UpscaleModel from_function(const std::string& name,
                                    std::function<at::Tensor(const at::Tensor&)> forward,
                                    const ModelFacts& facts = {});

 private:
  static UpscaleModel open(const std::string& path, const std::string& name, const ModelFacts& facts);
  static UpscaleModel empty(const std::string& name, const ModelFacts& facts);
};

/// How a picture is cut for the model.
struct UpscaleOptions {
  /// Side of the pieces the model sees, overlap included, in input pixels;
  /// 0 chooses it from `memory_budget`.
  int64_t tile_size = 0;
  /// Context on each side of a piece's kept centre; -1 takes the model's receptive field.
  int64_t overlap = -1;
  /// Bytes one piece's activations may take; 0: a quarter of the free memory, at most 2 GiB.
  int64_t memory_budget = 0;
  /// Called after each piece with the pieces done and the total so far (the
  /// total grows when a piece that ran out of memory is redone in halves).
  std::function<void(int64_t done, int64_t total)> progress;
};

class ImageUpscaleWithModel {
 public:
  /// Runs the model on `image` ([B, H, W, C] float32) and returns, as the
  /// first item, its output clamped to 0..1 as [B, s*H, s*W, C]. Runs in
  /// pieces chosen by the default options.
  static std::tuple<at::Tensor> upscale(const UpscaleModel& upscale_model, const at::Tensor& image);

  /// As above, cut as `options` say. The result equals a whole-picture pass
  /// wherever the receptive field lies inside a piece. A piece that runs out
  /// of memory is redone in halves, down to the smallest piece the overlap
  /// allows. A result that is not a float tensor, has other channels than the
  /// input, is not an integer multiple of the piece's size, differs in scale
  /// between pieces or holds NaN or infinity: ValueError naming the model and
  /// the piece, with shapes as the model sees them ([1, C, h, w]).
  static std::tuple<at::Tensor> upscale(const UpscaleModel& upscale_model, const at::Tensor& image,
                                        const UpscaleOptions& options);
};

}  // namespace quorv::host

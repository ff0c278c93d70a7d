// The settings of one upscale, as plain values: no tensor library, so that a
// command line can fill them without loading one.
#pragma once

#include <cstdint>
#include <string>

#include "host/errors.h"

namespace quorv::pipeline {

/// A setting the run cannot work with (a scale too large, a grid too fine, a
/// processor that does not fit); the message names the setting and the value.
class SettingsError : public ValueError {
 public:
  using ValueError::ValueError;
};

/// Every setting of the road from an input picture to the result. Defaults
/// are chosen so that fusion is what hides the seams: the generative fusion
/// mode with no compositing band pastes tiles back with hard edges, and each
/// tile's inpaint band keeps the original pixels along its shared edges,
/// which the fusion of the next tiles blends across.
struct UpscaleOptions {
  double scale = 2;  ///< the result is round(scale x side) on each side

  // the enlargement: lanczos unless a model is named
  std::string upscale_model;  ///< a TorchScript enlarging model file
  std::string model;          ///< a catalogue name or a model file that enlarges
  std::string models_dir;     ///< where catalogue models are installed; empty: the default folder
  int64_t model_tile = 0;     ///< side of the pieces a model sees; 0 from the memory budget

  // NodeState settings
  int64_t tile_width = 512;
  int64_t tile_height = 512;
  /// The tile size as the caller wrote it, quoted by messages; empty: "W" or "WxH".
  std::string tile_size_text;
  std::string mode = "Neuro_Generative_Tile_Fusion";  ///< PARAMS.Tile_Fusion_Mode
  double blend = 1.0;                                 ///< PARAMS.Tile_Fusion_Blend
  int64_t inpaint_border_margin = 16;
  int64_t inpaint_blur_margin = 16;
  int64_t shift = 0;
  int64_t shifttl = 0;
  int64_t composite_blur_margin = 0;
  double inpaint_max = 1.0;
  bool kontext = false;  ///< PARAMS.FLUX_Kontext
  double detail = 1.0;   ///< Upscale_Detailer: tiles reach the processor at this factor of their size
  bool debug_overlay = false;
  bool fast_preview = false;  ///< one tile processed, nothing pasted

  // tiles and fusion
  /// The processor's name ("identity", "demo", "torchscript:FILE", "model:NAME", ...):
  /// a model processor counts in the memory estimate.
  std::string processor = "identity";
  std::string fusion = "v1";  ///< "v1" (accumulating), "v0" (base) or "none"
  bool blend_all = false;     ///< fuse the right and bottom neighbours as well
  bool match_tone = false;    ///< bring each tile's tone to its finished neighbours' before fusion
  bool refix_seams = false;   ///< re-fuse, once, the borders that stand out after the rebuild
  double seam_threshold = 0;  ///< the score above which a border is re-fused; 0: measure::kVisibleSeam
  std::string fusion_address;  ///< the fusion service's base address ("http://HOST:PORT/")
  std::string fusion_token;    ///< its bearer token
  double fusion_timeout = 15;  ///< seconds without an answer before a service call fails
  bool strict = false;         ///< a tile not fused or processed is an Error
  bool keep_going = false;     ///< a tile the processor fails on stays as it was (listed in the report)
  bool keep_tiles = false;     ///< keep every finished tile for the previews (else each goes after its last reader)

  // work
  int threads = 0;  ///< at most this many threads per heavy stage; 0: as many as the caller has
  int jobs = 1;     ///< tiles processed at once; fusion and pasting stay in grid order
};

/// "512", or "512x384" when the sides differ; the written text when there is one.
inline std::string tile_size_name(const UpscaleOptions& o) {
  if (!o.tile_size_text.empty()) return o.tile_size_text;
  const std::string w = std::to_string(o.tile_width);
  return o.tile_width == o.tile_height ? w : w + "x" + std::to_string(o.tile_height);
}

}  // namespace quorv::pipeline

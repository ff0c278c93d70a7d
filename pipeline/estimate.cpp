#include <ATen/ATen.h>

#include <algorithm>
#include <cmath>

#include "host/checked_math.h"
#include "host/memory.h"
#include "pipeline/upscaler.h"

namespace quorv::pipeline {
namespace {

// Larger sides do not fit OpenCV's int sizes once multiplied by the channels.
constexpr int64_t kMaxSide = int64_t{1} << 28;
// libtorch, OpenCV and the program itself before any picture is loaded.
constexpr int64_t kBaseBytes = int64_t{256} << 20;

int64_t scaled_side(int64_t side, double scale, const char* what) {
  const double value = std::max(1.0, std::round(static_cast<double>(side) * scale));
  if (!(value <= static_cast<double>(kMaxSide)))
    throw SettingsError(std::string("the enlarged ") + what + " " + std::to_string(side) + " x " +
                     std::to_string(scale) + " exceeds " + std::to_string(kMaxSide) + " pixels");
  return static_cast<int64_t>(value);
}

int64_t float_picture_bytes(Size s, int64_t channels) {
  return checked_mul(checked_mul(checked_mul(s.width, s.height, "picture size"), channels, "picture size"), 4,
                     "picture size");
}

}  // namespace

Size enlarged_size(Size input, double scale) {
  return {scaled_side(input.width, scale, "width"), scaled_side(input.height, scale, "height")};
}

int64_t model_activation_budget() {
  constexpr int64_t kMostActivations = int64_t{2} << 30;
  return std::min(kMostActivations, available_memory_bytes() / 4);
}

int64_t estimated_peak_bytes(const Plan& plan, int64_t channels) {
  const UpscaleOptions& o = plan.options;
  const int64_t input = float_picture_bytes(plan.input, channels);
  // The working picture: the enlarged one with its padding, never smaller.
  const int64_t picture = float_picture_bytes(plan.working, channels);
  const int64_t tiles = finished_tiles_peak_bytes(plan.grid_specs, channels, o.keep_tiles);
  // A model's activations, up to the budget its pieces are cut to.
  const bool enlarges_with_model = !o.model.empty() || !o.upscale_model.empty();
  const bool processes_with_model = o.processor.rfind("model:", 0) == 0 || o.processor.rfind("torchscript:", 0) == 0;
  const int64_t activations = model_activation_budget();
  // Enlarging: the input, one pass's intermediate, the result and the padded
  // copy. Tile work: the enlarged picture, the result pasted into, the
  // finished tiles a later tile may still read (all of them for previews) and
  // the tile in hand with its masks. Writing: the result and two converted
  // copies of it.
  int64_t enlarging = checked_add(input, checked_mul(picture, 3, "estimate"), "estimate");
  if (enlarges_with_model) enlarging = checked_add(enlarging, activations, "estimate");
  int64_t tile_work = checked_add(checked_mul(picture, 2, "estimate"), checked_mul(tiles, 2, "estimate"), "estimate");
  if (processes_with_model) tile_work = checked_add(tile_work, activations, "estimate");
  // Several jobs: up to 2 x jobs processed tiles wait for their turn, and each running one has its activations.
  if (o.jobs > 1 && !plan.grid_specs.empty()) {
    const GridSpec& s = plan.grid_specs.front();
    const int64_t tile = float_picture_bytes({s.width_inc, s.height_inc}, channels);
    tile_work = checked_add(tile_work, checked_mul(tile, 2 * int64_t{o.jobs}, "estimate"), "estimate");
    if (processes_with_model)
      tile_work = checked_add(tile_work, checked_mul(activations, int64_t{o.jobs} - 1, "estimate"), "estimate");
  }
  // Re-fixing seams: the enlarged picture, the result and its re-blended
  // copy, with half a picture for the seam measure's bands and the heap the tile work leaves.
  const int64_t refixing = o.refix_seams ? checked_add(checked_mul(picture, 3, "estimate"), picture / 2, "estimate") : 0;
  const int64_t writing = checked_mul(picture, 3, "estimate");
  return checked_add(std::max({enlarging, tile_work, refixing, writing}), kBaseBytes, "estimate");
}

}  // namespace quorv::pipeline

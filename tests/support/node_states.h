// NodeStates for tests and benchmarks: every field the operations read, set.
#pragma once

#include <ATen/ATen.h>

#include <cstdint>
#include <string>

#include "host/node_state.h"

namespace quorv::test {

/// The settings a node gives the grid, the masks and the fusion.
struct NodeSettings {
  int64_t tile_w = 1024;
  int64_t tile_h = 1024;
  int64_t inpaint_border_margin = 8;
  int64_t inpaint_blur_margin = 16;
  int64_t shift = 8;
  int64_t composite_blur_margin = 32;
  std::string mode = "Tile_Fusion";
  double blend = 1.0;
};

/// A NodeState with `settings`, `picture` as OUTPUTS.image, and the other
/// fields at neutral values (no shortened far bands, inpaint strength 1,
/// flags off, an empty grid_images_all, a token).
inline NodeState node_state(const at::Tensor& picture, const NodeSettings& settings = {}) {
  NodeState SELF;
  SELF.SIZE.fullW = settings.tile_w;
  SELF.SIZE.fullH = settings.tile_h;
  SELF.SIZE.inpaint_border_margin = settings.inpaint_border_margin;
  SELF.SIZE.inpaint_blur_margin = settings.inpaint_blur_margin;
  SELF.SIZE.shift = settings.shift;
  SELF.SIZE.composite_blur_margin = settings.composite_blur_margin;
  SELF.SIZE.shifttl = 0;
  SELF.SIZE.inpaint_max = 1.0;
  SELF.PARAMS.Tile_Fusion_Mode = settings.mode;
  SELF.PARAMS.Tile_Fusion_Blend = settings.blend;
  SELF.PARAMS.FLUX_Kontext = false;
  SELF.PARAMS.Fast_1_Tile_Preview = false;
  SELF.PARAMS.Debug_Grid_Overlay = false;
  SELF.OUTPUTS.image = picture;
  SELF.OUTPUTS.grid_images_all = std::vector<at::Tensor>{};
  SELF.API.token = "token";
  return SELF;
}

/// A picture of that size whose values are never read: a broadcast view.
inline at::Tensor shape_only_picture(int64_t width, int64_t height) {
  return at::zeros({1, 1, 1, 3}).expand({1, height, width, 3});
}

}  // namespace quorv::test

#include <ATen/ATen.h>

#include "pipeline/upscaler.h"

namespace quorv::pipeline {

NodeState node_state(const UpscaleOptions& o, const at::Tensor& image) {
  NodeState SELF;
  SELF.SIZE.fullW = o.tile_width;
  SELF.SIZE.fullH = o.tile_height;
  SELF.SIZE.inpaint_border_margin = o.inpaint_border_margin;
  SELF.SIZE.inpaint_blur_margin = o.inpaint_blur_margin;
  SELF.SIZE.shift = o.shift;
  SELF.SIZE.shifttl = o.shifttl;
  SELF.SIZE.composite_blur_margin = o.composite_blur_margin;
  SELF.SIZE.inpaint_max = o.inpaint_max;
  SELF.PARAMS.Tile_Fusion_Mode = o.mode;
  SELF.PARAMS.Tile_Fusion_Blend = o.blend;
  SELF.PARAMS.FLUX_Kontext = o.kontext;
  SELF.PARAMS.Fast_1_Tile_Preview = o.fast_preview;
  SELF.PARAMS.Debug_Grid_Overlay = o.debug_overlay;
  SELF.OUTPUTS.image = image;
  SELF.OUTPUTS.grid_images_all = std::vector<at::Tensor>{};
  SELF.OUTPUTS.grid_images = std::vector<at::Tensor>{};
  SELF.SEGMENTS.segms_cropped_masks = std::vector<std::pair<at::Tensor, at::Tensor>>{};
  return SELF;
}

}  // namespace quorv::pipeline

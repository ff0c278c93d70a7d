#include <ATen/ATen.h>

#include <iostream>
#include <sstream>

#include "image/quorv_image.h"
#include "tools/image_io/image_io.h"
#include "tools/quorv/quorv_cli.h"

namespace quorv::cli {

Plan make_plan(const RunOptions& options, Size input) {
  Plan plan;
  plan.input = input;
  plan.enlarged = enlarged_size(input, options.scale);
  // The grid reads only the picture's shape: a zero-stride tensor of that shape allocates nothing.
  const at::Tensor shape = at::zeros({1, 1, 1, 3}).expand({1, plan.enlarged.height, plan.enlarged.width, 3});
  plan.SELF = node_state(options, shape);
  plan.grid_specs = Quorv_Image::get_tiled_grid_specs(plan.SELF, shape);
  // Same settings, same values: this only reads back the steps the grid used.
  const masks::MaskConstants constants = Quorv_Image::set_mask_constants(plan.SELF);
  plan.tile_grid_W = constants.tile_grid_W;
  plan.tile_grid_H = constants.tile_grid_H;
  plan.band = (plan.SELF.SIZE.fullW.get() - plan.SELF.SIZE.actual_inner_tile_sizeW.get()) / 2;
  plan.estimated_peak_bytes = estimated_peak_bytes(plan, 3);
  return plan;
}

int run_plan(const RunOptions& options) {
  // Only the header: the plan never decodes the pixels.
  const io::PictureHeader picture = io::read_header(io::read_input_bytes(options.input), options.input);
  const Size input{picture.width, picture.height};
  const Plan plan = make_plan(options, input);
  const SizeState& size = plan.SELF.SIZE;
  const ParamsState& params = plan.SELF.PARAMS;
  std::ostringstream out;
  out << "input      " << options.input << "  " << input.width << " x " << input.height << ", "
      << picture.bit_depth << "-bit" << (picture.grey() ? ", grey" : "") << (picture.has_alpha() ? ", with alpha" : "")
      << "\n"
      << "enlarged   " << plan.enlarged.width << " x " << plan.enlarged.height << "  (x" << options.scale << ", "
      << (options.upscale_model.empty() ? "lanczos" : "with model " + options.upscale_model)
      << ", sides rounded up to multiples of 8)\n"
      << "grid       " << params.rows_qty.get() << " rows x " << params.cols_qty.get()
      << " cols = " << plan.grid_specs.size() << " tiles of " << size.fullW.get() << " x " << size.fullH.get()
      << ", step " << plan.tile_grid_W << " x " << plan.tile_grid_H << ", overlap "
      << size.fullW.get() - plan.tile_grid_W << " x " << size.fullH.get() - plan.tile_grid_H << ", band "
      << plan.band << ", inner tile " << size.actual_inner_tile_sizeW.get() << " x "
      << size.actual_inner_tile_sizeH.get() << "\n"
      << "mode       " << params.Tile_Fusion_Mode.get() << "\n"
      << "memory     about " << human_bytes(plan.estimated_peak_bytes) << " at peak ("
      << human_bytes(available_memory_bytes()) << " available)\n"
      << "tiles      index  [row, col, order, x_start, y_start, width_inc, height_inc]\n";
  for (size_t i = 0; i < plan.grid_specs.size(); ++i)
    out << "           " << i << "  " << plan.grid_specs[i] << "\n";
  std::cout << out.str() << std::flush;
  return 0;
}

}  // namespace quorv::cli

#include <ATen/ATen.h>

#include <algorithm>
#include <iostream>
#include <sstream>

#include "tools/image_io/image_io.h"
#include "tools/quorv/quorv_cli.h"

namespace quorv::cli {

namespace {

std::string overlap_text(const std::pair<int64_t, int64_t>& range) {
  return range.first == range.second ? std::to_string(range.first)
                                     : std::to_string(range.first) + ".." + std::to_string(range.second);
}

}  // namespace

int run_plan(const RunOptions& options) {
  // Only the header: the plan never decodes the pixels.
  const io::PictureHeader picture = io::read_header(io::read_input_bytes(options.input), options.input);
  const Size input{picture.width, picture.height};
  const Plan plan = make_plan(options, input);
  for (const std::string& note : plan.notes) std::cerr << "quorv: note: " << note << std::endl;
  const SizeState& size = plan.SELF.SIZE;
  const ParamsState& params = plan.SELF.PARAMS;
  std::ostringstream out;
  out << "input      " << options.input << "  " << input.width << " x " << input.height << ", "
      << picture.bit_depth << "-bit" << (picture.grey() ? ", grey" : "") << (picture.has_alpha() ? ", with alpha" : "")
      << "\n"
      << "enlarged   " << plan.enlarged.width << " x " << plan.enlarged.height << "  (x" << options.scale << ", "
      << enlarge_method(options)
      << "; the output's size)\n"
      << "working    " << plan.working.width << " x " << plan.working.height
      << "  (edge-padded for the grid, cropped back at the end)\n"
      << "grid       " << params.rows_qty.get() << " rows x " << params.cols_qty.get()
      << " cols = " << plan.grid_specs.size() << " tiles of " << size.fullW.get() << " x " << size.fullH.get()
      << ", step " << plan.tile_grid_W << " x " << plan.tile_grid_H << ", overlap "
      << overlap_text(plan.overlap_x) << " x " << overlap_text(plan.overlap_y) << ", band "
      << plan.band << ", inner tile " << size.actual_inner_tile_sizeW.get() << " x "
      << size.actual_inner_tile_sizeH.get() << " (" << plan.uneven_tiles
      << " tiles on the grid alone, the last tiles pushed against the edge)\n"
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

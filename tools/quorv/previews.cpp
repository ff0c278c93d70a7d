#include <ATen/ATen.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <filesystem>
#include <set>

#include "image/quorv_image.h"
#include "tools/image_io/image_io.h"
#include "tools/quorv/quorv_cli.h"

namespace quorv::cli {
namespace {

namespace fs = std::filesystem;

// Side of the square around an inner tile corner in the close-up.
constexpr int64_t kCloseup = 256;

at::Tensor crop(const at::Tensor& picture, const GridSpec& s) {
  return picture.narrow(1, s.y_start, s.height_inc).narrow(2, s.x_start, s.width_inc);
}

// The inpaint mask and the paste mask of one tile, [1, 1, h, w] at the tile's size.
std::pair<at::Tensor, at::Tensor> tile_masks(const PreviewInputs& in, const GridSpec& s) {
  const pipeline::UpscaleOptions& o = in.options;
  at::Tensor inpaint = Quorv_Image::get_inpaint_mask(
      in.SELF, s.height_inc, s.width_inc, in.SELF.PARAMS.cols_qty.get(), in.SELF.PARAMS.rows_qty.get(), s,
      static_cast<double>(o.inpaint_blur_margin), static_cast<double>(o.shift),
      static_cast<double>(o.inpaint_border_margin), o.detail, o.inpaint_max);
  if (inpaint.size(2) != s.height_inc || inpaint.size(3) != s.width_inc)
    inpaint = at::upsample_bilinear2d(inpaint, {s.height_inc, s.width_inc}, false);
  // The rebuild's paste mask, as it builds it: its margins come from the mask constants.
  NodeState scratch = in.SELF;
  masks::OverlayMaskOptions paste;
  paste.composite_blur_margin = static_cast<double>(scratch.SIZE.composite_blur_margin.get());
  paste.inpaint_border_margin = static_cast<double>(Quorv_Image::set_mask_constants(scratch).inpaint_margin);
  paste.inpaint_max = 0;
  paste.feather_left = s.col > 0;
  paste.feather_top = s.row > 0;
  return {inpaint,
          Quorv_Image::create_custom_tile_overlay_mask(in.SELF, s.width_inc, s.height_inc, paste).compositing_mask};
}

cv::Mat rgb_levels(const at::Tensor& picture) {
  const at::Tensor levels = picture[0].clamp(0, 1).mul(255).round().to(at::kByte).contiguous();
  return cv::Mat(static_cast<int>(levels.size(0)), static_cast<int>(levels.size(1)), CV_8UC3, levels.data_ptr())
      .clone();
}

at::Tensor picture_of(const cv::Mat& levels) {
  return at::from_blob(levels.data, {1, levels.rows, levels.cols, 3}, at::kByte).to(at::kFloat).div_(255);
}

// The result with every regular tile outlined and numbered by its position in the grid list.
at::Tensor grid_picture(const at::Tensor& result, const std::vector<GridSpec>& grid) {
  cv::Mat canvas = rgb_levels(result);
  const int thickness = std::max(2, std::min(canvas.cols, canvas.rows) / 400);
  const cv::Scalar colours[] = {{255, 64, 64}, {64, 220, 64}, {64, 128, 255}, {255, 210, 0}};
  for (size_t i = 0; i < grid.size(); ++i) {
    const GridSpec& s = grid[i];
    if (s.is_segment()) continue;
    // Neighbours never share a colour, and every other one is drawn slightly inside, so overlaps stay readable.
    const cv::Scalar& colour = colours[(s.row % 2) * 2 + s.col % 2];
    const int inset = static_cast<int>((s.row + s.col) % 2) * thickness;
    cv::rectangle(canvas, {static_cast<int>(s.x_start) + inset, static_cast<int>(s.y_start) + inset},
                  {static_cast<int>(s.x_start + s.width_inc) - 1 - inset,
                   static_cast<int>(s.y_start + s.height_inc) - 1 - inset},
                  colour, thickness);
    const std::string number = std::to_string(i);
    const double scale = std::max(0.6, static_cast<double>(std::min(s.width_inc, s.height_inc)) / 160.0);
    int baseline = 0;
    const cv::Size text = cv::getTextSize(number, cv::FONT_HERSHEY_SIMPLEX, scale, thickness + 1, &baseline);
    const cv::Point at(static_cast<int>(s.x_start + s.width_inc / 2) - text.width / 2,
                       static_cast<int>(s.y_start + s.height_inc / 2) + text.height / 2);
    cv::putText(canvas, number, at, cv::FONT_HERSHEY_SIMPLEX, scale, cv::Scalar(0, 0, 0), thickness * 3, cv::LINE_AA);
    cv::putText(canvas, number, at, cv::FONT_HERSHEY_SIMPLEX, scale, colour, thickness + 1, cv::LINE_AA);
  }
  return picture_of(canvas);
}

// The enlarged picture and the result side by side around the first inner tile corner.
at::Tensor seam_closeup(const at::Tensor& enlarged, const at::Tensor& result, const std::vector<GridSpec>& grid) {
  const int64_t h = result.size(1), w = result.size(2);
  int64_t x = w / 2, y = h / 2;
  for (const GridSpec& s : grid) {
    if (s.is_segment()) continue;
    if (s.row == 0 && s.col == 1) x = s.x_start;
    if (s.row == 1 && s.col == 0) y = s.y_start;
  }
  const int64_t side = std::min({kCloseup, w, h});
  const int64_t x0 = std::clamp<int64_t>(x - side / 2, 0, w - side);
  const int64_t y0 = std::clamp<int64_t>(y - side / 2, 0, h - side);
  const GridSpec square{0, 0, 0, x0, y0, side, side};
  const at::Tensor gap = at::ones({1, side, 4, 3});
  return at::cat({crop(enlarged, square), gap, crop(result, square)}, 2);
}

}  // namespace

std::vector<std::string> write_previews(const std::string& dir, const PreviewInputs& in) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (!fs::is_directory(dir)) throw UsageError("cannot create the --previews folder '" + dir + "'");
  std::vector<std::string> written;
  auto write = [&](const std::string& name, const at::Tensor& picture) {
    const std::string path = (fs::path(dir) / name).string();
    io::write_picture(path, picture);
    written.push_back(path);
  };
  const Quorv_Image module;
  const SizeState& SIZE = in.SELF.SIZE;
  const int64_t rows = in.SELF.PARAMS.rows_qty.get(), cols = in.SELF.PARAMS.cols_qty.get();
  const int64_t middle = std::max<int64_t>(0, Quorv_Image::find_index(in.grid_specs, rows / 2, cols / 2));
  const GridSpec& spec = in.grid_specs[static_cast<size_t>(middle)];
  const auto [inpaint, paste] = tile_masks(in, spec);
  write("mask_preview.png",
        module.Preview_Mask(inpaint, paste, crop(in.enlarged, spec).contiguous(), SIZE,
                            static_cast<double>(in.options.inpaint_blur_margin),
                            (SIZE.fullW.get() - SIZE.actual_inner_tile_sizeW.get()) / 2, in.options.mode));
  const std::set<int64_t> shown{0, middle, static_cast<int64_t>(in.finished_tiles.size()) - 1};
  for (const int64_t i : shown)
    write("tile_" + std::to_string(i) + "_bands.png",
          module.overlay_tile_grid(in.finished_tiles[static_cast<size_t>(i)].contiguous(), SIZE));
  write("grid.png", grid_picture(in.result, in.grid_specs));
  write("seam_closeup.png", seam_closeup(in.enlarged, in.result, in.grid_specs));
  return written;
}

}  // namespace quorv::cli

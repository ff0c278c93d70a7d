#include <ATen/ATen.h>

#include <string>

#include "host/checked_math.h"
#include "host/errors.h"
#include "host/image_tensor.h"
#include "image/masks/masks.h"

namespace quorv::masks {
namespace {

// The tile-too-small banner, around the two sizes and the two totals.
constexpr const char* kBannerHead =
    "\u26A0\uFE0F Quorv Tilvorn FLUX PRO \u26A0\uFE0F\n\n"
    "Your Tile_size is to small for your PRO Tile Fusion and compositing mask settings.\n"
    "Tile_sizeH = ";
constexpr const char* kBannerHeightTotal = " total overlay top+bottom = ";
constexpr const char* kBannerWidth = "\nTile_sizeW = ";
constexpr const char* kBannerWidthTotal = " total overlay left+right = ";
constexpr const char* kBannerTail =
    "\nKeep in mind that Tile Fusion requires a double overlap on both sides, \n"
    "meaning the total border margins reduce the effective visible tile size by a factor of 4.\n";

std::string tile_too_small_banner(int64_t fullH, int64_t fullW, int64_t total_overlay) {
  const std::string total = std::to_string(total_overlay);
  return kBannerHead + std::to_string(fullH) + kBannerHeightTotal + total + kBannerWidth +
         std::to_string(fullW) + kBannerWidthTotal + total + kBannerTail;
}

struct Band {
  int64_t outer_mask_area;
  int64_t overlay_between_tiles;
  int64_t inpaint_margin;
};

Band band_for_mode(const std::string& mode, int64_t ibm, int64_t iblur, int64_t shift, int64_t cbm) {
  const char* what = "set_mask_constants band";
  if (mode == "Tile_Fusion" || mode == "Neuro_Generative_Tile_Fusion" || mode == "NGTF_FLUX_Kontext") {
    const int64_t inpaint_band = checked_add(checked_add(ibm, iblur, what), shift, what);
    const int64_t outer = checked_add(inpaint_band, cbm, what);
    // A fused tile overlaps by its own band plus its neighbour's.
    const int64_t overlay = checked_mul(outer, 2, what);
    return {outer, overlay, mode == "Tile_Fusion" ? inpaint_band : shift};
  }
  return {cbm, cbm, 0};
}

int64_t round_up_to_64(int64_t size, const char* what) {
  return checked_mul(ceil_div(size, 64, what), 64, what);
}

std::string zero_step_message(const char* axis, const char* field, int64_t tile, int64_t overlay) {
  return std::string("set_mask_constants: the ") + axis + " step " + field +
         " - overlay_between_tiles must not be 0, got " + std::to_string(tile) + " - " + std::to_string(overlay) +
         " (a tile no larger than its two bands)";
}

// The last tile is pushed against the edge, so the one before it is dropped
// when it already starts at or past that tile's start.
bool one_tile_too_many(int64_t count, int64_t step, int64_t picture, int64_t tile, const char* what) {
  return checked_mul(checked_sub(count, 2, what), step, what) >= checked_sub(picture, tile, what);
}

}  // namespace

MaskConstants set_mask_constants(NodeState& SELF) {
  const int64_t fullW = SELF.SIZE.fullW.get();
  const int64_t fullH = SELF.SIZE.fullH.get();
  const int64_t ibm = SELF.SIZE.inpaint_border_margin.get();
  const int64_t iblur = SELF.SIZE.inpaint_blur_margin.get();
  const int64_t shift = SELF.SIZE.shift.get();
  const int64_t cbm = SELF.SIZE.composite_blur_margin.get();
  const std::string mode = SELF.PARAMS.Tile_Fusion_Mode.get();
  const at::Tensor& image = SELF.OUTPUTS.image.get();
  require_dims(image, 4, "OUTPUTS.image");
  const int64_t image_H = image_height(image), image_W = image_width(image);

  SELF.SIZE.fullW = round_up_to_64(fullW, "SIZE.fullW");
  SELF.SIZE.fullH = round_up_to_64(fullH, "SIZE.fullH");
  const int64_t tileW = SELF.SIZE.fullW.get(), tileH = SELF.SIZE.fullH.get();
  const Band band = band_for_mode(mode, ibm, iblur, shift, cbm);
  const int64_t both_bands = checked_mul(band.outer_mask_area, 2, "set_mask_constants band");
  if (tileH < both_bands || tileW < both_bands) throw Error(tile_too_small_banner(tileH, tileW, both_bands));

  SELF.SIZE.actual_inner_tile_sizeW = checked_sub(tileW, both_bands, "SIZE.actual_inner_tile_sizeW");
  SELF.SIZE.actual_inner_tile_sizeH = checked_sub(tileH, both_bands, "SIZE.actual_inner_tile_sizeH");
  const int64_t tile_grid_W = checked_sub(tileW, band.overlay_between_tiles, "tile_grid_W");
  const int64_t tile_grid_H = checked_sub(tileH, band.overlay_between_tiles, "tile_grid_H");

  if (tile_grid_H == 0)
    throw ZeroDivisionError(zero_step_message("row", "SIZE.fullH", tileH, band.overlay_between_tiles));
  SELF.PARAMS.rows_qty =
      ceil_div(checked_sub(image_H, band.outer_mask_area, "PARAMS.rows_qty"), tile_grid_H, "PARAMS.rows_qty");
  if (tile_grid_W == 0)
    throw ZeroDivisionError(zero_step_message("column", "SIZE.fullW", tileW, band.overlay_between_tiles));
  SELF.PARAMS.cols_qty =
      ceil_div(checked_sub(image_W, band.outer_mask_area, "PARAMS.cols_qty"), tile_grid_W, "PARAMS.cols_qty");

  if (one_tile_too_many(SELF.PARAMS.rows_qty.get(), tile_grid_H, image_H, tileH, "PARAMS.rows_qty"))
    SELF.PARAMS.rows_qty = SELF.PARAMS.rows_qty.get() - 1;
  if (one_tile_too_many(SELF.PARAMS.cols_qty.get(), tile_grid_W, image_W, tileW, "PARAMS.cols_qty"))
    SELF.PARAMS.cols_qty = SELF.PARAMS.cols_qty.get() - 1;
  return {band.inpaint_margin, tile_grid_W, tile_grid_H, SELF.PARAMS.rows_qty.get(), SELF.PARAMS.cols_qty.get()};
}

}  // namespace quorv::masks

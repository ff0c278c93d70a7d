#include <algorithm>
#include <array>
#include <cstdlib>
#include <optional>
#include <string>

#include <ATen/ATen.h>

#include "host/checked_math.h"
#include "image/quorv_image.h"
#include "pipeline/upscaler.h"

namespace quorv::pipeline {
namespace {

// The grid needs sides divisible by 8; the module rounds tile sides up to multiples of 64.
constexpr int64_t kSideGranule = 8;
constexpr int64_t kTileGranule = 64;

int64_t round_up(int64_t value, int64_t granule) {
  return checked_mul(ceil_div(value, granule, "picture size"), granule, "picture size");
}

struct SideFit {
  int64_t working;
  int64_t tile;
};

// One side: padded to a multiple of 8, unless the tile is larger than that;
// then the tile shrinks to the side padded to a whole tile granule, so that
// one tile covers it exactly.
SideFit fit_side(int64_t enlarged, int64_t tile) {
  const int64_t padded = round_up(enlarged, kSideGranule);
  if (round_up(tile, kTileGranule) <= padded) return {padded, tile};
  const int64_t whole = round_up(enlarged, kTileGranule);
  return {whole, whole};
}

std::string size_text(int64_t width, int64_t height) {
  return std::to_string(width) + " x " + std::to_string(height);
}

struct Margin {
  const char* option;
  int64_t UpscaleOptions::*field;
};

// The margins whose sum is the band along each tile edge (the fusion modes
// use all four; the masks read all four in every mode).
constexpr std::array<Margin, 4> kMargins{{{"--inpaint-border-margin", &UpscaleOptions::inpaint_border_margin},
                                          {"--inpaint-blur-margin", &UpscaleOptions::inpaint_blur_margin},
                                          {"--shift", &UpscaleOptions::shift},
                                          {"--composite-blur-margin", &UpscaleOptions::composite_blur_margin}}};

int64_t band_of(const UpscaleOptions& o) {
  int64_t band = 0;
  for (const Margin& m : kMargins) band += o.*(m.field);
  return band;
}

// Two bands that meet or cross leave a tile no step: lower the largest
// margin, one pixel at a time, until the band takes a quarter of the tile,
// so that tiles still advance by half their size.
void fit_margins(UpscaleOptions& o, int64_t tile_width, int64_t tile_height, std::vector<std::string>& notes) {
  const int64_t shorter = std::min(tile_width, tile_height);
  const int64_t band = band_of(o);
  if (2 * band < shorter) return;
  const UpscaleOptions asked = o;
  const int64_t allowed = shorter / 4;
  for (int64_t excess = band - allowed; excess > 0; --excess) {
    const Margin* largest = &kMargins[0];
    for (const Margin& m : kMargins)
      if (o.*(m.field) > o.*(largest->field)) largest = &m;
    --(o.*(largest->field));
  }
  for (const Margin& m : kMargins)
    if (o.*(m.field) != asked.*(m.field))
      notes.push_back(std::string(m.option) + " lowered from " + std::to_string(asked.*(m.field)) + " to " +
                      std::to_string(o.*(m.field)) + ": bands of " + std::to_string(band) +
                      " pixels a side leave no room in the " + size_text(tile_width, tile_height) +
                      " tile; they now take " + std::to_string(band_of(o)) + ", a quarter of it");
}


// The library's count and step on one side of `working` pixels with `tile`
// pixels tiles (the same on both sides, so one call answers for one side).
masks::MaskConstants library_grid(const UpscaleOptions& o, int64_t tile, int64_t working) {
  UpscaleOptions square = o;
  square.tile_width = square.tile_height = tile;
  const at::Tensor shape = at::zeros({1, 1, 1, 3}).expand({1, working, working, 3});
  NodeState SELF = node_state(square, shape);
  return Quorv_Image::set_mask_constants(SELF);
}

// The grid pushes its last column against the picture's edge, so on most
// sizes the last tile overlaps its neighbour far more than the others do:
// duplicate work, and a corner too narrow for the fusion's ramps. Here the
// tile side (a multiple of the tile granule, from three quarters of the asked
// one to an eighth above it) and the padding are chosen so that
// working = tile + n x step exactly: every step equal, every overlap the
// asked one, the least tile area in total (then the tile closest to the
// asked one). When no tile gives that (bands close to half the tile), the
// side is padded to a multiple of 8 as before.
SideFit even_side(const UpscaleOptions& o, int64_t enlarged, int64_t asked) {
  const int64_t asked_tile = round_up(asked, kTileGranule);
  const SideFit uneven{round_up(enlarged, kSideGranule), asked};
  const int64_t overlap = asked_tile - library_grid(o, asked_tile, asked_tile).tile_grid_W;
  const int64_t lo = std::min(asked_tile, std::max(kTileGranule, round_up(asked_tile * 3 / 4, kTileGranule)));
  const int64_t hi = std::max(asked_tile, std::min(asked_tile * 9 / 8 / kTileGranule * kTileGranule,
                                                   round_up(enlarged, kTileGranule)));
  std::optional<SideFit> best;
  int64_t best_area = 0;
  for (int64_t tile = lo; tile <= hi; tile += kTileGranule) {
    const int64_t step = tile - overlap;
    // Tiles other than the asked one keep the bands within a quarter of the tile.
    if (step <= 0 || (tile != asked_tile && 4 * band_of(o) > tile)) continue;
    const int64_t steps = enlarged <= tile ? 0 : ceil_div(enlarged - tile, step, "picture size");
    const int64_t working = tile + steps * step;
    const masks::MaskConstants grid = library_grid(o, tile, working);
    if (grid.cols_qty != steps + 1 || grid.tile_grid_W != step) continue;
    const int64_t area = (steps + 1) * tile;
    const auto distance = [&](int64_t t) { return std::abs(t - asked_tile); };
    if (!best || area < best_area || (area == best_area && distance(tile) < distance(best->tile))) {
      best = SideFit{working, tile};
      best_area = area;
    }
  }
  if (!best) return uneven;
  // The module rounds the tile up itself: the asked text stays when that is all that changed.
  if (best->tile == asked_tile) best->tile = asked;
  return *best;
}

int64_t tile_count(const UpscaleOptions& o, int64_t tile_width, int64_t tile_height, Size working) {
  return library_grid(o, tile_width, working.width).cols_qty * library_grid(o, tile_height, working.height).cols_qty;
}

}  // namespace

PictureFit fit_to_picture(const UpscaleOptions& options, Size input) {
  PictureFit fit;
  fit.options = options;
  fit.enlarged = enlarged_size(input, options.scale);
  const SideFit across = fit_side(fit.enlarged.width, options.tile_width);
  const SideFit down = fit_side(fit.enlarged.height, options.tile_height);
  fit.working = {across.working, down.working};
  UpscaleOptions& o = fit.options;
  // The module rounds a tile side up to the granule; only a change beyond that is news.
  const auto changed = [](int64_t before, int64_t after) {
    return round_up(before, kTileGranule) != round_up(after, kTileGranule);
  };
  if (changed(o.tile_width, across.tile) || changed(o.tile_height, down.tile)) {
    o.tile_width = across.tile;
    o.tile_height = down.tile;
    fit.notes.push_back("--tile-size " + tile_size_name(options) + " lowered to " +
                        size_text(o.tile_width, o.tile_height) + ": a tile is no larger than the picture (" +
                        size_text(fit.enlarged.width, fit.enlarged.height) + ")");
    o.tile_size_text = std::to_string(o.tile_width) + "x" + std::to_string(o.tile_height);
  }
  fit_margins(o, round_up(o.tile_width, kTileGranule), round_up(o.tile_height, kTileGranule), fit.notes);

  fit.uneven_tiles = tile_count(o, o.tile_width, o.tile_height, fit.working);
  const SideFit even_across = even_side(o, fit.enlarged.width, o.tile_width);
  const SideFit even_down = even_side(o, fit.enlarged.height, o.tile_height);
  fit.working = {even_across.working, even_down.working};
  if (changed(o.tile_width, even_across.tile) || changed(o.tile_height, even_down.tile)) {
    const std::string before = tile_size_name(o);
    const std::string before_size = size_text(round_up(o.tile_width, kTileGranule), round_up(o.tile_height, kTileGranule));
    const int64_t tiles = tile_count(o, even_across.tile, even_down.tile, fit.working);
    o.tile_width = even_across.tile;
    o.tile_height = even_down.tile;
    fit.notes.push_back("--tile-size " + before + " changed to " + size_text(o.tile_width, o.tile_height) +
                        " so that tiles step evenly over the " + size_text(fit.enlarged.width, fit.enlarged.height) +
                        " picture (padded to " + size_text(fit.working.width, fit.working.height) + "): " +
                        std::to_string(tiles) + " tiles of " + size_text(o.tile_width, o.tile_height) + " instead of " +
                        std::to_string(fit.uneven_tiles) + " of " + before_size);
    o.tile_size_text = std::to_string(o.tile_width) + "x" + std::to_string(o.tile_height);
  }
  return fit;
}

}  // namespace quorv::pipeline

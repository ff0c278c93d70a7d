#include <algorithm>
#include <array>
#include <string>

#include "host/checked_math.h"
#include "tools/quorv/quorv_cli.h"

namespace quorv::cli {
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
  int64_t RunOptions::*field;
};

// The margins whose sum is the band along each tile edge (the fusion modes
// use all four; the masks read all four in every mode).
constexpr std::array<Margin, 4> kMargins{{{"--inpaint-border-margin", &RunOptions::inpaint_border_margin},
                                          {"--inpaint-blur-margin", &RunOptions::inpaint_blur_margin},
                                          {"--shift", &RunOptions::shift},
                                          {"--composite-blur-margin", &RunOptions::composite_blur_margin}}};

int64_t band_of(const RunOptions& o) {
  int64_t band = 0;
  for (const Margin& m : kMargins) band += o.*(m.field);
  return band;
}

// Two bands that meet or cross leave a tile no step: lower the largest
// margin, one pixel at a time, until the band takes a quarter of the tile,
// so that tiles still advance by half their size.
void fit_margins(RunOptions& o, int64_t tile_width, int64_t tile_height, std::vector<std::string>& notes) {
  const int64_t shorter = std::min(tile_width, tile_height);
  const int64_t band = band_of(o);
  if (2 * band < shorter) return;
  const RunOptions asked = o;
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

}  // namespace

PictureFit fit_to_picture(const RunOptions& options, Size input) {
  PictureFit fit;
  fit.options = options;
  fit.enlarged = enlarged_size(input, options.scale);
  const SideFit across = fit_side(fit.enlarged.width, options.tile_width);
  const SideFit down = fit_side(fit.enlarged.height, options.tile_height);
  fit.working = {across.working, down.working};
  RunOptions& o = fit.options;
  // The module rounds a tile side up to the granule; only a change beyond that is news.
  const auto changed = [](int64_t before, int64_t after) {
    return round_up(before, kTileGranule) != round_up(after, kTileGranule);
  };
  if (changed(o.tile_width, across.tile) || changed(o.tile_height, down.tile)) {
    o.tile_width = across.tile;
    o.tile_height = down.tile;
    fit.notes.push_back("--tile-size " + options.tile_size_text + " lowered to " +
                        size_text(o.tile_width, o.tile_height) + ": a tile is no larger than the picture (" +
                        size_text(fit.enlarged.width, fit.enlarged.height) + ", padded to " +
                        size_text(fit.working.width, fit.working.height) + ")");
    o.tile_size_text = std::to_string(o.tile_width) + "x" + std::to_string(o.tile_height);
  }
  fit_margins(o, round_up(o.tile_width, kTileGranule), round_up(o.tile_height, kTileGranule), fit.notes);
  return fit;
}

}  // namespace quorv::cli

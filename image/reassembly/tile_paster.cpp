#include <ATen/ATen.h>

#include <map>
#include <optional>
#include <utility>

#include "host/errors.h"
#include "host/nodes/image_composite_masked.h"
#include "image/masks/masks.h"
#include "image/module.h"
#include "image/previews/previews.h"
#include "image/reassembly/reassembly.h"

namespace quorv::reassembly {
namespace {

// A paste mask and the bands where it is below 1: rows [0, band_rows) and
// columns [0, band_cols). Everything else is exactly 1, where pasting is a
// plain copy (blending with weight 1 gives the source exactly).
struct PasteMask {
  at::Tensor mask;  // [1, 1, h, w]
  int64_t band_rows;
  int64_t band_cols;
};

PasteMask paste_mask(const at::Tensor& mask) {
  const int64_t h = mask.size(2), w = mask.size(3);
  if (h == 0 || w == 0) return {mask, h, 0};
  const at::Tensor plane = mask.view({h, w});
  // The last column and the last row see only the row and the column profile.
  const at::Tensor low_rows = (plane.select(1, w - 1) < 1).nonzero();
  const at::Tensor low_cols = (plane.select(0, h - 1) < 1).nonzero();
  int64_t rows = low_rows.numel() ? low_rows.max().item<int64_t>() + 1 : 0;
  int64_t cols = low_cols.numel() ? low_cols.max().item<int64_t>() + 1 : 0;
  if (!plane.narrow(0, rows, h - rows).narrow(1, cols, w - cols).eq(1).all().item<bool>()) rows = h;
  return {mask, rows, cols};
}

// The three masks of one tile size, and their combinations, built on first use.
class MaskSet {
 public:
  MaskSet(const NodeState& SELF, int64_t width, int64_t height, int64_t feather_mask, int64_t crop_margin) {
    masks::OverlayMaskOptions options;
    options.composite_blur_margin = static_cast<double>(feather_mask);
    options.inpaint_border_margin = static_cast<double>(crop_margin);
    options.inpaint_max = 0;
    first_ = masks::create_custom_tile_overlay_mask(SELF, width, height, options).compositing_mask;
    options.feather_left = true;
    vertical_ = masks::create_custom_tile_overlay_mask(SELF, width, height, options).compositing_mask;
    options.feather_left = false;
    options.feather_top = true;
    horizontal_ = masks::create_custom_tile_overlay_mask(SELF, width, height, options).compositing_mask;
  }

  // Feathered on the left unless in column 0, on the top unless in row 0.
  const PasteMask& for_position(int64_t row, int64_t col) {
    const int kind = (row == 0 ? 0 : 2) + (col == 0 ? 0 : 1);
    std::optional<PasteMask>& slot = by_kind_[kind];
    if (!slot) {
      const at::Tensor& left = col == 0 ? first_ : vertical_;
      slot = paste_mask(row == 0 ? left : at::minimum(left, horizontal_));
    }
    return *slot;
  }

 private:
  at::Tensor first_, vertical_, horizontal_;
  std::optional<PasteMask> by_kind_[4];
};

// canvas <- tile pasted at (x, y) through the mask, in place: blended bands, copied interior.
void paste(at::Tensor& canvas, const at::Tensor& tile, int64_t x, int64_t y, const PasteMask& m) {
  const int64_t h = tile.size(1), w = tile.size(2);
  if (m.mask.size(2) != h || m.mask.size(3) != w) {
    host::ImageCompositeMasked::composite_into(canvas, tile, x, y, m.mask);
    return;
  }
  const int64_t rows = m.band_rows, cols = m.band_cols;
  if (rows > 0) host::ImageCompositeMasked::composite_into(canvas, tile.narrow(1, 0, rows), x, y, m.mask.narrow(2, 0, rows));
  if (rows == h) return;
  const at::Tensor below = tile.narrow(1, rows, h - rows);
  if (cols > 0)
    host::ImageCompositeMasked::composite_into(canvas, below.narrow(2, 0, cols), x, y + rows,
                                         m.mask.narrow(2, rows, h - rows).narrow(3, 0, cols));
  if (cols < w) host::ImageCompositeMasked::composite_into(canvas, below.narrow(2, cols, w - cols), x + cols, y + rows, std::nullopt);
}

}  // namespace

// The mask sets by tile size (width, height).
struct TilePaster::MaskSets {
  std::map<std::pair<int64_t, int64_t>, MaskSet> by_size;
};

TilePaster::TilePaster(const NodeState& SELF, int64_t feather_mask, int64_t crop_margin)
    : SELF_(SELF), feather_mask_(feather_mask), crop_margin_(crop_margin), masks_(std::make_unique<MaskSets>()) {}

TilePaster::~TilePaster() = default;
TilePaster::TilePaster(TilePaster&&) noexcept = default;

void TilePaster::paste(at::Tensor& canvas, const at::Tensor& tile, const GridSpec& spec) {
  require_image(canvas, "TilePaster canvas");
  require_image(tile, "TilePaster tile");
  const std::pair<int64_t, int64_t> size{spec.width_inc, spec.height_inc};
  auto set = masks_->by_size.find(size);
  if (set == masks_->by_size.end())
    set = masks_->by_size.emplace(size, MaskSet(SELF_, spec.width_inc, spec.height_inc, feather_mask_, crop_margin_))
              .first;
  const at::Tensor picture =
      SELF_.PARAMS.Debug_Grid_Overlay.get() ? previews::overlay_tile_grid(tile, SELF_.SIZE) : tile;
  reassembly::paste(canvas, picture, spec.x_start, spec.y_start, set->second.for_position(spec.row, spec.col));
}

}  // namespace quorv::reassembly

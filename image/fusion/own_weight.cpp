#include <ATen/ATen.h>

#include <algorithm>

#include "host/errors.h"
#include "host/nodes/image_composite_masked.h"
#include "image/fusion/fusion_internal.h"

namespace quorv::fusion::detail {
namespace {

// The strip blend of an all-ones tile with an all-zeros neighbour: (1 - feather) * current,
// kept where it is not exactly 1.
at::Tensor own_weight_after(const at::Tensor& feather, const at::Tensor& current) {
  const at::Tensor mask = (1 - feather) * current;
  return at::where(mask != 1, mask, current);
}

}  // namespace

at::Tensor normalise_weight(const at::Tensor& map, const at::Tensor& min, const at::Tensor& max) {
  at::Tensor n = (max > min).item<bool>() ? (map - min).div_(max - min) : map.clone();
  // After the clamp only NaN can be left; both infinities would become 0 as well.
  return n.clamp_(0.0, 1.0).nan_to_num_(0.0, 0.0, 0.0);
}

OwnWeight::OwnWeight(int64_t height, int64_t width, const at::Device& device)
    : height_(height), width_(width), device_(device) {}

void OwnWeight::add_top(const at::Tensor& feather) {
  if (top_.defined() || left_.defined()) throw AssertionError("OwnWeight: the top strip comes first, once");
  top_ = own_weight_after(feather.flatten(), at::ones({feather.numel()}, feather.options()));
}

void OwnWeight::add_left(const at::Tensor& feather) {
  if (left_.defined()) throw AssertionError("OwnWeight: one left strip only");
  const at::Tensor profile = feather.flatten();
  left_ = own_weight_after(profile, at::ones_like(profile));
  // Rows of the top strip times columns of the left one, broadcast rather than
  // expanded: an expanded operand takes ATen's slow path over the whole block.
  if (top_.defined()) {
    const at::Tensor mask = (1 - profile).view({1, -1}) * top_.view({-1, 1});
    corner_ = at::where(mask != 1, mask, top_.view({-1, 1}));
  }
}

at::Tensor OwnWeight::materialise() const {
  at::Tensor map = at::ones({height_, width_}, at::TensorOptions().dtype(at::kFloat).device(device_));
  const int64_t ty = top_rows(), lx = left_cols();
  if (ty > 0) map.narrow(0, 0, ty).copy_(top_.view({ty, 1}).expand({ty, width_}));
  if (lx > 0) map.narrow(1, 0, lx).copy_(left_.view({1, lx}).expand({height_, lx}));
  if (ty > 0 && lx > 0) map.narrow(0, 0, ty).narrow(1, 0, lx).copy_(corner_);
  return map;
}

std::pair<at::Tensor, at::Tensor> OwnWeight::range() const {
  // From the parts that occur in the map; the rest of it is 1.
  const int64_t ty = top_rows(), lx = left_cols();
  std::vector<at::Tensor> parts;
  if (ty > 0 && lx < width_) parts.push_back(top_);
  if (lx > 0 && ty < height_) parts.push_back(left_);
  if (ty > 0 && lx > 0) parts.push_back(corner_.flatten());
  if ((ty < height_ && lx < width_) || parts.empty())
    parts.push_back(at::ones({1}, at::TensorOptions().dtype(at::kFloat).device(device_)));
  const at::Tensor all = at::cat(parts);
  return {all.min(), all.max()};
}

bool OwnWeight::blends_everywhere() const { return composites() && outside_strips_blend(range()); }

bool OwnWeight::outside_strips_blend(const std::pair<at::Tensor, at::Tensor>& range) {
  const auto& [min, max] = range;
  return normalise_weight(at::ones({}, min.options()), min, max).item<float>() != 1.0f;
}

TileBefore TileBefore::whole(const at::Tensor& tile) {
  TileBefore t;
  t.whole_ = tile;
  return t;
}

TileBefore TileBefore::bands(const at::Tensor& tile, int64_t top_rows, int64_t left_cols, at::Tensor* scratch) {
  TileBefore t;
  const at::Tensor top = tile.narrow(1, 0, top_rows), left = tile.narrow(2, 0, left_cols);
  const int64_t needed = top.numel() + left.numel();
  if (needed == 0) return t;
  at::Tensor memory;
  if (scratch && scratch->defined() && scratch->numel() >= needed && scratch->dtype() == tile.dtype() &&
      scratch->device() == tile.device())
    memory = *scratch;
  else
    memory = at::empty({needed}, tile.options());
  if (scratch) *scratch = memory;
  if (top.numel() > 0) t.top_ = memory.narrow(0, 0, top.numel()).view(top.sizes()).copy_(top);
  if (left.numel() > 0) t.left_ = memory.narrow(0, top.numel(), left.numel()).view(left.sizes()).copy_(left);
  return t;
}

at::Tensor TileBefore::region(int64_t row, int64_t rows, int64_t col, int64_t cols) const {
  const at::Tensor* from = nullptr;
  if (whole_.defined())
    from = &whole_;
  else if (top_.defined() && row + rows <= top_.size(1))
    from = &top_;
  else if (left_.defined() && col + cols <= left_.size(2))
    from = &left_;
  if (!from)
    throw AssertionError("TileBefore: rows " + std::to_string(row) + "+" + std::to_string(rows) + ", columns " +
                         std::to_string(col) + "+" + std::to_string(cols) + " were not kept");
  return from->narrow(1, row, rows).narrow(2, col, cols);
}

void OwnWeight::composite(at::Tensor& combined, const TileBefore& tile,
                          const std::vector<std::array<int64_t, 4>>& written) const {
  const int64_t ty = top_rows(), lx = left_cols();
  if (!composites()) return;  // all ones: the composite gives the tile back
  const auto weight_range = range();
  const auto& [min, max] = weight_range;
  if (outside_strips_blend(weight_range)) {
    // Pixels outside the strips would not keep the tile exactly: blend everywhere.
    host::ImageCompositeMasked::composite_into(combined, tile.region(0, height_, 0, width_), 0, 0,
                                               normalise_weight(materialise(), min, max));
    return;
  }
  // w * tile + (1 - w) * combined, as the host's masked composite weighs its source.
  auto blend = [&](int64_t row, int64_t rows, int64_t col, int64_t cols, const at::Tensor& w) {
    blend_into(combined.narrow(1, row, rows).narrow(2, col, cols), tile.region(row, rows, col, cols), w);
  };
  if (ty > 0 && lx < width_) blend(0, ty, lx, width_ - lx, normalise_weight(top_, min, max).view({1, ty, 1, 1}));
  if (lx > 0 && ty < height_) blend(ty, height_ - ty, 0, lx, normalise_weight(left_, min, max).view({1, 1, lx, 1}));
  if (ty > 0 && lx > 0) blend(0, ty, 0, lx, normalise_weight(corner_, min, max).view({1, ty, lx, 1}));

  // Outside the strips the composite restores the tile, also over corners blended there.
  for (const auto& [r0, r1, c0, c1] : written) {
    const int64_t row = std::max(r0, ty), col = std::max(c0, lx);
    if (row >= r1 || col >= c1) continue;
    combined.narrow(1, row, r1 - row).narrow(2, col, c1 - col).copy_(tile.region(row, r1 - row, col, c1 - col));
  }
}

}  // namespace quorv::fusion::detail

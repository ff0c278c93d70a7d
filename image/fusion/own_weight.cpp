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

void OwnWeight::composite(at::Tensor& combined, const at::Tensor& tile,
                          const std::vector<std::array<int64_t, 4>>& written) const {
  const int64_t ty = top_rows(), lx = left_cols();
  if (ty == 0 && lx == 0) return;  // all ones: the composite gives the tile back
  const auto options = at::TensorOptions().dtype(at::kFloat).device(device_);

  // Minimum and maximum over the whole map, from the parts that occur in it.
  const at::Tensor one = at::ones({}, options);
  std::vector<at::Tensor> parts;
  if (ty > 0 && lx < width_) parts.push_back(top_);
  if (lx > 0 && ty < height_) parts.push_back(left_);
  if (ty > 0 && lx > 0) parts.push_back(corner_.flatten());
  if (ty < height_ && lx < width_) parts.push_back(one.view({1}));
  const at::Tensor all = at::cat(parts);
  const at::Tensor min = all.min(), max = all.max();

  if (normalise_weight(one, min, max).item<float>() != 1.0f) {
    // Pixels outside the strips would not keep the tile exactly: blend everywhere.
    host::ImageCompositeMasked::composite_into(combined, tile, 0, 0, normalise_weight(materialise(), min, max));
    return;
  }
  // w * tile + (1 - w) * combined, as the host's masked composite weighs its source.
  auto blend = [&](int64_t row, int64_t rows, int64_t col, int64_t cols, const at::Tensor& w) {
    blend_into(combined.narrow(1, row, rows).narrow(2, col, cols), tile.narrow(1, row, rows).narrow(2, col, cols), w);
  };
  if (ty > 0 && lx < width_) blend(0, ty, lx, width_ - lx, normalise_weight(top_, min, max).view({1, ty, 1, 1}));
  if (lx > 0 && ty < height_) blend(ty, height_ - ty, 0, lx, normalise_weight(left_, min, max).view({1, 1, lx, 1}));
  if (ty > 0 && lx > 0) blend(0, ty, 0, lx, normalise_weight(corner_, min, max).view({1, ty, lx, 1}));

  // Outside the strips the composite restores the tile, also over corners blended there.
  for (const auto& [r0, r1, c0, c1] : written) {
    const int64_t row = std::max(r0, ty), col = std::max(c0, lx);
    if (row >= r1 || col >= c1) continue;
    combined.narrow(1, row, r1 - row).narrow(2, col, c1 - col)
        .copy_(tile.narrow(1, row, r1 - row).narrow(2, col, c1 - col));
  }
}

}  // namespace quorv::fusion::detail

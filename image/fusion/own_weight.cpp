#include <ATen/ATen.h>

#include <algorithm>

#include "host/nodes/image_composite_masked.h"
#include "image/fusion/fusion_internal.h"

namespace quorv::fusion::detail {

at::Tensor normalise_weight(const at::Tensor& map, const at::Tensor& min, const at::Tensor& max) {
  at::Tensor n = (max > min).item<bool>() ? (map - min).div_(max - min) : map.clone();
  // After the clamp only NaN can be left; both infinities would become 0 as well.
  return n.clamp_(0.0, 1.0).nan_to_num_(0.0, 0.0, 0.0);
}

OwnWeight::OwnWeight(int64_t height, int64_t width, const at::Device& device)
    : height_(height), width_(width), device_(device) {}

at::Tensor OwnWeight::block(int64_t rows, int64_t cols) const {
  at::Tensor out = at::ones({rows, cols}, at::TensorOptions().dtype(at::kFloat).device(device_));
  if (left_.defined()) {
    const int64_t r = std::min(rows, left_.size(0)), c = std::min(cols, left_.size(1));
    out.narrow(0, 0, r).narrow(1, 0, c).copy_(left_.narrow(0, 0, r).narrow(1, 0, c));
  }
  if (top_.defined()) {
    const int64_t r = std::min(rows, top_.size(0)), c = std::min(cols, top_.size(1));
    out.narrow(0, 0, r).narrow(1, 0, c).copy_(top_.narrow(0, 0, r).narrow(1, 0, c));
  }
  return out;
}

void OwnWeight::add_top(const at::Tensor& feather) {
  const int64_t rows = feather.size(1);
  const at::Tensor current = block(rows, width_);
  // The strip blend of all ones (tile) with all zeros (neighbour): (1 - feather) * current.
  const at::Tensor mask = (1 - feather.view({rows, 1})) * current;
  top_ = at::where(mask != 1, mask, current);
  if (left_.defined()) {
    const int64_t c = left_.size(1);
    left_.narrow(0, 0, rows).copy_(top_.narrow(1, 0, c));
  }
}

void OwnWeight::add_left(const at::Tensor& feather) {
  const int64_t cols = feather.size(2);
  const at::Tensor current = block(height_, cols);
  const at::Tensor mask = (1 - feather.view({1, cols})) * current;
  left_ = at::where(mask != 1, mask, current);
  if (top_.defined()) top_.narrow(1, 0, cols).copy_(left_.narrow(0, 0, top_.size(0)));
}

at::Tensor OwnWeight::materialise() const { return block(height_, width_); }

void OwnWeight::composite(at::Tensor& combined, const at::Tensor& tile,
                          const std::vector<std::array<int64_t, 4>>& written) const {
  const int64_t top_rows = top_.defined() ? top_.size(0) : 0;
  const int64_t left_cols = left_.defined() ? left_.size(1) : 0;
  if (top_rows == 0 && left_cols == 0) return;  // all ones: the composite gives the tile back
  const auto options = at::TensorOptions().dtype(at::kFloat).device(device_);

  // Minimum and maximum over the whole map: the strips and, when some pixel
  // lies outside both, the 1 that every such pixel holds.
  const at::Tensor one = at::ones({}, options);
  const bool has_outside = top_rows < height_ && left_cols < width_;
  at::Tensor min = has_outside ? one : at::full({}, INFINITY, options);
  at::Tensor max = has_outside ? one : at::full({}, -INFINITY, options);
  for (const at::Tensor* strip : {&top_, &left_}) {
    if (!strip->defined() || strip->numel() == 0) continue;
    min = at::minimum(min, strip->min());
    max = at::maximum(max, strip->max());
  }

  if (normalise_weight(one, min, max).item<float>() != 1.0f) {
    // Pixels outside the strips would not keep the tile exactly: blend everywhere.
    host::ImageCompositeMasked::composite_into(combined, tile, 0, 0, normalise_weight(materialise(), min, max));
    return;
  }
  // w * tile + (1 - w) * combined, as the host's masked composite weighs its source.
  if (top_rows > 0) {
    const at::Tensor w = normalise_weight(top_, min, max).view({1, top_rows, width_, 1});
    blend_into(combined.narrow(1, 0, top_rows), tile.narrow(1, 0, top_rows), w);
  }
  if (left_cols > 0 && top_rows < height_) {
    const int64_t rows = height_ - top_rows;
    const at::Tensor w = normalise_weight(left_.narrow(0, top_rows, rows), min, max).view({1, rows, left_cols, 1});
    blend_into(combined.narrow(1, top_rows, rows).narrow(2, 0, left_cols),
               tile.narrow(1, top_rows, rows).narrow(2, 0, left_cols), w);
  }
  // Outside the strips the composite restores the tile, also over corners blended there.
  for (const auto& [r0, r1, c0, c1] : written) {
    const int64_t row = std::max(r0, top_rows), col = std::max(c0, left_cols);
    if (row >= r1 || col >= c1) continue;
    combined.narrow(1, row, r1 - row).narrow(2, col, c1 - col)
        .copy_(tile.narrow(1, row, r1 - row).narrow(2, col, c1 - col));
  }
}

}  // namespace quorv::fusion::detail

#include <ATen/ATen.h>

#include "host/errors.h"
#include "image/fusion/fusion.h"
#include "image/fusion/fusion_internal.h"

namespace quorv::fusion {
namespace {

// A ramp written into a weight that is too short for it.
void require_ramp_fits(int64_t ramp, int64_t axis_length, const char* axis, const char* op) {
  if (ramp > axis_length)
    throw Error(std::string(op) + ": a ramp of " + std::to_string(ramp) + " does not fit the corner's " +
                std::to_string(axis_length) + " " + axis);
}

at::TensorOptions weight_options(const at::Device& device) {
  return at::TensorOptions().dtype(at::kFloat).device(device);
}

// The corner of `combined` at `corner`, mixed with the neighbour's `neighbour_corner`.
at::Tensor blended_corner(const at::Tensor& corner, const at::Tensor& neighbour_corner, const at::Tensor& feather) {
  at::Tensor out = corner.clone(at::MemoryFormat::Contiguous);
  detail::blend_into(out, neighbour_corner, feather);
  return out;
}

}  // namespace

namespace detail {

at::Tensor top_right_of(const at::Tensor& t, int64_t crop_x, int64_t crop_y) {
  return t.narrow(1, 0, crop_y).narrow(2, t.size(2) - crop_x, crop_x);
}
at::Tensor bottom_right_of(const at::Tensor& t, int64_t crop_x, int64_t crop_y) {
  return t.narrow(1, t.size(1) - crop_y, crop_y).narrow(2, t.size(2) - crop_x, crop_x);
}
at::Tensor bottom_left_of(const at::Tensor& t, int64_t crop_x, int64_t crop_y) {
  return t.narrow(1, t.size(1) - crop_y, crop_y).narrow(2, 0, crop_x);
}
at::Tensor top_left_of(const at::Tensor& t, int64_t crop_x, int64_t crop_y) {
  return t.narrow(1, 0, crop_y).narrow(2, 0, crop_x);
}

void require_corner(const at::Tensor& combined, const at::Tensor& neighbor_img, int64_t crop_x, int64_t crop_y,
                    const at::Device& device, const char* op) {
  require_image(combined, op);
  require_image(neighbor_img, op);
  if (crop_x <= 0 || crop_y <= 0)
    throw ValueError(std::string(op) + ": crop_x and crop_y must be positive, got " + std::to_string(crop_x) +
                     " and " + std::to_string(crop_y));
  if (crop_y > combined.size(1) || crop_x > combined.size(2) || crop_y > neighbor_img.size(1) ||
      crop_x > neighbor_img.size(2))
    throw Error(std::string(op) + ": a corner of " + std::to_string(crop_y) + " rows and " + std::to_string(crop_x) +
                " columns does not fit the tile " + shape_string(combined) + " and the neighbour " +
                shape_string(neighbor_img));
  if (combined.size(0) != neighbor_img.size(0) || combined.size(3) != neighbor_img.size(3))
    throw Error(std::string(op) + ": neighbour " + shape_string(neighbor_img) + " does not match the tile " +
                shape_string(combined) + " in batch or channels");
  if (combined.device() != device || neighbor_img.device() != device)
    throw ValueError(std::string(op) + ": tile and neighbour must be on " + device.str());
}

at::Tensor topright_weight(int64_t crop_x, int64_t crop_y, int64_t feather_margin_x, int64_t feather_margin_y,
                           const at::Device& device) {
  constexpr const char* op = "blend_topright_tensor";
  if (feather_margin_x <= 0 && feather_margin_y <= 0) return {};
  at::Tensor feather_x = at::ones({1, 1, crop_x, 1}, weight_options(device));
  at::Tensor feather_y = at::ones({1, crop_y, 1, 1}, weight_options(device));
  at::Tensor feather;
  if (feather_margin_x > 0) {
    require_ramp_fits(feather_margin_x, crop_x, "columns", op);
    // Falls 1 -> 0 over the columns nearest the tile's interior; later columns stay 1.
    feather_x.narrow(2, 0, feather_margin_x)
        .copy_(at::linspace(1, 0, feather_margin_x, weight_options(device)).view({1, 1, -1, 1}));
    feather = feather_x;
  }
  if (feather_margin_y > 0) {
    require_ramp_fits(feather_margin_y, crop_y, "rows", op);
    feather_y.narrow(1, crop_y - feather_margin_y, feather_margin_y)
        .copy_(at::linspace(1, 0, feather_margin_y, weight_options(device)).view({1, -1, 1, 1}));
    feather = feather_y;
  }
  if (feather_margin_x > 0 && feather_margin_y > 0) feather = feather_x * feather_y;
  return feather;
}

at::Tensor bottomright_weight(int64_t crop_x, int64_t crop_y, int64_t feather_margin, const at::Device& device) {
  constexpr const char* op = "blend_bottomright_tensor";
  if (feather_margin <= 0) return {};
  require_ramp_fits(feather_margin, crop_x, "columns", op);
  require_ramp_fits(feather_margin, crop_y, "rows", op);
  at::Tensor feather_x = at::ones({1, 1, crop_x, 1}, weight_options(device));
  at::Tensor feather_y = at::ones({1, crop_y, 1, 1}, weight_options(device));
  const at::Tensor ramp = at::linspace(0, 1, feather_margin, weight_options(device));
  feather_x.narrow(2, 0, feather_margin).copy_(ramp.view({1, 1, -1, 1}));
  feather_y.narrow(1, 0, feather_margin).copy_(ramp.view({1, -1, 1, 1}));
  return feather_x * feather_y;
}

}  // namespace detail

at::Tensor blend_topright_tensor(const NodeState&, const at::Tensor& combined, const at::Tensor& neighbor_img,
                                 int64_t crop_x, int64_t crop_y, int64_t feather_margin_x,
                                 int64_t feather_margin_y, const at::Device& device) {
  detail::require_corner(combined, neighbor_img, crop_x, crop_y, device, "blend_topright_tensor");
  const at::Tensor feather = detail::topright_weight(crop_x, crop_y, feather_margin_x, feather_margin_y, device);
  if (!feather.defined()) return detail::bottom_left_of(neighbor_img, crop_x, crop_y);
  return blended_corner(detail::top_right_of(combined, crop_x, crop_y), detail::bottom_left_of(neighbor_img, crop_x, crop_y),
                        feather);
}

at::Tensor blend_bottomright_tensor(const NodeState&, const at::Tensor& combined, const at::Tensor& neighbor_img,
                                    int64_t crop_x, int64_t crop_y, int64_t feather_margin,
                                    const at::Device& device) {
  detail::require_corner(combined, neighbor_img, crop_x, crop_y, device, "blend_bottomright_tensor");
  const at::Tensor feather = detail::bottomright_weight(crop_x, crop_y, feather_margin, device);
  if (!feather.defined()) return detail::top_left_of(neighbor_img, crop_x, crop_y);
  const at::Tensor blended = blended_corner(detail::bottom_right_of(combined, crop_x, crop_y),
                                            detail::top_left_of(neighbor_img, crop_x, crop_y), feather);
  return blended;
}

at::Tensor blend_topright_tensor_perpv1(const NodeState&, const at::Tensor& combined, const at::Tensor& neighbor_img,
                                        int64_t crop_x, int64_t crop_y, int64_t feather_margin,
                                        const at::Device& device) {
  detail::require_corner(combined, neighbor_img, crop_x, crop_y, device, "blend_topright_tensor_perpv1");
  if (feather_margin <= 0 || crop_x <= feather_margin || crop_y <= feather_margin)
    return detail::bottom_left_of(neighbor_img, crop_x, crop_y);
  const at::Tensor ramp = at::linspace(1, 0, feather_margin, weight_options(device));
  at::Tensor feather_x = at::ones({1, 1, crop_x, 1}, weight_options(device));
  at::Tensor feather_y = at::ones({1, crop_y, 1, 1}, weight_options(device));
  feather_x.narrow(2, 0, feather_margin).copy_(ramp.view({1, 1, -1, 1}));
  feather_y.narrow(1, 0, feather_margin).copy_(ramp.view({1, -1, 1, 1}));
  return blended_corner(detail::top_right_of(combined, crop_x, crop_y), detail::bottom_left_of(neighbor_img, crop_x, crop_y),
                        feather_x * feather_y);
}

}  // namespace quorv::fusion

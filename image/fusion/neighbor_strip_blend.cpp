#include <ATen/ATen.h>

#include <algorithm>
#include <vector>

#include "host/checked_math.h"
#include "host/errors.h"
#include "image/fusion/fusion.h"
#include "image/fusion/fusion_internal.h"

namespace quorv::fusion {
namespace detail {

std::optional<Side> parse_side(const std::string& side) {
  if (side == "top") return Side::Top;
  if (side == "left") return Side::Left;
  if (side == "bottom") return Side::Bottom;
  if (side == "right") return Side::Right;
  return std::nullopt;
}

at::Tensor strip_weight(const NodeState& SELF, int64_t cropmargin, Side side, int64_t feather_margin,
                        const at::Device& device) {
  const int64_t full_border_margin = std::max<int64_t>(
      checked_sub(checked_sub(SELF.SIZE.inpaint_border_margin.get(), SELF.SIZE.inpaint_blur_margin.get(),
                              "full_border_margin"),
                  SELF.SIZE.shift.get(), "full_border_margin"),
      0);
  if (feather_margin <= 0 || cropmargin <= checked_add(feather_margin, full_border_margin, "feather_margin"))
    feather_margin = std::max<int64_t>(feather_margin, 4);

  const auto options = at::TensorOptions().dtype(at::kFloat).device(device);
  // Top and left strips fade from the neighbour (1) at the outer edge to the
  // tile (0) at the inner end, which lies at the end of the strip.
  const bool inner_end_last = side == Side::Top || side == Side::Left;
  const int64_t full = full_border_margin, blur = feather_margin;
  at::Tensor feather = at::ones({cropmargin}, options);
  at::Tensor ramp;
  if (blur > 0 && blur <= cropmargin)
    ramp = inner_end_last ? at::linspace(1, 0, blur, options) : at::linspace(0, 1, blur, options);
  if (ramp.defined() && full > 0 && blur + full <= cropmargin) {
    const at::Tensor band = at::zeros({full}, options);
    const at::Tensor strip = inner_end_last ? at::cat({ramp, band}) : at::cat({band, ramp});
    feather.narrow(0, inner_end_last ? cropmargin - strip.numel() : 0, strip.numel()).copy_(strip);
  } else if (ramp.defined()) {
    feather.narrow(0, inner_end_last ? cropmargin - blur : 0, blur).copy_(ramp);
  }
  return strip_axis(side) == 1 ? feather.view({1, cropmargin, 1, 1}) : feather.view({1, 1, cropmargin, 1});
}

at::Tensor tile_strip(const at::Tensor& tile, Side side, int64_t cropmargin) {
  const int64_t axis = strip_axis(side);
  const bool first = side == Side::Top || side == Side::Left;
  return tile.narrow(axis, first ? 0 : tile.size(axis) - cropmargin, cropmargin);
}

at::Tensor neighbour_strip(const at::Tensor& neighbour, Side side, int64_t cropmargin) {
  const int64_t axis = strip_axis(side);
  const bool last = side == Side::Top || side == Side::Left;
  return neighbour.narrow(axis, last ? neighbour.size(axis) - cropmargin : 0, cropmargin);
}

void require_strip(const at::Tensor& combined, const at::Tensor& neighbor_img, int64_t cropmargin, Side side,
                   const std::string& side_name) {
  require_image(combined, "blend_neighbor_tensor combined");
  require_image(neighbor_img, "blend_neighbor_tensor neighbor_img");
  if (cropmargin <= 0)
    throw ValueError("blend_neighbor_tensor: cropmargin must be positive, got " + std::to_string(cropmargin));
  const int64_t axis = strip_axis(side), other = 3 - axis;
  if (cropmargin > combined.size(axis) || cropmargin > neighbor_img.size(axis))
    throw Error("blend_neighbor_tensor: a " + side_name + " strip of " + std::to_string(cropmargin) +
                " does not fit the tile " + shape_string(combined) + " and the neighbour " +
                shape_string(neighbor_img));
  if (combined.size(0) != neighbor_img.size(0) || combined.size(other) != neighbor_img.size(other) ||
      combined.size(3) != neighbor_img.size(3))
    throw Error("blend_neighbor_tensor: the " + side_name + " neighbour " + shape_string(neighbor_img) +
                " does not match the tile " + shape_string(combined) + " across the strip");
  if (combined.device() != neighbor_img.device())
    throw ValueError("blend_neighbor_tensor: tile and neighbour must be on the same device");
}

}  // namespace detail

at::Tensor blend_neighbor_tensor(const NodeState& SELF, const at::Tensor& combined,
                                 const at::Tensor& neighbor_img, int64_t cropmargin, const std::string& side,
                                 int64_t feather_margin, const at::Device& device) {
  const auto parsed = detail::parse_side(side);
  if (!parsed) return neighbor_img;
  detail::require_strip(combined, neighbor_img, cropmargin, *parsed, side);
  if (combined.device() != device)
    throw ValueError("blend_neighbor_tensor: tile and neighbour must be on " + device.str());
  const at::Tensor feather = detail::strip_weight(SELF, cropmargin, *parsed, feather_margin, device);
  at::Tensor blended = detail::tile_strip(combined, *parsed, cropmargin).clone(at::MemoryFormat::Contiguous);
  detail::blend_into(blended, detail::neighbour_strip(neighbor_img, *parsed, cropmargin), feather);
  return blended;
}

}  // namespace quorv::fusion

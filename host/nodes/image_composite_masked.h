// The host's ImageCompositeMasked node: paste a picture onto another through a mask.
#pragma once

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <optional>
#include <tuple>

namespace quorv::host {

class ImageCompositeMasked {
 public:
  /// The first item is a new picture: `destination` with `source` pasted at
  /// (x, y) through `mask`; `destination` itself is not changed.
  /// resize_source: the source is first resized bilinearly to the destination's size.
  /// Otherwise exactly composite_into() on a copy of `destination`.
  static std::tuple<at::Tensor> composite(const at::Tensor& destination, const at::Tensor& source,
                                          int64_t x, int64_t y, bool resize_source,
                                          const std::optional<at::Tensor>& mask);

  /// Pastes `source` into `destination` in place, without any temporary of the
  /// source's size:
  ///
  ///   out = m * source + (1 - m) * destination   over the overlap only
  ///
  ///   destination +-----------------+
  ///               |  (x,y)+---------+---- source
  ///               |       | written |   <- the part past the edge is dropped
  ///               +-------+---------+
  ///
  /// Negative x or y drop the source's leading columns or rows. The source's
  /// batch is repeated or cut to the destination's. `mask` ([H,W], [B,H,W],
  /// [B,1,H,W]; absent = all ones) is resized bilinearly to the source's size
  /// when it differs and broadcast over channels and batch. Different channel
  /// counts: ValueError.
  static void composite_into(at::Tensor& destination, const at::Tensor& source, int64_t x,
                             int64_t y, const std::optional<at::Tensor>& mask);
};

}  // namespace quorv::host

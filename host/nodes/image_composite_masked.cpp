#include "host/nodes/image_composite_masked.h"

#include <ATen/ATen.h>

#include <algorithm>

#include "host/checked_math.h"
#include "host/errors.h"
#include "host/image_tensor.h"

namespace quorv::host {
namespace {

// Entries [0, batch) of `t` along axis 0, repeating or cutting its own batch.
at::Tensor fit_batch(const at::Tensor& t, int64_t batch) {
  const int64_t own = t.size(0);
  if (own == batch || own == 1) return t;  // equal, or broadcast by the caller
  if (own > batch) return t.narrow(0, 0, batch);
  return t.index_select(0, at::arange(batch, t.options().dtype(at::kLong)).remainder_(own));
}

// The mask as [B, h, w, 1] float32 on `device`, at the source's size.
at::Tensor mask_weights(const at::Tensor& mask, int64_t h, int64_t w, const at::Device& device) {
  if (!mask.defined()) throw ValueError("ImageCompositeMasked: mask is an undefined tensor");
  at::Tensor m;
  if (mask.dim() == 2) {
    m = mask.unsqueeze(0);
  } else if (mask.dim() == 3) {
    m = mask;
  } else if (mask.dim() == 4 && mask.size(1) == 1) {
    m = mask.squeeze(1);
  } else {
    throw ValueError("ImageCompositeMasked: mask must be [H,W], [B,H,W] or [B,1,H,W], got " +
                     shape_string(mask));
  }
  if (m.size(0) == 0 || m.size(1) == 0 || m.size(2) == 0)
    throw ValueError("ImageCompositeMasked: mask is empty " + shape_string(mask));
  m = m.to(device, at::kFloat);
  if (m.size(1) != h || m.size(2) != w)
    m = at::upsample_bilinear2d(m.unsqueeze(1), {h, w}, /*align_corners=*/false).squeeze(1);
  return m.unsqueeze(-1);
}

}  // namespace

void ImageCompositeMasked::composite_into(at::Tensor& destination, const at::Tensor& source,
                                          int64_t x, int64_t y,
                                          const std::optional<at::Tensor>& mask) {
  require_image(destination, "composite destination");
  require_image(source, "composite source");
  if (destination.size(3) != source.size(3))
    throw ValueError("ImageCompositeMasked: destination " + shape_string(destination) +
                     " and source " + shape_string(source) + " have different channel counts");
  if (source.size(0) == 0 && destination.size(0) > 0)
    throw ValueError("ImageCompositeMasked: source has an empty batch");
  const int64_t dh = image_height(destination), dw = image_width(destination);
  const int64_t sh = image_height(source), sw = image_width(source);
  // An empty source covers nothing (and a mask cannot be resized to it).
  if (sh == 0 || sw == 0) return;

  // The overlap of [x, x + sw) x [y, y + sh) with the destination.
  const int64_t x0 = std::max<int64_t>(x, 0), y0 = std::max<int64_t>(y, 0);
  const int64_t x1 = std::min(checked_add(x, sw, "composite x"), dw);
  const int64_t y1 = std::min(checked_add(y, sh, "composite y"), dh);
  at::Tensor weights;
  if (mask) weights = fit_batch(mask_weights(*mask, sh, sw, destination.device()), destination.size(0));
  if (x1 <= x0 || y1 <= y0 || destination.size(0) == 0) return;

  at::Tensor dst_view = destination.narrow(1, y0, y1 - y0).narrow(2, x0, x1 - x0);
  // A source that shares memory with the destination would be read while it is written.
  const at::Tensor src = source.is_alias_of(destination) ? source.clone() : source;
  at::Tensor src_view = fit_batch(src.to(destination.device()), destination.size(0))
                            .narrow(1, y0 - y, y1 - y0)
                            .narrow(2, x0 - x, x1 - x0);
  if (!weights.defined()) {
    dst_view.copy_(src_view.expand_as(dst_view));
    return;
  }
  // lerp is exact at the ends: weight 1 gives the source, 0 the destination.
  dst_view.lerp_(src_view.expand_as(dst_view), weights.narrow(1, y0 - y, y1 - y0).narrow(2, x0 - x, x1 - x0));
}

std::tuple<at::Tensor> ImageCompositeMasked::composite(const at::Tensor& destination,
                                                       const at::Tensor& source, int64_t x,
                                                       int64_t y, bool resize_source,
                                                       const std::optional<at::Tensor>& mask) {
  require_image(destination, "composite destination");
  require_image(source, "composite source");
  at::Tensor src = source;
  if (resize_source && (image_height(source) != image_height(destination) ||
                        image_width(source) != image_width(destination))) {
    src = at::upsample_bilinear2d(source.permute({0, 3, 1, 2}),
                                  {image_height(destination), image_width(destination)},
                                  /*align_corners=*/false)
              .permute({0, 2, 3, 1});
  }
  at::Tensor out = destination.clone();
  composite_into(out, src, x, y, mask);
  return {out};
}

}  // namespace quorv::host

#include "tests/support/literal_fusion.h"

#include <ATen/ATen.h>

#include "host/nodes/image_composite_masked.h"
#include "image/fusion/fusion_internal.h"
#include "image/quorv_image.h"

namespace quorv::test {

using service::Json;

at::Tensor literal_fusion(const NodeState& SELF, const at::Tensor& tile, const Json& info,
                          const std::vector<OptionalImage>& outputs, bool blend_all) {
  const at::Device cpu(at::kCPU);
  at::Tensor combined = tile.clone();
  at::Tensor white = at::ones_like(combined), black = at::zeros_like(combined);
  const auto m = fusion::detail::fusion_margins(SELF);
  const int64_t H = tile.size(1), W = tile.size(2);
  auto entry = [&](const char* key) { return Quorv_Image::neighbour(info, key); };
  auto picture = [&](const Json& e) { return *outputs.at(e["index"].get<size_t>()); };
  if (auto e = entry("top")) {
    const int64_t cy = (*e)["crop_y"];
    combined.narrow(1, 0, cy).copy_(Quorv_Image::blend_neighbor_tensor(SELF, combined, picture(*e), cy, "top", m.feather_ratio, cpu));
    const at::Tensor mask = Quorv_Image::blend_neighbor_tensor(SELF, white, black, cy, "top", m.feather_margin, cpu);
    white.narrow(1, 0, cy).copy_(at::where(mask != 1.0, mask, white.narrow(1, 0, cy)));
  }
  for (const char* key : {"topright", "toprightright"})
    if (auto e = entry(key)) {
      const int64_t cx = (*e)["crop_x"], cy = (*e)["crop_y"];
      combined.narrow(1, 0, cy).narrow(2, W - cx, cx).copy_(
          Quorv_Image::blend_topright_tensor(SELF, combined, picture(*e), cx, cy, m.feather_ratio, 0, cpu));
    }
  if (auto e = entry("left")) {
    const int64_t cx = (*e)["crop_x"];
    combined.narrow(2, 0, cx).copy_(Quorv_Image::blend_neighbor_tensor(SELF, combined, picture(*e), cx, "left", m.feather_ratio, cpu));
    const at::Tensor mask = Quorv_Image::blend_neighbor_tensor(SELF, white, black, cx, "left", m.feather_margin, cpu);
    white.narrow(2, 0, cx).copy_(at::where(mask != 1.0, mask, white.narrow(2, 0, cx)));
  }
  const at::Tensor grey = white.mean(3);
  const at::Tensor n = fusion::detail::normalise_weight(grey, grey.min(), grey.max());
  combined = std::get<0>(host::ImageCompositeMasked::composite(combined, tile, 0, 0, false, n));
  if (blend_all) {
    if (auto e = entry("right")) {
      const int64_t cx = (*e)["crop_x"];
      combined.narrow(2, W - cx, cx).copy_(Quorv_Image::blend_neighbor_tensor(SELF, combined, picture(*e), cx, "right", m.feather_margin, cpu));
    }
    if (auto e = entry("bottom")) {
      const int64_t cy = (*e)["crop_y"];
      combined.narrow(1, H - cy, cy).copy_(Quorv_Image::blend_neighbor_tensor(SELF, combined, picture(*e), cy, "bottom", m.feather_margin, cpu));
    }
    for (const char* key : {"bottomright", "bottomrightright"})
      if (auto e = entry(key)) {
        const int64_t cx = (*e)["crop_x"], cy = (*e)["crop_y"];
        combined.narrow(1, H - cy, cy).narrow(2, W - cx, cx).copy_(
            Quorv_Image::blend_bottomright_tensor(SELF, combined, picture(*e), cx, cy, m.feather_margin, cpu));
      }
  }
  return combined;
}

}  // namespace quorv::test

// NodeState sizes and margins (negative, huge, NaN) into the mask and grid operations.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <limits>

#include "fuzz/fuzz_support.h"
#include "image/quorv_image.h"

namespace {

// Mostly small values, sometimes extremes, so both the arithmetic and the tensors get exercised.
int64_t size_value(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0: return std::numeric_limits<int64_t>::max() - in.ConsumeIntegralInRange<int64_t>(0, 3);
    case 1: return std::numeric_limits<int64_t>::min() + in.ConsumeIntegralInRange<int64_t>(0, 3);
    case 2: return in.ConsumeIntegralInRange<int64_t>(-1000, 0);
    default: return in.ConsumeIntegralInRange<int64_t>(0, 160);
  }
}

double number_value(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 5)) {
    case 0: return std::numeric_limits<double>::quiet_NaN();
    case 1: return in.ConsumeBool() ? INFINITY : -INFINITY;
    case 2: return in.ConsumeFloatingPointInRange<double>(-1e30, 1e30);
    default: return in.ConsumeFloatingPointInRange<double>(-2.0, 3.0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (quorv::fuzz::bind_quiet_services(), true);
  (void)quiet;
  FuzzedDataProvider in(data, size);
  using quorv::Quorv_Image;
  quorv::NodeState SELF;
  SELF.SIZE.fullW = size_value(in);
  SELF.SIZE.fullH = size_value(in);
  SELF.SIZE.inpaint_border_margin = size_value(in);
  SELF.SIZE.inpaint_blur_margin = size_value(in);
  SELF.SIZE.shift = size_value(in);
  SELF.SIZE.composite_blur_margin = size_value(in);
  SELF.SIZE.shifttl = size_value(in);
  SELF.SIZE.inpaint_max = number_value(in);
  const char* modes[] = {"Tile_Fusion", "Neuro_Generative_Tile_Fusion", "NGTF_FLUX_Kontext", "none"};
  SELF.PARAMS.Tile_Fusion_Mode = std::string(modes[in.ConsumeIntegralInRange<int>(0, 3)]);
  SELF.PARAMS.FLUX_Kontext = in.ConsumeBool();
  const at::Tensor picture = at::rand({1, in.ConsumeIntegralInRange<int64_t>(1, 200), in.ConsumeIntegralInRange<int64_t>(1, 200), 3});
  SELF.OUTPUTS.image = picture;
  const at::Tensor before = picture.clone();

  quorv::fuzz::expect_result_or_error("get_tiled_grid_specs", [&] {
    const auto specs = Quorv_Image::get_tiled_grid_specs(SELF, picture);
    const auto tiles = Quorv_Image::get_grid_images(picture, specs);
    for (size_t i = 0; i < specs.size() && i < 4; ++i)
      quorv::fuzz::expect_result_or_error("get_kontext_crop",
                                          [&] { Quorv_Image::get_kontext_crop(SELF, tiles[i], specs, static_cast<int64_t>(i)); });
  });
  quorv::masks::OverlayMaskOptions o;
  o.composite_blur_margin = number_value(in);
  o.inpaint_border_margin = number_value(in);
  o.inpaint_blur_margin = number_value(in);
  o.inpaint_shift = number_value(in);
  o.feather_left = in.ConsumeBool();
  o.feather_top = in.ConsumeBool();
  o.feather_right = in.ConsumeBool();
  o.feather_bottom = in.ConsumeBool();
  const int64_t w = in.ConsumeIntegralInRange<int64_t>(-2, 96), h = in.ConsumeIntegralInRange<int64_t>(-2, 96);
  quorv::fuzz::expect_result_or_error("create_custom_tile_overlay_mask",
                                      [&] { Quorv_Image::create_custom_tile_overlay_mask(SELF, w, h, o); });
  const quorv::GridSpec spec{in.ConsumeIntegralInRange<int64_t>(-1, 3), in.ConsumeIntegralInRange<int64_t>(-1, 3), 0, 0, 0,
                             in.ConsumeIntegralInRange<int64_t>(-1, 64), in.ConsumeIntegralInRange<int64_t>(-1, 64)};
  const std::optional<double> detailer = in.ConsumeBool() ? std::optional<double>(number_value(in)) : std::nullopt;
  quorv::fuzz::expect_result_or_error("get_inpaint_mask", [&] {
    Quorv_Image::get_inpaint_mask(SELF, h, w, in.ConsumeIntegralInRange<int64_t>(-1, 4), in.ConsumeIntegralInRange<int64_t>(-1, 4),
                                  spec, number_value(in), number_value(in), number_value(in), detailer);
  });
  quorv::fuzz::expect_result_or_error("overlay_tile_grid", [&] { Quorv_Image().overlay_tile_grid(picture, SELF.SIZE); });
  quorv::fuzz::expect_unchanged("node state operations", before, picture);
  return 0;
}

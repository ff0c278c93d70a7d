// GridSpec lists and tile sizes into tile extraction, masks and the rebuild.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "image/quorv_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (quorv::fuzz::bind_quiet_services(), true);
  (void)quiet;
  FuzzedDataProvider in(data, size);
  using quorv::Quorv_Image;
  const at::Tensor picture = at::rand({1, in.ConsumeIntegralInRange<int64_t>(1, 64), in.ConsumeIntegralInRange<int64_t>(1, 64), 3});
  const at::Tensor before = picture.clone();

  std::vector<quorv::GridSpec> specs;
  const int count = in.ConsumeIntegralInRange<int>(0, 8);
  for (int i = 0; i < count; ++i) {
    auto value = [&] { return in.ConsumeBool() ? in.ConsumeIntegral<int64_t>() : in.ConsumeIntegralInRange<int64_t>(-4, 80); };
    const int64_t order = in.ConsumeBool() ? 8000 + in.ConsumeIntegralInRange<int64_t>(0, 3) : value();
    specs.push_back({value(), value(), order, value(), value(), value(), value()});
  }
  quorv::NodeState SELF;
  SELF.SIZE.shifttl = in.ConsumeIntegralInRange<int64_t>(-4, 8);
  SELF.SIZE.inpaint_max = 1.0;
  SELF.SIZE.inpaint_border_margin = in.ConsumeIntegralInRange<int64_t>(-4, 40);
  SELF.SIZE.inpaint_blur_margin = in.ConsumeIntegralInRange<int64_t>(-4, 40);
  SELF.SIZE.shift = in.ConsumeIntegralInRange<int64_t>(-4, 40);
  SELF.SIZE.composite_blur_margin = in.ConsumeIntegralInRange<int64_t>(-4, 40);
  SELF.SIZE.fullW = 64;
  SELF.SIZE.fullH = 64;
  SELF.PARAMS.Tile_Fusion_Mode = std::string("Tile_Fusion");
  SELF.PARAMS.Fast_1_Tile_Preview = false;
  SELF.PARAMS.Debug_Grid_Overlay = in.ConsumeBool();
  SELF.OUTPUTS.image = picture;

  // Tiles: cut by the GridSpecs when they allow it, else arbitrary small pictures (or none).
  std::vector<quorv::OptionalImage> tiles;
  quorv::fuzz::expect_result_or_error("get_grid_images", [&] {
    for (const at::Tensor& t : Quorv_Image::get_grid_images(picture, specs)) tiles.emplace_back(t);
  });
  while (tiles.size() < specs.size())
    tiles.emplace_back(in.ConsumeBool() ? std::optional<at::Tensor>(at::rand({1, in.ConsumeIntegralInRange<int64_t>(0, 40),
                                                                                in.ConsumeIntegralInRange<int64_t>(0, 40), 3}))
                                        : std::nullopt);
  std::vector<at::Tensor> tiles_before;
  for (const auto& t : tiles) tiles_before.push_back(t ? t->clone() : at::Tensor());

  quorv::fuzz::expect_result_or_error("find_index", [&] { Quorv_Image::find_index(specs, 0, 1); });
  quorv::fuzz::expect_result_or_error("rebuild_tile_order", [&] { Quorv_Image::rebuild_tile_order(tiles, specs, {"p"}); });
  quorv::fuzz::expect_result_or_error("rebuild_final_image", [&] {
    quorv::reassembly::SegmentList segments;
    for (int i = 0; i < 4; ++i)
      segments.segms.push_back({{in.ConsumeIntegralInRange<int64_t>(-70, 70), in.ConsumeIntegralInRange<int64_t>(-70, 70), 0, 0},
                                in.ConsumeBool() ? std::optional<at::Tensor>(at::rand({1, 8, 8})) : std::nullopt});
    Quorv_Image::rebuild_final_image(SELF, "1", tiles, picture, specs, "1", 0, 0, {}, {1, 1, 1, 1},
                                     std::vector<std::pair<at::Tensor, at::Tensor>>(4), segments, "lanczos",
                                     in.ConsumeBool());
  });
  for (size_t i = 0; i < specs.size() && i < 3; ++i)
    quorv::fuzz::expect_result_or_error("get_inpaint_mask", [&] {
      Quorv_Image::get_inpaint_mask(SELF, 64, 64, 3, 3, specs[i], 4, 2, 4, std::nullopt);
    });
  quorv::fuzz::expect_unchanged("grid picture", before, picture);
  for (size_t i = 0; i < tiles.size(); ++i)
    quorv::fuzz::expect_unchanged("tile", tiles_before[i], tiles[i] ? *tiles[i] : at::Tensor());
  return 0;
}

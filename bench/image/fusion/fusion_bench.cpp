// Both fusion updates of a 1024 x 1024 tile with all eight neighbours, the
// reply coming from the reference service on 127.0.0.1, as a new tile and
// written in place; compare with one clone of the tile and with the HTTP
// round trip alone, measured in the same run. Tone matching the same tile,
// shifted in gain and offset, to the neighbours finished before it in grid
// order, as a new tile and in place.
#include <ATen/ATen.h>
#include <benchmark/benchmark.h>

#include "bench/support/bench_support.h"
#include "fusion_service/fusion_service.h"
#include "host/services/package_services.h"
#include "image/fusion/fusion.h"
#include "image/quorv_image.h"
#include "tests/support/literal_fusion.h"

namespace quorv {
namespace {

struct Scene {
  NodeState SELF;
  std::vector<GridSpec> specs;
  std::vector<OptionalImage> finished;
  at::Tensor tile;
  int64_t index = -1;
  fusion_service::FusionServer server;
};

// wide: tiles overlap by 576, so even the tiles two columns over reach this
// one and the strips cover most of it; otherwise the node's usual bands.
Scene& make_scene(bool wide) {
  auto* s = new Scene;
  const at::Tensor picture = at::rand({1, 3072, 4096, 3});
  s->SELF = bench::grid_state(picture, 1024);
  if (wide) {
    s->SELF.SIZE.inpaint_border_margin = 64;
    s->SELF.SIZE.inpaint_blur_margin = 64;
    s->SELF.SIZE.shift = 32;
    s->SELF.SIZE.composite_blur_margin = 128;
  }
  s->SELF.PARAMS.Tile_Fusion_Blend = 0.4;
  s->specs = Quorv_Image::get_tiled_grid_specs(s->SELF, picture);
  for (const at::Tensor& t : Quorv_Image::get_grid_images(picture, s->specs)) s->finished.emplace_back(t.clone());
  s->index = Quorv_Image::find_index(s->specs, 1, 1);  // row 1, column 1: all eight neighbours
  s->tile = s->finished[static_cast<size_t>(s->index)]->clone();
  s->server.start();
  host::set_apiurl(s->server.base_address());
  return *s;
}

Scene& scene(bool wide = true) {
  static Scene& wide_scene = make_scene(true);
  static Scene& usual_scene = make_scene(false);
  host::set_apiurl((wide ? wide_scene : usual_scene).server.base_address());
  return wide ? wide_scene : usual_scene;
}

void BM_TileClone(benchmark::State& state) {
  const Scene& s = scene();
  for (auto _ : state) benchmark::DoNotOptimize(s.tile.clone().data_ptr());
}

void BM_ServiceRoundTrip(benchmark::State& state) {
  const Scene& s = scene();
  const service::Json payload = Quorv_Image::prepare_neuro_generative_fusion(s.specs, s.index);
  for (auto _ : state) benchmark::DoNotOptimize(Quorv_Image::api_nuero_generative_fusion_tiles(payload, s.SELF).size());
  state.counters["neighbours"] = static_cast<double>(Quorv_Image::api_nuero_generative_fusion_tiles(payload, s.SELF).size());
}

void BM_Fusion(benchmark::State& state, bool accumulating, bool wide) {
  const Scene& s = scene(wide);
  for (auto _ : state) {
    const at::Tensor fused =
        accumulating ? Quorv_Image::add_last_generated_to_base_image_V1(s.SELF, "1", s.tile, s.specs, s.index, s.finished, true)
                     : Quorv_Image::add_last_generated_to_base_image(s.SELF, "1", s.tile, s.specs, s.index, s.finished, true);
    benchmark::DoNotOptimize(fused.data_ptr());
  }
  const service::Json payload = Quorv_Image::prepare_neuro_generative_fusion(s.specs, s.index);
  state.counters["neighbours"] = static_cast<double>(Quorv_Image::api_nuero_generative_fusion_tiles(payload, s.SELF).size());
}

// The road's form: written into a tile it owns (refreshed outside the timing), no copy of it,
// the bands the composite reads kept in a scratch buffer that lives as long as the run.
void BM_FusionInPlace(benchmark::State& state, bool accumulating, bool wide) {
  const Scene& s = scene(wide);
  at::Tensor own = s.tile.clone(), scratch;
  const service::ClientOptions client;
  const auto form = accumulating ? fusion::FusionForm::Accumulating : fusion::FusionForm::Base;
  for (auto _ : state) {
    state.PauseTiming();
    own.copy_(s.tile);
    state.ResumeTiming();
    fusion::ServiceCall call{client, {}};
    fusion::fusion_update_in_place(form, s.SELF, own, s.specs, s.index, s.finished, true, 1, call, &scratch);
    benchmark::DoNotOptimize(own.data_ptr());
  }
}

// The same update step by step with whole-tile weight pictures (reply fetched once, outside).
void BM_LiteralFusion(benchmark::State& state) {
  const Scene& s = scene();
  const service::Json info =
      Quorv_Image::api_nuero_generative_fusion_tiles(Quorv_Image::prepare_neuro_generative_fusion(s.specs, s.index), s.SELF);
  for (auto _ : state) benchmark::DoNotOptimize(test::literal_fusion(s.SELF, s.tile, info, s.finished, true).data_ptr());
}

// With `originals`, as the road calls it: the tiles before processing known,
// every finished side evened out line by line next to it.
void BM_ToneMatch(benchmark::State& state, bool in_place, bool with_originals) {
  const Scene& s = scene(false);
  std::vector<OptionalImage> before(s.finished.begin(), s.finished.begin() + s.index);
  before.resize(s.finished.size());
  std::vector<at::Tensor> originals;
  if (with_originals)
    for (const OptionalImage& t : s.finished) originals.push_back(t ? *t : s.tile);
  const at::Tensor shifted = s.tile * 0.9 + 0.05;
  at::Tensor own = shifted.clone();
  bool applied = false;
  for (auto _ : state) {
    if (in_place) {
      state.PauseTiming();
      own.copy_(shifted);
      state.ResumeTiming();
      applied = fusion::match_tile_tone_in_place(own, s.specs, s.index, before, originals).applied;
    } else {
      applied = fusion::match_tile_tone(shifted, s.specs, s.index, before, originals).applied;
    }
  }
  state.counters["applied"] = applied ? 1 : 0;
}

BENCHMARK(BM_TileClone)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ServiceRoundTrip)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Fusion, base_image_wide_overlap, false, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Fusion, accumulating_wide_overlap, true, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Fusion, base_image_usual_bands, false, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Fusion, accumulating_usual_bands, true, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FusionInPlace, accumulating_wide_overlap, true, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FusionInPlace, accumulating_usual_bands, true, false)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LiteralFusion)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ToneMatch, new_tile, false, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ToneMatch, in_place, true, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ToneMatch, in_place_with_originals, true, true)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quorv

// rebuild_final_image on big pictures, in multiples of one plain clone of the
// canvas measured in the same run, against one full composite per tile.
#include <ATen/ATen.h>
#include <benchmark/benchmark.h>

#include <map>

#include "bench/support/bench_support.h"
#include "host/nodes/image_composite_masked.h"
#include "image/module.h"
#include "image/quorv_image.h"

namespace quorv {
namespace {

struct Scene {
  at::Tensor picture;
  NodeState SELF;
  std::vector<GridSpec> specs;
  std::vector<OptionalImage> tiles;
};

const Scene& scene(int64_t size) {
  static std::map<int64_t, Scene> scenes;
  auto it = scenes.find(size);
  if (it == scenes.end()) {
    Scene s;
    s.picture = at::rand({1, size, size, 3});
    s.SELF = bench::grid_state(s.picture, 1024);
    s.specs = Quorv_Image::get_tiled_grid_specs(s.SELF, s.picture);
    for (const at::Tensor& t : Quorv_Image::get_grid_images(s.picture, s.specs)) s.tiles.emplace_back(t.clone());
    it = scenes.emplace(size, std::move(s)).first;
  }
  return it->second;
}

void quiet_log() {
  host::PackageServices services = host::default_package_services();
  services.log = [](const std::string&, std::nullopt_t, std::nullopt_t, const std::string&) {};
  load_module(services);
}

void BM_CanvasClone(benchmark::State& state) {
  const Scene& s = scene(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(s.picture.clone().data_ptr());
}

void BM_RebuildFinalImage(benchmark::State& state) {
  quiet_log();
  const Scene& s = scene(state.range(0));
  NodeState SELF = s.SELF;
  const double canvas = static_cast<double>(s.picture.numel() * sizeof(float));
  double peak = 0;
  for (auto _ : state) {
    const int64_t before = bench::proc_status_bytes("VmRSS");
    bench::reset_peak_rss();
    auto r = Quorv_Image::rebuild_final_image(SELF, "1", s.tiles, s.picture, s.specs, "2", 0, 0, {}, {}, {},
                                              reassembly::SegmentList{}, "lanczos");
    benchmark::DoNotOptimize(r.full_image.data_ptr());
    peak = std::max(peak, static_cast<double>(bench::proc_status_bytes("VmHWM") - before) / canvas);
  }
  state.counters["tiles"] = static_cast<double>(s.specs.size());
  state.counters["peak_extra_canvases"] = peak;
}

// One full composite per tile, each returning a new canvas.
void BM_LiteralRebuild(benchmark::State& state) {
  const Scene& s = scene(state.range(0));
  masks::OverlayMaskOptions o;
  o.composite_blur_margin = 32;
  o.feather_left = o.feather_top = true;
  for (auto _ : state) {
    at::Tensor canvas = s.picture;
    for (size_t i = 0; i < s.specs.size(); ++i) {
      const GridSpec& g = s.specs[i];
      const at::Tensor mask = Quorv_Image::create_custom_tile_overlay_mask(s.SELF, g.width_inc, g.height_inc, o).compositing_mask;
      canvas = std::get<0>(host::ImageCompositeMasked::composite(canvas, *s.tiles[i], g.x_start, g.y_start, false, mask));
    }
    benchmark::DoNotOptimize(canvas.data_ptr());
  }
}

BENCHMARK(BM_CanvasClone)->Arg(4096)->Arg(8192)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RebuildFinalImage)->Arg(4096)->Arg(8192)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LiteralRebuild)->Arg(4096)->Arg(8192)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quorv

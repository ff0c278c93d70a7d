// A 1024 x 1024 picture enlarged x4 by a model the size of a compact real
// enlarger (64 features, 18 convolutions, pixel shuffle; random weights):
// cut into tiles against one whole-picture pass, time and peak memory.
//
//   build/bench/quorv_bench --benchmark_filter=BM_UpscaleModel
//
// Each run reports peak_MiB (the rise of the peak resident size during the
// pass) and canvas_MiB (one output picture); the tiled run also reports its
// tile side and time_ratio, its time over the whole pass's of the same run.
#include <ATen/ATen.h>
#include <benchmark/benchmark.h>

#include <chrono>

#include "bench/support/bench_support.h"
#include "host/nodes/upscale_model.h"

namespace {

using quorv::host::ImageUpscaleWithModel;
using quorv::host::UpscaleModel;
using quorv::host::UpscaleOptions;

constexpr int64_t kSide = 1024;
double whole_seconds = 0;

const UpscaleModel& compact() {
  static const UpscaleModel m =
      quorv::host::UpscaleModelLoader::load_file(std::string(QUORV_TEST_MODEL_DIR) + "/compact_x4.pt");
  return m;
}

void BM_UpscaleModel(benchmark::State& state, bool tiled) {
  const at::Tensor picture = at::rand({1, kSide, kSide, 3});
  UpscaleOptions options;
  if (!tiled) options.tile_size = kSide;  // one piece: the whole-picture pass
  int64_t tiles = 0, side = 0;
  options.progress = [&](int64_t, int64_t total) { tiles = total; };
  compact().facts();  // the probe is not part of the pass
  double seconds = 0;
  int64_t peak = 0;
  for (auto _ : state) {
    const int64_t before = quorv::bench::proc_status_bytes("VmRSS");
    quorv::bench::reset_peak_rss();
    const auto start = std::chrono::steady_clock::now();
    at::Tensor out = std::get<0>(ImageUpscaleWithModel::upscale(compact(), picture, options));
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    peak = std::max(peak, quorv::bench::proc_status_bytes("VmHWM") - before);
    benchmark::DoNotOptimize(out.data_ptr());
    side = out.size(1);
  }
  seconds /= static_cast<double>(state.iterations());
  if (!tiled) whole_seconds = seconds;
  state.counters["peak_MiB"] = static_cast<double>(peak) / (1 << 20);
  state.counters["canvas_MiB"] = static_cast<double>(side * side * 3 * 4) / (1 << 20);
  state.counters["tiles"] = static_cast<double>(tiles);
  if (tiled && whole_seconds > 0) state.counters["time_ratio"] = seconds / whole_seconds;
}

// The whole pass first: the tiled run's ratio is taken against it.
BENCHMARK_CAPTURE(BM_UpscaleModel, whole, false)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_UpscaleModel, tiled, true)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

// Encoding a 4096 x 4096 photo (coffee.png enlarged) at each PNG level, at
// 8 and 16 bits, against the Lanczos enlargement that made it (1024 -> 4096),
// measured in the same run.
#include <ATen/ATen.h>
#include <benchmark/benchmark.h>

#include "host/nodes/image_scale.h"
#include "tools/image_io/image_io.h"

namespace quorv {
namespace {

const at::Tensor& photo() {
  static const at::Tensor small = io::read_picture(QUORV_SOURCE_DIR "/data/coffee.png").rgb;
  return small;
}

at::Tensor enlarged() {
  return std::get<0>(host::ImageScale::upscale(photo(), "lanczos", 4096, 4096, "disabled"));
}

void BM_EnlargeTo4096(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(enlarged().data_ptr());
}

void BM_EncodePng(benchmark::State& state) {
  static const at::Tensor picture = enlarged();
  const int level = static_cast<int>(state.range(0)), depth = static_cast<int>(state.range(1));
  size_t bytes = 0;
  for (auto _ : state) bytes = io::encode_picture(picture, ".png", depth, level).size();
  state.counters["MiB"] = static_cast<double>(bytes) / (1 << 20);
}

BENCHMARK(BM_EnlargeTo4096)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodePng)
    ->ArgsProduct({{0, 1, 2, 6, 9}, {8, 16}})
    ->ArgNames({"level", "bits"})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quorv

// Lanczos enlargement of a 2048 x 2048 picture against ATen's bicubic on the same picture.
#include <ATen/ATen.h>
#include <benchmark/benchmark.h>

#include "host/nodes/image_scale.h"

namespace {

const at::Tensor& picture() {
  static const at::Tensor p = at::rand({1, 2048, 2048, 3});
  return p;
}

void BM_Resize(benchmark::State& state, const char* method) {
  const int64_t size = 2048 * state.range(0);
  for (auto _ : state) {
    at::Tensor out = std::get<0>(quorv::host::ImageScale::upscale(picture(), method, size, size, "disabled"));
    benchmark::DoNotOptimize(out.data_ptr());
  }
}

BENCHMARK_CAPTURE(BM_Resize, bicubic, "bicubic")->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Resize, lanczos, "lanczos")->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond);

}  // namespace

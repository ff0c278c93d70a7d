// The seam measures of a 4096 x 4096 picture cut into 8 x 8 tiles, against
// one clone of the picture and against the Lanczos enlargement that made it
// (2048 -> 4096), measured in the same run.
#include <ATen/ATen.h>
#include <benchmark/benchmark.h>

#include "host/nodes/image_scale.h"
#include "host/threads.h"
#include "image/measure/measure.h"

namespace quorv {
namespace {

const at::Tensor& picture() {
  static const at::Tensor p = at::rand({1, 4096, 4096, 3});
  return p;
}

std::vector<GridSpec> grid() {
  std::vector<GridSpec> specs;
  for (int64_t r = 0; r < 8; ++r)
    for (int64_t c = 0; c < 8; ++c) specs.push_back({r, c, r * 8 + c, c * 512, r * 512, 576, 576});
  return specs;
}

void BM_PictureClone(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(picture().clone().data_ptr());
}

void BM_SeamScore(benchmark::State& state) {
  const std::vector<GridSpec> specs = grid();
  const at::Tensor& p = picture();  // made outside the timed loop
  for (auto _ : state) benchmark::DoNotOptimize(measure::seam_score(p, specs).score);
}

void BM_Enlarge(benchmark::State& state) {
  const at::Tensor small = at::rand({1, 2048, 2048, 3});
  for (auto _ : state)
    benchmark::DoNotOptimize(
        std::get<0>(host::ImageScale::upscale(small, "lanczos", 4096, 4096, "disabled")).data_ptr());
}

// Against the picture before processing (the tool's figure), and the result alone.
void BM_SeamVisibility(benchmark::State& state) {
  const std::vector<GridSpec> specs = grid();
  const at::Tensor& p = picture();
  const at::Tensor before = p + 0.01 * at::rand_like(p);
  const host::ThreadLimit threads(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(measure::seam_visibility(p, before, specs).relative);
}

BENCHMARK(BM_PictureClone)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SeamScore)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Enlarge)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SeamVisibility)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quorv

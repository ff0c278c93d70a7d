// blend_neighbor_tensor called from C++, the baseline of the Python call's
// overhead (python/bench/blend_neighbor_call.py times the same calls through
// the Python module). Same tiles, state and arguments on both sides; see the
// script for the allocator settings that make the two comparable.
#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <benchmark/benchmark.h>

#include "image/quorv_image.h"

namespace quorv {
namespace {

NodeState blend_state() {
  NodeState SELF;
  SELF.SIZE.inpaint_border_margin = 64;
  SELF.SIZE.inpaint_blur_margin = 16;
  SELF.SIZE.shift = 8;
  return SELF;
}

void BM_BlendNeighborFromCpp(benchmark::State& state) {
  const int64_t size = state.range(0);
  const NodeState SELF = blend_state();
  const at::Tensor tile = at::rand({1, size, size, 3});
  const at::Tensor neighbour = at::rand({1, size, size, 3});
  const int64_t cropmargin = size / 8;
  for (auto _ : state) {
    const at::Tensor strip =
        Quorv_Image::blend_neighbor_tensor(SELF, tile, neighbour, cropmargin, "top", cropmargin / 4, at::kCPU);
    benchmark::DoNotOptimize(strip.data_ptr());
  }
  state.counters["threads"] = at::get_num_threads();
}

BENCHMARK(BM_BlendNeighborFromCpp)->Arg(64)->Arg(1024)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quorv

// The masks of one 1024 x 1024 tile against allocating and filling tensors of
// that size. Each call allocates a few 4 MB tensors; glibc's malloc may hand
// the heap top back to the system after every iteration, and the page faults
// then swamp everything else. For figures about this code, run with
//   MALLOC_TRIM_THRESHOLD_=1073741824 MALLOC_MMAP_THRESHOLD_=268435456
#include <ATen/ATen.h>
#include <benchmark/benchmark.h>

#include "image/masks/masks.h"

namespace {

constexpr int64_t kTile = 1024;

quorv::NodeState tile_state() {
  quorv::NodeState s;
  s.SIZE.shifttl = 8;
  s.SIZE.inpaint_max = 1.2;
  s.PARAMS.FLUX_Kontext = false;
  return s;
}

void BM_FillBaseline(benchmark::State& state) {
  for (auto _ : state) {
    at::Tensor t = at::full({1, 1, kTile, kTile}, 1.0f);
    benchmark::DoNotOptimize(t.data_ptr());
  }
}

// What a mask pair cannot do without: two tensors of the tile's size, held together.
void BM_FillTwoBaseline(benchmark::State& state) {
  for (auto _ : state) {
    at::Tensor a = at::full({1, 1, kTile, kTile}, 1.0f);
    at::Tensor b = at::full({1, 1, kTile, kTile}, 1.0f);
    benchmark::DoNotOptimize(b.data_ptr());
  }
}

void BM_TileOverlayMask(benchmark::State& state) {
  const quorv::NodeState s = tile_state();
  quorv::masks::OverlayMaskOptions o;
  o.composite_blur_margin = 64;
  o.inpaint_border_margin = 8;
  o.inpaint_blur_margin = 16;
  o.inpaint_shift = 8;
  o.feather_left = o.feather_top = o.feather_right = o.feather_bottom = true;
  for (auto _ : state) {
    quorv::masks::MaskPair pair = quorv::masks::create_custom_tile_overlay_mask(s, kTile, kTile, o);
    benchmark::DoNotOptimize(pair.inpaint_mask.data_ptr());
  }
}

// Two mask pairs (main and border guard) and their minimum.
void BM_InpaintMask(benchmark::State& state) {
  const quorv::NodeState s = tile_state();
  const quorv::GridSpec middle{1, 1, 4, 896, 896, kTile, kTile};
  for (auto _ : state) {
    at::Tensor mask = quorv::masks::get_inpaint_mask(s, kTile, kTile, 3, 3, middle, 16, 8, 8, std::nullopt);
    benchmark::DoNotOptimize(mask.data_ptr());
  }
}

BENCHMARK(BM_FillBaseline)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FillTwoBaseline)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TileOverlayMask)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_InpaintMask)->Unit(benchmark::kMicrosecond);

}  // namespace

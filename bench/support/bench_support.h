// Helpers for the benchmarks: node states for real grids and peak memory.
#pragma once

#include <ATen/ATen.h>

#include <cstdint>
#include <fstream>
#include <string>

#include "host/node_state.h"

namespace quorv::bench {

/// A NodeState for a "Tile_Fusion" grid of `tile`-pixel tiles over `picture`.
inline NodeState grid_state(const at::Tensor& picture, int64_t tile) {
  NodeState s;
  s.SIZE.fullW = tile;
  s.SIZE.fullH = tile;
  s.SIZE.inpaint_border_margin = 16;
  s.SIZE.inpaint_blur_margin = 16;
  s.SIZE.shift = 8;
  s.SIZE.composite_blur_margin = 32;
  s.SIZE.shifttl = 0;
  s.SIZE.inpaint_max = 1.0;
  s.PARAMS.Tile_Fusion_Mode = "Tile_Fusion";
  s.PARAMS.Tile_Fusion_Blend = 1.0;
  s.PARAMS.Fast_1_Tile_Preview = false;
  s.PARAMS.Debug_Grid_Overlay = false;
  s.OUTPUTS.image = picture;
  s.API.token = "bench";
  return s;
}

/// A field of /proc/self/status in bytes ("VmRSS", "VmHWM").
inline int64_t proc_status_bytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == field + ":") {
      int64_t kib = 0;
      status >> kib;
      return kib * 1024;
    }
    std::getline(status, key);
  }
  return 0;
}

/// Resets the peak resident size (VmHWM) to the current one.
inline void reset_peak_rss() { std::ofstream("/proc/self/clear_refs") << "5"; }

}  // namespace quorv::bench

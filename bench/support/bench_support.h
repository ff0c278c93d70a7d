// Helpers for the benchmarks: node states for real grids and peak memory.
#pragma once

#include <ATen/ATen.h>

#include <cstdint>
#include <fstream>
#include <string>

#include "host/node_state.h"
#include "tests/support/node_states.h"

namespace quorv::bench {

/// A NodeState for a "Tile_Fusion" grid of `tile`-pixel tiles over `picture`.
inline NodeState grid_state(const at::Tensor& picture, int64_t tile) {
  return test::node_state(picture, {tile, tile, 16, 16, 8, 32});
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

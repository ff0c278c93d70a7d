// Asking the processor for memory before it is read.
#pragma once

#include <cstdint>

namespace quorv::host {

/// Asks for the cache lines of `count` floats from `first` on. For rows that
/// are short and far apart (the side strips of a tile, the windows around a
/// border): the processor's own prefetching follows a stream within a page
/// and starts late on each such row. Only a hint; nothing is read or written.
inline void prefetch_floats(const float* first, int64_t count) {
  if (count <= 0) return;
  const char* p = reinterpret_cast<const char*>(first);
  const char* end = reinterpret_cast<const char*>(first + count);
  for (; p < end; p += 64) __builtin_prefetch(p);
  __builtin_prefetch(end - 1);  // a row that starts inside a line ends in the next
}

}  // namespace quorv::host

#include <ATen/ATen.h>
#include <malloc.h>
#include <sys/mman.h>

#include <cstdlib>

#include "tools/quorv/quorv_cli.h"

namespace quorv::cli {

void require_memory(int64_t needed, int64_t available) {
  if (needed > available)
    throw UsageError("the run needs about " + human_bytes(needed) + " of memory, but only " +
                     human_bytes(available) + " is available (--force tries anyway)");
}

void release_free_memory() { malloc_trim(0); }

void reserve_memory(int64_t bytes) {
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  if (bytes <= 0) return;
  void* block = std::malloc(static_cast<size_t>(bytes));
  if (!block) return;
  const auto begin = (reinterpret_cast<uintptr_t>(block) + kHuge - 1) & ~(kHuge - 1);
  const auto end = (reinterpret_cast<uintptr_t>(block) + static_cast<uintptr_t>(bytes)) & ~(kHuge - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  std::free(block);
}

}  // namespace quorv::cli

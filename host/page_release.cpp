#include "host/page_release.h"

#include <ATen/ATen.h>
#include <c10/core/CPUAllocator.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "host/errors.h"

namespace quorv::host {
namespace {

// Whole pages inside bytes [begin, end) go back to the system.
void discard_bytes(const char* begin, const char* end) {
  static const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t first = (reinterpret_cast<uintptr_t>(begin) + page - 1) & ~(page - 1);
  const uintptr_t last = reinterpret_cast<uintptr_t>(end) & ~(page - 1);
  // Only a hint to the system: on failure the pages simply stay.
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}

bool from_cpu_allocator(const at::Storage& storage) {
  const c10::DeleterFnPtr deleter = storage.data_ptr().get_deleter();
  return storage.device().is_cpu() && (deleter == c10::GetCPUAllocator()->raw_deleter() || deleter == &free_heap_block);
}

}  // namespace

void free_heap_block(void* block) { std::free(block); }

bool pages_are_ours(const at::Tensor& picture) {
  if (!picture.defined() || !picture.has_storage() || picture.use_count() != 1) return false;
  const at::Storage& storage = picture.storage();
  return storage.use_count() == 1 && storage.data() != nullptr && from_cpu_allocator(storage);
}

void let_go(at::Tensor& picture) {
  if (pages_are_ours(picture)) {
    const at::Storage& storage = picture.storage();
    const auto* begin = static_cast<const char*>(storage.data());
    discard_bytes(begin, begin + storage.nbytes());
  }
  picture.reset();
}

void discard_rows(const at::Tensor& picture, int64_t first, int64_t end) {
  if (!picture.defined() || picture.dim() != 4)
    throw ValueError("discard_rows: expected a [B, H, W, C] picture");
  if (first < 0 || end > picture.size(1) || first > end)
    throw ValueError("discard_rows: rows " + std::to_string(first) + " .. " + std::to_string(end) +
                     " are outside a picture of " + std::to_string(picture.size(1)) + " rows");
  if (first == end || picture.size(0) != 1) return;
  if (!picture.is_contiguous() || picture.scalar_type() != at::kFloat || !from_cpu_allocator(picture.storage()))
    throw ValueError("discard_rows: the picture must be a contiguous float32 tensor of the CPU allocator");
  const int64_t row_bytes = picture.size(2) * picture.size(3) * static_cast<int64_t>(sizeof(float));
  const auto* data = static_cast<const char*>(picture.data_ptr());
  discard_bytes(data + first * row_bytes, data + end * row_bytes);
}

}  // namespace quorv::host

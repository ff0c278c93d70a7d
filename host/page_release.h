// Giving the memory of large pictures back to the system as soon as their
// pixels are no longer needed, not when the heap gets round to it.
#pragma once

#include <ATen/core/Tensor.h>

#include <cstdint>

namespace quorv::host {

/// Whether `picture`'s pixels may be thrown away here: its memory came from
/// the CPU allocator or from malloc through free_heap_block (not from a
/// caller's array), and no other tensor or view shares it.
bool pages_are_ours(const at::Tensor& picture);

/// std::free, as the deleter of pixels a library allocated with malloc (such
/// as GLib's g_malloc) and handed over: pages_are_ours accepts them too.
void free_heap_block(void* block);

/// Lets go of `picture`; when its pages are ours, they go back to the system
/// first. A heap that is never trimmed (as a long run may set it) otherwise
/// keeps a dead canvas resident until something reuses the hole.
void let_go(at::Tensor& picture);

/// Throws away the pixels of rows first .. end - 1 of `picture`, a
/// contiguous [B, H, W, C] tensor whose pages are ours (see pages_are_ours;
/// views the caller holds are its own business): the whole pages inside
/// those rows go back to the system and read as 0 after. Nothing happens
/// for an empty range or a batch above 1. ValueError for rows outside the picture.
void discard_rows(const at::Tensor& picture, int64_t first, int64_t end);

}  // namespace quorv::host

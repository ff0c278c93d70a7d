// How much memory the process may still ask for, and a guard that refuses
// an allocation too large for it before libtorch tries (and fails deep
// inside its allocator).
#pragma once

#include <cstdint>
#include <string>

namespace quorv {

/// Bytes the system can give without swapping: MemAvailable, lowered to what
/// the process's cgroup still allows; INT64_MAX when neither is known.
int64_t available_memory_bytes();

/// Bytes of `count` float32 values, or ValueError naming `what` on overflow.
int64_t float_bytes(int64_t count, const std::string& what);

/// ValueError naming `what` and both sizes when `bytes` is more than
/// available_memory_bytes(): a clear refusal instead of an allocator failure.
void require_memory_for(int64_t bytes, const std::string& what);

/// Peak resident size of this process so far (VmHWM), in bytes; 0 when unknown.
int64_t peak_rss_bytes();

/// "1.5 GiB": a byte count for messages.
std::string human_bytes(int64_t bytes);

}  // namespace quorv

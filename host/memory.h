// How much memory the process may still ask for, and a guard that refuses
// an allocation too large for it before libtorch tries (and fails deep
// inside its allocator).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quorv {

/// Where the memory limits are read from: a root folder holding proc/ and
/// sys/fs/cgroup/ ("/" on a running system), and the address-space limit
/// (RLIMIT_AS) with nullopt for none.
struct MemorySources {
  std::string root = "/";
  std::optional<int64_t> address_space_limit;
};

/// The sources of this process: "/" and its own RLIMIT_AS.
MemorySources process_memory_sources();

/// Bytes that can still be allocated, the smallest of: MemAvailable; for
/// every cgroup of the process, from its own up to the root of the
/// hierarchy, its limit less its usage (v2 memory.max and memory.current, v1
/// memory.limit_in_bytes and memory.usage_in_bytes); RLIMIT_AS less the
/// address space in use (VmSize). INT64_MAX when nothing is known.
int64_t available_memory_bytes(const MemorySources& sources);

/// available_memory_bytes(process_memory_sources()), lowered to the budget
/// of a living MemoryBudget.
int64_t available_memory_bytes();

/// Caps what available_memory_bytes() reports while it lives (a caller that
/// must leave room for others, or a test); budgets nest, the inner one wins.
class MemoryBudget {
 public:
  explicit MemoryBudget(int64_t bytes);
  ~MemoryBudget();
  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;

 private:
  int64_t previous_;
};

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

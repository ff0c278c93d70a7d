#include "host/memory.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>

#include "host/checked_math.h"
#include "host/errors.h"

namespace quorv {
namespace {

// A "Key:  value kB" line of a /proc file, in bytes; -1 when absent.
int64_t proc_kib_field(const char* file, const std::string& key) {
  std::ifstream in(file);
  std::string name;
  int64_t kib = 0;
  while (in >> name) {
    if (name == key + ":" && in >> kib) return kib * 1024;
    std::getline(in, name);
  }
  return -1;
}

// The first number in a one-line file; -1 when absent or "max".
int64_t file_number(const char* file) {
  std::ifstream in(file);
  int64_t value = -1;
  if (!(in >> value)) return -1;
  return value;
}

}  // namespace

int64_t available_memory_bytes() {
  int64_t available = proc_kib_field("/proc/meminfo", "MemAvailable");
  if (available < 0) available = std::numeric_limits<int64_t>::max();
  const int64_t limit = file_number("/sys/fs/cgroup/memory.max");
  const int64_t used = file_number("/sys/fs/cgroup/memory.current");
  if (limit > 0 && used >= 0) available = std::min(available, std::max<int64_t>(0, limit - used));
  return available;
}

int64_t peak_rss_bytes() { return std::max<int64_t>(0, proc_kib_field("/proc/self/status", "VmHWM")); }

int64_t float_bytes(int64_t count, const std::string& what) {
  return checked_mul(count, int64_t{sizeof(float)}, what.c_str());
}

void require_memory_for(int64_t bytes, const std::string& what) {
  // Small requests (every tile's masks) are left to the allocator: reading /proc per tile costs more than it saves.
  constexpr int64_t kLeftToAllocator = int64_t{64} << 20;
  if (bytes <= kLeftToAllocator) return;
  const int64_t available = available_memory_bytes();
  if (bytes > available)
    throw ValueError(what + " needs " + human_bytes(bytes) + " of memory, but only " + human_bytes(available) +
                     " is available");
}

std::string human_bytes(int64_t bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(units)) value /= 1024, ++unit;
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
  return text;
}

}  // namespace quorv

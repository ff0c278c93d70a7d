#include "host/memory.h"

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <vector>

#include "host/checked_math.h"
#include "host/errors.h"

namespace quorv {
namespace {

constexpr int64_t kUnknown = -1;

// A "Key:  value kB" line of a /proc file, in bytes; -1 when absent.
int64_t proc_kib_field(const std::string& file, const std::string& key) {
  std::ifstream in(file);
  std::string name;
  int64_t kib = 0;
  while (in >> name) {
    if (name == key + ":" && in >> kib) return kib * 1024;
    std::getline(in, name);
  }
  return kUnknown;
}

// The first number in a one-line file; -1 when absent, unreadable or "max".
int64_t file_number(const std::string& file) {
  std::ifstream in(file);
  int64_t value = kUnknown;
  if (!(in >> value) || value < 0) return kUnknown;
  return value;
}

// The cgroup paths of the process from /proc/self/cgroup: the v2 path
// ("0::/a/b") and the v1 memory controller's ("4:memory:/a/b").
struct CgroupPaths {
  std::optional<std::string> v2;
  std::optional<std::string> v1_memory;
};

CgroupPaths cgroup_paths(const std::string& root) {
  CgroupPaths paths;
  std::ifstream in(root + "proc/self/cgroup");
  std::string line;
  while (std::getline(in, line)) {
    const size_t first = line.find(':'), second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (line.compare(0, first, "0") == 0 && controllers.empty()) paths.v2 = path;
    bool memory = false;
    for (size_t at = 0; at <= controllers.size();) {
      const size_t comma = std::min(controllers.find(',', at), controllers.size());
      memory = memory || controllers.compare(at, comma - at, "memory") == 0;
      at = comma + 1;
    }
    if (memory) paths.v1_memory = path;
  }
  return paths;
}

// "/a/b" -> {"/a/b", "/a", ""}: a cgroup and each of its ancestors.
std::vector<std::string> with_ancestors(std::string path) {
  std::vector<std::string> chain;
  while (!path.empty() && path.back() == '/') path.pop_back();
  for (;;) {
    chain.push_back(path);
    if (path.empty()) return chain;
    path.erase(path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
  }
}

// The least headroom (limit less usage) of the cgroups in `folders`.
int64_t cgroup_headroom(const std::vector<std::string>& folders, const char* limit_file, const char* usage_file) {
  int64_t headroom = std::numeric_limits<int64_t>::max();
  for (const std::string& folder : folders) {
    const int64_t limit = file_number(folder + "/" + limit_file);
    const int64_t used = file_number(folder + "/" + usage_file);
    // v1 reports "no limit" as a number near 2^63.
    if (limit < 0 || limit >= (int64_t{1} << 62) || used < 0) continue;
    headroom = std::min(headroom, std::max<int64_t>(0, limit - used));
  }
  return headroom;
}

std::vector<std::string> folders_under(const std::string& base, const std::optional<std::string>& path) {
  std::vector<std::string> folders;
  // Inside a cgroup namespace the process's own group is mounted at the base.
  folders.push_back(base);
  if (path)
    for (const std::string& part : with_ancestors(*path))
      if (!part.empty()) folders.push_back(base + part);
  return folders;
}

std::atomic<int64_t> budget{std::numeric_limits<int64_t>::max()};

}  // namespace

MemorySources process_memory_sources() {
  MemorySources sources;
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      limit.rlim_cur < static_cast<rlim_t>(std::numeric_limits<int64_t>::max()))
    sources.address_space_limit = static_cast<int64_t>(limit.rlim_cur);
  return sources;
}

int64_t available_memory_bytes(const MemorySources& sources) {
  std::string root = sources.root;
  if (root.empty() || root.back() != '/') root += '/';
  int64_t available = proc_kib_field(root + "proc/meminfo", "MemAvailable");
  if (available < 0) available = std::numeric_limits<int64_t>::max();

  const CgroupPaths paths = cgroup_paths(root);
  const std::string cgroup = root + "sys/fs/cgroup";
  // v2 is mounted at sys/fs/cgroup (or sys/fs/cgroup/unified beside v1).
  for (const std::string& base : {cgroup, cgroup + "/unified"})
    available = std::min(available, cgroup_headroom(folders_under(base, paths.v2), "memory.max", "memory.current"));
  available = std::min(available, cgroup_headroom(folders_under(cgroup + "/memory", paths.v1_memory),
                                                  "memory.limit_in_bytes", "memory.usage_in_bytes"));
  if (sources.address_space_limit) {
    const int64_t mapped = std::max<int64_t>(0, proc_kib_field(root + "proc/self/status", "VmSize"));
    available = std::min(available, std::max<int64_t>(0, *sources.address_space_limit - mapped));
  }
  return available;
}

int64_t available_memory_bytes() {
  return std::min(available_memory_bytes(process_memory_sources()), budget.load());
}

MemoryBudget::MemoryBudget(int64_t bytes) : previous_(budget.exchange(std::max<int64_t>(0, bytes))) {}

MemoryBudget::~MemoryBudget() { budget.store(previous_); }

int64_t peak_rss_bytes() { return std::max<int64_t>(0, proc_kib_field("/proc/self/status", "VmHWM")); }

int64_t float_bytes(int64_t count, const std::string& what) {
  return checked_mul(count, int64_t{sizeof(float)}, what.c_str());
}

void require_memory_for(int64_t bytes, const std::string& what) {
  // Small requests (every tile's masks) are left to the allocator: reading /proc per tile costs more than it saves.
  constexpr int64_t kLeftToAllocator = int64_t{64} << 20;
  if (bytes <= kLeftToAllocator && bytes <= budget.load()) return;
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

#include "host/memory.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "host/errors.h"
#include "tests/support/test_support.h"

namespace quorv {
namespace {

namespace fs = std::filesystem;
constexpr int64_t kMiB = int64_t{1} << 20;

// A folder standing in for "/": proc/ and sys/fs/cgroup/ files written by the test.
class FakeRoot {
 public:
  FakeRoot()
      : path_(fs::temp_directory_path() /
              ("quorv-memory-" + std::to_string(::getpid()) + "-" + std::to_string(next_number_++))) {
    fs::remove_all(path_);
  }
  ~FakeRoot() { fs::remove_all(path_); }
  void write(const std::string& file, const std::string& text) const {
    fs::create_directories((path_ / file).parent_path());
    std::ofstream(path_ / file) << text;
  }
  MemorySources sources(std::optional<int64_t> address_space = std::nullopt) const {
    return {path_.string(), address_space};
  }

 private:
  static inline int next_number_ = 0;
  fs::path path_;
};

TEST(Host_Memory, TakesTheSmallestOfMemInfoEveryCgroupAndTheAddressSpaceLimit) {
  FakeRoot root;
  EXPECT_EQ(available_memory_bytes(root.sources()), std::numeric_limits<int64_t>::max());  // nothing known
  root.write("proc/meminfo", "MemTotal: 16777216 kB\nMemAvailable: 8388608 kB\n");
  EXPECT_EQ(available_memory_bytes(root.sources()), 8192 * kMiB);

  // v2: the process's own group and each ancestor; "max" is no limit.
  root.write("proc/self/cgroup", "0::/jobs/run\n");
  root.write("sys/fs/cgroup/memory.max", "max\n");
  root.write("sys/fs/cgroup/jobs/run/memory.max", std::to_string(3072 * kMiB));
  root.write("sys/fs/cgroup/jobs/run/memory.current", std::to_string(1024 * kMiB));
  EXPECT_EQ(available_memory_bytes(root.sources()), 2048 * kMiB);
  root.write("sys/fs/cgroup/jobs/memory.max", std::to_string(1536 * kMiB));
  root.write("sys/fs/cgroup/jobs/memory.current", std::to_string(1024 * kMiB));
  EXPECT_EQ(available_memory_bytes(root.sources()), 512 * kMiB);

  // v1: the memory controller's group; its "no limit" is a number near 2^63.
  FakeRoot v1;
  v1.write("proc/meminfo", "MemAvailable: 8388608 kB\n");
  v1.write("proc/self/cgroup", "5:cpu,cpuacct:/x\n4:memory:/docker/abc\n0::/\n");
  v1.write("sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n");
  v1.write("sys/fs/cgroup/memory/memory.usage_in_bytes", "7091924992\n");
  EXPECT_EQ(available_memory_bytes(v1.sources()), 8192 * kMiB);
  v1.write("sys/fs/cgroup/memory/docker/abc/memory.limit_in_bytes", std::to_string(1000 * kMiB));
  v1.write("sys/fs/cgroup/memory/docker/abc/memory.usage_in_bytes", std::to_string(1200 * kMiB));
  EXPECT_EQ(available_memory_bytes(v1.sources()), 0);  // over its limit already

  // RLIMIT_AS less the address space already mapped.
  FakeRoot limited;
  limited.write("proc/meminfo", "MemAvailable: 8388608 kB\n");
  limited.write("proc/self/status", "Name: quorv\nVmSize:  1048576 kB\nVmHWM: 10 kB\n");
  EXPECT_EQ(available_memory_bytes(limited.sources(1280 * kMiB)), 256 * kMiB);
  EXPECT_EQ(available_memory_bytes(limited.sources(512 * kMiB)), 0);
}

TEST(Host_Memory, BudgetsLowerTheAvailableMemoryWhileTheyLive) {
  const int64_t before = available_memory_bytes();
  {
    const MemoryBudget outer(100 * kMiB);
    EXPECT_LE(available_memory_bytes(), 100 * kMiB);
    EXPECT_THROW_WITH(require_memory_for(101 * kMiB, "a test block"), ValueError,
                      "a test block needs 101.0 MiB of memory, but only");
    {
      const MemoryBudget inner(1 * kMiB);
      EXPECT_THROW(require_memory_for(2 * kMiB, "a small block"), ValueError);  // small requests too
    }
    EXPECT_NO_THROW(require_memory_for(2 * kMiB, "a small block"));
  }
  EXPECT_GE(available_memory_bytes(), std::min(before, 100 * kMiB));
  EXPECT_EQ(human_bytes(1536), "1.5 KiB");
}

}  // namespace
}  // namespace quorv

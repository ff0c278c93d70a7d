#include <dlfcn.h>

#include <filesystem>

#include "tools/quorv/quorv_cli.h"

namespace quorv::cli {
namespace {

namespace fs = std::filesystem;

// The runner sits next to the program in the build tree, and in
// PREFIX/lib/quorv when the program is installed in PREFIX/bin.
fs::path runner_path() {
  std::error_code ec;
  const fs::path folder = fs::read_symlink("/proc/self/exe", ec).parent_path();
  const fs::path beside = folder / kRunnerModule;
  if (fs::exists(beside, ec)) return beside;
  const fs::path installed = folder.parent_path() / "lib" / "quorv" / kRunnerModule;
  if (fs::exists(installed, ec)) return installed;
  return beside;  // dlopen names it in its message
}

}  // namespace

const Runner& load_runner() {
  static const Runner* const runner = [] {
    const std::string path = runner_path().string();
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) throw Error(std::string("cannot load the runner module: ") + dlerror());
    const auto entry = reinterpret_cast<const Runner* (*)()>(dlsym(module, "quorv_runner"));
    if (!entry) throw Error("the runner module " + path + " has no entry point quorv_runner");
    return entry();
  }();
  return *runner;
}

}  // namespace quorv::cli

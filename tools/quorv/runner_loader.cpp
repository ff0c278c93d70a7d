#include <dlfcn.h>

#include <filesystem>

#include "tools/quorv/quorv_cli.h"

namespace quorv::cli {

const Runner& load_runner() {
  static const Runner* const runner = [] {
    std::error_code ec;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ec);
    const std::string path = (program.parent_path() / kRunnerModule).string();
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) throw Error(std::string("cannot load the runner module: ") + dlerror());
    const auto entry = reinterpret_cast<const Runner* (*)()>(dlsym(module, "quorv_runner"));
    if (!entry) throw Error("the runner module " + path + " has no entry point quorv_runner");
    return entry();
  }();
  return *runner;
}

}  // namespace quorv::cli

#include "image/module.h"

#include <memory>
#include <mutex>

#include "host/errors.h"

namespace quorv {
namespace {

struct Binding {
  std::shared_ptr<const host::PackageServices> services;
  std::string failure;  // why the last load failed; empty when it succeeded
};

std::mutex binding_mutex;
std::shared_ptr<const Binding> binding;  // null until the first load

std::shared_ptr<const Binding> bind(host::PackageServices services) {
  // Start-up order: the sibling module, then the package's constants, log and
  // list utility; the module's standard output last. Libraries and host node
  // classes are linked in and cannot be missing.
  const std::pair<bool, const char*> steps[] = {
      {static_cast<bool>(services.set_tiles_to_process), "set_tiles_to_process (sigmas)"},
      {static_cast<bool>(services.get_apiurl), "get_apiurl (utils.constants)"},
      {static_cast<bool>(services.log), "log (utils.log)"},
      {static_cast<bool>(services.reorder_edges_to_center),
       "Zarn_Array.reorder_edges_to_center (vendor.ComfyUI_Zarn_Nodes)"},
      {static_cast<bool>(services.print), "standard output"},
  };
  auto result = std::make_shared<Binding>();
  for (const auto& [present, name] : steps) {
    if (!present) {
      result->failure = std::string("Quorv Image: module load failed: ") + name + " is not available";
      return result;
    }
  }
  result->services = std::make_shared<const host::PackageServices>(std::move(services));
  return result;
}

}  // namespace

void load_module(host::PackageServices services) {
  auto result = bind(std::move(services));
  {
    std::lock_guard<std::mutex> lock(binding_mutex);
    binding = result;
  }
  if (!result->failure.empty()) throw Error(result->failure);
}

std::shared_ptr<const host::PackageServices> module_services() {
  std::lock_guard<std::mutex> lock(binding_mutex);
  if (!binding) binding = bind(host::default_package_services());
  if (!binding->failure.empty()) throw Error(binding->failure);
  return binding->services;
}

void print_line(const std::string& line) { module_services()->print(line); }

}  // namespace quorv

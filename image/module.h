// Start-up of the module: binding the package services it needs.
//
// The module keeps no state besides this binding. load_module() checks the
// services in the fixed start-up order and fails, naming the first missing
// one, when any is absent; the module is then unusable until a load succeeds.
// Operations that need a service call module_services(), which binds the host
// layer's defaults on first use when nobody loaded the module explicitly.
#pragma once

#include <memory>
#include <string>

#include "host/services/package_services.h"

namespace quorv {

/// Binds `services`; Error("Quorv Image: module load failed: ...") naming the
/// first service that is missing, in start-up order.
void load_module(host::PackageServices services = host::default_package_services());

/// The bound services; Error when the last load failed. Holding the pointer
/// keeps them alive even if the module is loaded again meanwhile.
std::shared_ptr<const host::PackageServices> module_services();

/// Prints one line on the module's standard output (the bound `print`).
void print_line(const std::string& line);

}  // namespace quorv

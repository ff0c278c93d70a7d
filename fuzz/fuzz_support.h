// Shared pieces of the fuzz targets: the invariant every target checks.
#pragma once

#include <ATen/ATen.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "host/errors.h"
#include "host/services/package_services.h"
#include "image/module.h"

namespace quorv::fuzz {

/// Runs `step`: a result or one of the library's errors is fine; any other
/// exception is a finding and stops the fuzzer with its message.
inline void expect_result_or_error(const char* what, const std::function<void()>& step) {
  try {
    step();
  } catch (const quorv::Error&) {
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: unexpected exception: %s\n", what, e.what());
    std::abort();
  }
}

/// Aborts when a tensor given to the library changed.
inline void expect_unchanged(const char* what, const at::Tensor& before, const at::Tensor& after) {
  if (before.defined() != after.defined() || (before.defined() && !at::equal(before, after))) {
    std::fprintf(stderr, "%s: an input tensor was changed\n", what);
    std::abort();
  }
}

/// Binds services that print and log nothing (fuzzers run millions of calls).
inline void bind_quiet_services() {
  host::PackageServices services = host::default_package_services();
  services.print = [](const std::string&) {};
  services.log = [](const std::string&, std::nullopt_t, std::nullopt_t, const std::string&) {};
  load_module(services);
}

}  // namespace quorv::fuzz

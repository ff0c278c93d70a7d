// Helpers shared by the tests: sample pictures, captured output, recorded log lines.
#pragma once

#include <ATen/ATen.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/node_state.h"
#include "host/services/package_services.h"

namespace quorv::test {

/// A sample picture of the project's data folder as [1, H, W, 3] float32.
at::Tensor sample_picture(const std::string& name);

/// Path of a file in the build's test-model folder.
std::string test_model_folder();

/// Binds recording services for the lifetime of the object and restores the
/// defaults afterwards: printed lines and log calls are kept in order.
class CapturedServices {
 public:
  struct LogCall {
    std::string message;
    std::string detail;
  };
  CapturedServices();
  ~CapturedServices();
  CapturedServices(const CapturedServices&) = delete;
  CapturedServices& operator=(const CapturedServices&) = delete;

  std::vector<std::string> printed;
  std::vector<LogCall> logged;
};

/// Exact equality of values and shape.
inline bool same_values(const at::Tensor& a, const at::Tensor& b) {
  return a.sizes() == b.sizes() && at::equal(a, b);
}

/// Largest absolute difference of two tensors of the same shape.
inline double max_abs_diff(const at::Tensor& a, const at::Tensor& b) {
  return (a.to(at::kDouble) - b.to(at::kDouble)).abs().max().item<double>();
}

/// A deterministic random picture [b, h, w, c] in 0..1.
at::Tensor random_picture(int64_t b, int64_t h, int64_t w, int64_t c, uint64_t seed = 7);

/// Expects `statement` to throw `kind` whose what() contains `fragment`.
#define EXPECT_THROW_WITH(statement, kind, fragment)                                  \
  do {                                                                                \
    try {                                                                             \
      statement;                                                                      \
      ADD_FAILURE() << "expected " #kind " containing \"" << (fragment) << "\"";      \
    } catch (const kind& e) {                                                         \
      EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what(); \
    }                                                                                 \
  } while (0)

}  // namespace quorv::test

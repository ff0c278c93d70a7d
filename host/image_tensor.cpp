#include "host/image_tensor.h"

#include <ATen/ATen.h>

#include <sstream>

#include "host/errors.h"

namespace quorv {

std::string shape_string(const at::Tensor& t) {
  if (!t.defined()) return "undefined";
  std::ostringstream out;
  out << '[';
  for (int64_t i = 0; i < t.dim(); ++i) out << (i ? ", " : "") << t.size(i);
  out << ']';
  return out.str();
}

void require_image(const at::Tensor& t, const char* name) {
  if (!t.defined()) throw ValueError(std::string(name) + " must be a picture, got an undefined tensor");
  if (t.dim() != 4)
    throw ValueError(std::string(name) + " must be [batch, height, width, channels], got " +
                     shape_string(t));
  if (t.scalar_type() != at::kFloat)
    throw ValueError(std::string(name) + " must be float32, got " +
                     std::string(c10::toString(t.scalar_type())));
}

void require_dims(const at::Tensor& t, int64_t dims, const char* name) {
  if (!t.defined() || t.dim() != dims)
    throw ValueError(std::string(name) + " must have " + std::to_string(dims) + " axes, got " +
                     shape_string(t));
}

void require_same_hw(const at::Tensor& a, const char* a_name, const at::Tensor& b,
                     const char* b_name) {
  if (a.size(1) != b.size(1) || a.size(2) != b.size(2))
    throw ValueError(std::string(a_name) + " " + shape_string(a) + " and " + b_name + " " +
                     shape_string(b) + " must have the same height and width");
}

void require_index(int64_t index, size_t size, const char* what) {
  if (index < 0 || static_cast<uint64_t>(index) >= size)
    throw IndexError(std::string(what) + " index " + std::to_string(index) +
                     " is out of range for " + std::to_string(size) + " entries");
}

}  // namespace quorv

// The host's tensor conventions and the argument checks shared by every operation.
//
//   ImageTensor  float32 [batch, height, width, channels], values 0..1
//   MaskTensor   float32 [batch, height, width] from the host,
//                [1, 1, height, width] for per-tile masks, values 0..1
#pragma once

#include <ATen/core/Tensor.h>

#include <optional>
#include <string>
#include <vector>

namespace quorv {

/// A list entry that may hold no picture (a tile that was not processed).
using OptionalImage = std::optional<at::Tensor>;

/// "[1, 64, 64, 3]": a tensor's shape for messages.
std::string shape_string(const at::Tensor& t);

/// Throws ValueError unless `t` is a defined float32 tensor of shape
/// [batch, height, width, channels]; `name` appears in the message.
void require_image(const at::Tensor& t, const char* name);

/// Throws ValueError unless `t` is defined and has exactly `dims` axes.
void require_dims(const at::Tensor& t, int64_t dims, const char* name);

/// Throws ValueError unless `a` and `b` have the same height and width.
void require_same_hw(const at::Tensor& a, const char* a_name, const at::Tensor& b,
                     const char* b_name);

/// Throws IndexError unless 0 <= index < size; `what` names the list.
void require_index(int64_t index, size_t size, const char* what);

/// Height (axis 1) and width (axis 2) of an ImageTensor.
inline int64_t image_height(const at::Tensor& t) { return t.size(1); }
inline int64_t image_width(const at::Tensor& t) { return t.size(2); }

}  // namespace quorv

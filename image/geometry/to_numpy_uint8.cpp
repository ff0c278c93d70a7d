#include <ATen/ATen.h>
#include <opencv2/core.hpp>

#include <climits>
#include <cstring>
#include <vector>

#include "host/errors.h"
#include "host/image_tensor.h"
#include "image/geometry/geometry.h"

namespace quorv::geometry {
namespace {

constexpr int kMaxMatAxes = 32;  // CV_MAX_DIM, which only OpenCV's C headers define

// The array's axes as numpy would see them: the Mat's axes, then the channels.
std::vector<int64_t> mat_shape(const cv::Mat& mat) {
  std::vector<int64_t> shape(mat.size.p, mat.size.p + mat.dims);
  if (mat.channels() > 1) shape.push_back(mat.channels());
  if (shape.empty()) shape.push_back(0);  // a default-constructed Mat holds nothing
  return shape;
}

at::ScalarType tensor_type(int depth) {
  switch (depth) {
    case CV_8U: return at::kByte;
    case CV_8S: return at::kChar;
    case CV_16S: return at::kShort;
    case CV_32S: return at::kInt;
    case CV_32F: return at::kFloat;
    case CV_64F: return at::kDouble;
    default: return at::kHalf;  // CV_16F; CV_16U is widened before this is asked
  }
}

// The Mat's values as a tensor of its logical shape, sharing its memory
// when it is continuous (the tensor holds a reference to the Mat's data).
at::Tensor tensor_from_mat(const cv::Mat& mat) {
  cv::Mat source = mat.isContinuous() ? mat : mat.clone();
  // ATen has no unsigned 16-bit type.
  if (source.depth() == CV_16U) source.convertTo(source, CV_32S);
  if (source.total() == 0) return at::empty(mat_shape(mat), tensor_type(source.depth()));
  return at::from_blob(source.data, mat_shape(mat), [source](void*) {}, tensor_type(source.depth()));
}

at::Tensor as_cpu_tensor(const ArrayLike& mask) {
  if (const auto* mat = std::get_if<cv::Mat>(&mask)) return tensor_from_mat(*mat);
  return std::get<at::Tensor>(mask).detach().cpu();
}

// Float arithmetic the way the array library does it: float32 stays float32,
// integers and flags are divided in float64.
at::ScalarType working_type(at::ScalarType type) {
  if (type == at::kDouble) return at::kDouble;
  if (at::isFloatingType(type)) return at::kFloat;
  return at::kDouble;
}

// Out of place throughout: `values` may share memory with the caller's array.
at::Tensor squeezed_levels(const at::Tensor& values) {
  const at::Tensor x = values.squeeze().to(working_type(values.scalar_type()));
  const at::Tensor top = x.numel() > 0 ? x.max() : at::zeros({}, x.options());
  // NaN compares false here, as a NaN maximum does in the array library.
  at::Tensor scaled = top.item<double>() > 1.0 ? x.div(top).mul_(255) : x.mul(255);
  // Only 0..255 converts to 8 bits without undefined behaviour; a NaN maximum skips the division above.
  return scaled.nan_to_num_(0.0).clamp_(0.0, 255.0).to(at::kByte).contiguous();
}

// The Mat layout of a squeezed shape: 1 x 1 for no axis, a column for one,
// rows x columns for two, the last axis as channels for more.
cv::Mat mat_from_levels(const at::Tensor& levels) {
  std::vector<int> sizes(levels.sizes().begin(), levels.sizes().end());
  int channels = 1;
  if (sizes.empty()) sizes = {1, 1};
  if (sizes.size() == 1) sizes.push_back(1);
  if (sizes.size() > 2 && sizes.back() <= CV_CN_MAX) {
    channels = sizes.back();
    sizes.pop_back();
  }
  cv::Mat out(static_cast<int>(sizes.size()), sizes.data(), CV_8UC(channels));
  if (levels.numel() > 0)
    std::memcpy(out.data, levels.data_ptr<uint8_t>(), static_cast<size_t>(levels.numel()));
  return out;
}

void require_mat_sizes(const at::Tensor& squeezed, const at::Tensor& original) {
  if (squeezed.dim() > kMaxMatAxes)
    throw ValueError("to_numpy_uint8 mask must have at most " + std::to_string(kMaxMatAxes) +
                     " axes longer than 1, got " + shape_string(original));
  for (int64_t size : squeezed.sizes())
    if (size > INT_MAX)
      throw ValueError("to_numpy_uint8 mask axes must each be at most " + std::to_string(INT_MAX) +
                       " long, got " + shape_string(original));
}

}  // namespace

cv::Mat to_numpy_uint8(const ArrayLike& mask) {
  const at::Tensor* tensor = std::get_if<at::Tensor>(&mask);
  if (tensor && !tensor->defined())
    throw ValueError("to_numpy_uint8 mask must be a tensor or an array, got an undefined tensor");
  if (tensor && tensor->layout() != at::kStrided)
    throw ValueError("to_numpy_uint8 mask must be a dense tensor, got layout " +
                     std::string(c10::toString(tensor->layout())));
  if (tensor && tensor->is_complex())
    throw ValueError("to_numpy_uint8 mask must hold real numbers, got " +
                     std::string(c10::toString(tensor->scalar_type())));
  const at::Tensor values = as_cpu_tensor(mask);
  require_mat_sizes(values.squeeze(), values);
  return mat_from_levels(squeezed_levels(values));
}

}  // namespace quorv::geometry

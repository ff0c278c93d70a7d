// Conversions between Python values and the module's C++ types, shared by the
// binding's sources. Private to python/.
//
// Every converter names the argument in its message; a value of the wrong
// kind is a TypeError, a value of the right kind but unusable a ValueError.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/stl.h>
#include <torch/extension.h>

#include <opencv2/core/mat.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "image/quorv_image.h"

namespace quorv::python {

namespace py = pybind11;

/// Runs `call` with the GIL released; Python objects must not be touched inside.
template <class F>
auto without_gil(F&& call) {
  py::gil_scoped_release released;
  return call();
}

// --- plain values --------------------------------------------------------------

/// "int", "NoneType": the Python type name of `value`, for messages.
std::string type_name(py::handle value);

/// A Python int (or anything with __index__) or a float without a fraction.
int64_t integer_value(py::handle value, const std::string& name);

/// `str(value)`: for arguments that are only shown or have no effect.
std::string printable(py::handle value);

/// An argument shown as `torch.Tensor` in signatures. It takes any value, so
/// that the body's picture_value() or tensor_value() can name the argument
/// when it is something else (a NumPy array, a list) instead of an overload
/// error that prints the whole value.
class TensorObject : public py::object {
 public:
  static int accepts(PyObject*) { return 1; }
  PYBIND11_OBJECT_DEFAULT(TensorObject, py::object, accepts)
};

/// A result shown as `torch.Tensor` in signatures.
TensorObject tensor_object(const at::Tensor& tensor);

/// A torch.Tensor; TypeError naming `name` otherwise.
at::Tensor tensor_value(py::handle value, const std::string& name);

/// A picture: a torch.Tensor that is not laid out channels-first. A
/// [B, C, H, W] tensor (1..4 on axis 1, more than 4 on the last axis) is a
/// ValueError naming `name`, which says to permute it; the layout itself is
/// checked by the operation.
at::Tensor picture_value(py::handle value, const std::string& name);

/// A torch.Tensor or None.
std::optional<at::Tensor> optional_tensor_value(py::handle value, const std::string& name);

/// A list or tuple of pictures (see picture_value).
std::vector<at::Tensor> tensor_list(py::handle value, const std::string& name);

/// A list or tuple whose entries are pictures or None.
std::vector<OptionalImage> optional_image_list(py::handle value, const std::string& name);

/// Pairs (anything, mask): tensors kept, other entries undefined (never read as pictures).
std::vector<std::pair<at::Tensor, at::Tensor>> tensor_pair_list(py::handle value, const std::string& name);

/// A torch.device or its text ("cpu", "cuda:0"); a CUDA device on a machine
/// without CUDA is a ValueError saying so.
at::Device device_value(py::handle value, const std::string& name);

/// A list or tuple of str.
std::vector<std::string> text_list(py::handle value, const std::string& name);

// --- GridSpecs ------------------------------------------------------------------

/// Registers the named tuple quorv.GridSpec(row, col, order, x_start, y_start, width_inc, height_inc).
void bind_grid_spec(py::module_& m);

/// One record: a tuple, list or quorv.GridSpec of seven integers.
GridSpec grid_spec_value(py::handle value, const std::string& name);

/// A list or tuple of records; with `row_and_col_only` a record needs only its first two fields.
std::vector<GridSpec> grid_spec_list(py::handle value, const std::string& name, bool row_and_col_only = false);

/// Raises ValueError unless every record's tile lies inside `image`'s width
/// (axis 2) and height (axis 1) with a width and height of at least 1.
/// `regular_only`: segment records (order 8000 and up) are placed by their
/// segments and not checked.
void require_specs_inside(const std::vector<GridSpec>& specs, const at::Tensor& image, const std::string& name,
                          bool regular_only = false);

py::object grid_spec_object(const GridSpec& spec);
py::list grid_spec_objects(const std::vector<GridSpec>& specs);

// --- JSON -------------------------------------------------------------------------

/// dict, list, tuple, str, int, float, bool and None, nested at most 64 levels.
service::Json json_value(py::handle value, const std::string& name);

/// Objects become dicts (members in order), arrays lists.
py::object json_object(const service::Json& value);

// --- plain arrays -------------------------------------------------------------------

/// A mask for the 8-bit conversion: a tensor as it is, anything else as a C-ordered
/// numpy array wrapped without a copy. `keep` owns the array while `array` is in use.
struct ArrayArgument {
  geometry::ArrayLike array;
  py::object keep;
  std::vector<py::ssize_t> squeezed_shape;  ///< the shape without axes of length 1
};
ArrayArgument array_value(py::handle value, const std::string& name);

/// The 8-bit levels as a numpy uint8 array of `shape` (the input's squeezed shape).
py::array numpy_levels(const cv::Mat& levels, const std::vector<py::ssize_t>& shape);

// --- segments -----------------------------------------------------------------------

/// (header, records): each record's `crop_region` (x1, y1, x2, y2) and its
/// `compositing_mask` (None or missing: absent), read as attributes or keys.
reassembly::SegmentList segment_list(py::handle value, const std::string& name);

// --- results --------------------------------------------------------------------------

py::object optional_image_object(const OptionalImage& image);
py::list tile_order_objects(const std::vector<reassembly::TileOrderEntry>& entries);

// --- binding groups ----------------------------------------------------------------------

using QuorvClass = py::class_<Quorv_Image>;

void bind_errors();
void bind_services(py::module_& m);
void bind_node_state(py::module_& m);
void bind_geometry(QuorvClass& cls);
void bind_masks(QuorvClass& cls);
void bind_previews(QuorvClass& cls);
void bind_service(QuorvClass& cls);
void bind_fusion(QuorvClass& cls);
void bind_reassembly(QuorvClass& cls);
void bind_tools(py::module_& m);
void bind_models(py::module_& m);
void bind_seams(py::module_& m);
void bind_upscale(py::module_& m);

}  // namespace quorv::python

namespace pybind11::detail {
template <>
struct handle_type_name<quorv::python::TensorObject> {
  static constexpr auto name = const_name("torch.Tensor");
};
}  // namespace pybind11::detail

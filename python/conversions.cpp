#include "python/conversions.h"

#include <torch/csrc/Device.h>
#include <torch/cuda.h>
#include <torch/csrc/autograd/python_variable.h>

#include <climits>
#include <cmath>
#include <cstring>

#include "host/errors.h"
#include "host/image_tensor.h"

namespace quorv::python {
namespace {

constexpr int kMaxJsonDepth = 64;
constexpr int kMaxMatAxes = 32;

py::object* grid_spec_type = nullptr;  // never freed: it must outlive the interpreter's shutdown

bool is_sequence(py::handle value) { return py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value); }

py::sequence sequence_value(py::handle value, const std::string& name) {
  if (!is_sequence(value)) throw py::type_error(name + " must be a list or tuple, got " + type_name(value));
  return py::reinterpret_borrow<py::sequence>(value);
}

std::string item_name(const std::string& name, size_t index) { return name + "[" + std::to_string(index) + "]"; }

service::Json json_value_at(py::handle value, const std::string& name, int depth) {
  if (depth > kMaxJsonDepth)
    throw ValueError(name + " is nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
  if (value.is_none()) return nullptr;
  if (py::isinstance<py::bool_>(value)) return value.cast<bool>();
  if (py::isinstance<py::int_>(value)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow == 0) return static_cast<int64_t>(v);
    const unsigned long long u = PyLong_AsUnsignedLongLong(value.ptr());
    if (PyErr_Occurred()) {
      PyErr_Clear();
      throw ValueError(name + " must fit in 64 bits, got " + printable(value));
    }
    return static_cast<uint64_t>(u);
  }
  if (py::isinstance<py::float_>(value)) return value.cast<double>();
  if (py::isinstance<py::str>(value)) return value.cast<std::string>();
  if (is_sequence(value)) {
    service::Json array = service::Json::array();
    size_t i = 0;
    for (py::handle item : py::reinterpret_borrow<py::sequence>(value))
      array.push_back(json_value_at(item, item_name(name, i++), depth + 1));
    return array;
  }
  if (py::isinstance<py::dict>(value)) {
    service::Json object = service::Json::object();
    for (auto [key, item] : py::reinterpret_borrow<py::dict>(value)) {
      if (!py::isinstance<py::str>(key))
        throw py::type_error(name + " keys must be str, got " + type_name(key) + " " + printable(key));
      const std::string text = key.cast<std::string>();
      object[text] = json_value_at(item, name + "[\"" + text + "\"]", depth + 1);
    }
    return object;
  }
  // Numbers of the array library (numpy.int64, numpy.float32) convert like Python's own.
  const auto number = py::reinterpret_borrow<py::object>(value);
  if (PyIndex_Check(value.ptr())) return json_value_at(py::int_(number), name, depth);
  if (PyNumber_Check(value.ptr())) return py::float_(number).cast<double>();
  throw py::type_error(name + " must be a JSON value (dict, list, str, int, float, bool or None), got " +
                       type_name(value));
}

int cv_depth(const py::dtype& dtype) {
  const char kind = dtype.kind();
  const auto size = dtype.itemsize();
  if (kind == 'b') return CV_8U;
  if (kind == 'u' && size == 1) return CV_8U;
  if (kind == 'u' && size == 2) return CV_16U;
  if (kind == 'i' && size == 1) return CV_8S;
  if (kind == 'i' && size == 2) return CV_16S;
  if (kind == 'i' && size == 4) return CV_32S;
  if (kind == 'f' && size == 2) return CV_16F;
  if (kind == 'f' && size == 4) return CV_32F;
  if (kind == 'f' && size == 8) return CV_64F;
  return -1;
}

py::object attribute_or_key(py::handle record, const char* field) {
  if (py::hasattr(record, field)) return record.attr(field);
  if (py::isinstance<py::dict>(record) && record.contains(field)) return record[field];
  return py::none();
}

at::Device available_device(const at::Device& device, const std::string& name) {
  if (device.is_cuda() && !torch::cuda::is_available())
    throw ValueError(name + " is \"" + device.str() +
                     "\" but CUDA is not available on this machine (no GPU, or a tensor library built without "
                     "CUDA); use \"cpu\"");
  return device;
}

}  // namespace

std::string type_name(py::handle value) { return py::str(py::type::handle_of(value).attr("__name__")); }

std::string printable(py::handle value) { return py::str(value); }

int64_t integer_value(py::handle value, const std::string& name) {
  if (py::isinstance<py::float_>(value)) {
    const double v = value.cast<double>();
    // 2^63 itself is not an int64; every smaller float without a fraction is.
    if (std::isfinite(v) && v == std::trunc(v) && std::fabs(v) < 9.2233720368547758e18) return static_cast<int64_t>(v);
    throw py::type_error(name + " must be an integer, got " + printable(value));
  }
  if (py::isinstance<py::bool_>(value) || !PyIndex_Check(value.ptr()))
    throw py::type_error(name + " must be an integer, got " + type_name(value) + " " + printable(value));
  int overflow = 0;
  const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!index) throw py::error_already_set();
  const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (overflow != 0) throw ValueError(name + " must fit in 64 bits, got " + printable(value));
  return static_cast<int64_t>(v);
}

TensorObject tensor_object(const at::Tensor& tensor) {
  return py::reinterpret_steal<TensorObject>(THPVariable_Wrap(tensor));
}

at::Tensor tensor_value(py::handle value, const std::string& name) {
  if (THPVariable_Check(value.ptr())) return THPVariable_Unpack(value.ptr());
  std::string hint;
  if (py::hasattr(value, "__array_interface__")) hint = " (an array: torch.from_numpy(value) wraps it)";
  throw py::type_error(name + " must be a torch.Tensor, got " + type_name(value) + hint);
}

at::Tensor picture_value(py::handle value, const std::string& name) {
  at::Tensor picture = tensor_value(value, name);
  // No picture has more than 4 channels; a small axis 1 before a long last
  // axis is the channels-first layout of the tensor library's own models.
  if (picture.dim() == 4 && picture.size(1) <= 4 && picture.size(3) > 4)
    throw ValueError(name + " must be [batch, height, width, channels] with the channels last, got " +
                     shape_string(picture) + ", which looks channels-first: pass " + name +
                     ".permute(0, 2, 3, 1)");
  return picture;
}

std::optional<at::Tensor> optional_tensor_value(py::handle value, const std::string& name) {
  if (value.is_none()) return std::nullopt;
  if (!THPVariable_Check(value.ptr()))
    throw py::type_error(name + " must be a torch.Tensor or None, got " + type_name(value));
  return picture_value(value, name);
}

std::vector<at::Tensor> tensor_list(py::handle value, const std::string& name) {
  std::vector<at::Tensor> out;
  size_t i = 0;
  for (py::handle item : sequence_value(value, name)) out.push_back(picture_value(item, item_name(name, i++)));
  return out;
}

std::vector<OptionalImage> optional_image_list(py::handle value, const std::string& name) {
  std::vector<OptionalImage> out;
  size_t i = 0;
  for (py::handle item : sequence_value(value, name)) out.push_back(optional_tensor_value(item, item_name(name, i++)));
  return out;
}

std::vector<std::pair<at::Tensor, at::Tensor>> tensor_pair_list(py::handle value, const std::string& name) {
  std::vector<std::pair<at::Tensor, at::Tensor>> out;
  size_t i = 0;
  for (py::handle item : sequence_value(value, name)) {
    const std::string entry = item_name(name, i++);
    const py::sequence pair = sequence_value(item, entry);
    if (pair.size() != 2) throw ValueError(entry + " must be a pair, got " + std::to_string(pair.size()) + " entries");
    auto tensor_or_undefined = [](py::handle v) {
      return THPVariable_Check(v.ptr()) ? THPVariable_Unpack(v.ptr()) : at::Tensor();
    };
    out.emplace_back(tensor_or_undefined(pair[0]), tensor_or_undefined(pair[1]));
  }
  return out;
}

at::Device device_value(py::handle value, const std::string& name) {
  if (THPDevice_Check(value.ptr())) return available_device(reinterpret_cast<THPDevice*>(value.ptr())->device, name);
  if (!py::isinstance<py::str>(value))
    throw py::type_error(name + " must be a torch.device or its text, got " + type_name(value));
  const std::string text = value.cast<std::string>();
  at::Device device(at::kCPU);
  try {
    device = at::Device(text);
  } catch (const c10::Error&) {
    throw ValueError(name + " must name a device such as \"cpu\" or \"cuda:0\", got \"" + text + "\"");
  }
  return available_device(device, name);
}

std::vector<std::string> text_list(py::handle value, const std::string& name) {
  std::vector<std::string> out;
  size_t i = 0;
  for (py::handle item : sequence_value(value, name)) {
    const std::string entry = item_name(name, i++);
    if (!py::isinstance<py::str>(item)) throw py::type_error(entry + " must be a str, got " + type_name(item));
    out.push_back(item.cast<std::string>());
  }
  return out;
}

void bind_grid_spec(py::module_& m) {
  const py::object namedtuple = py::module_::import("collections").attr("namedtuple");
  py::object type = namedtuple("GridSpec", py::make_tuple("row", "col", "order", "x_start", "y_start",
                                                          "width_inc", "height_inc"));
  type.attr("__module__") = "quorv";
  type.attr("__doc__") = "One tile's placement: grid row and column, tile number, top-left corner, width and height.";
  m.attr("GridSpec") = type;
  grid_spec_type = new py::object(type);
}

GridSpec grid_spec_value(py::handle value, const std::string& name) {
  const py::sequence fields = sequence_value(value, name);
  if (fields.size() != 7)
    throw ValueError(name + " must have 7 fields (row, col, order, x_start, y_start, width_inc, height_inc), got " +
                     std::to_string(fields.size()));
  static const char* const kNames[] = {"row", "col", "order", "x_start", "y_start", "width_inc", "height_inc"};
  int64_t v[7];
  for (size_t i = 0; i < 7; ++i) v[i] = integer_value(fields[i], name + "." + kNames[i]);
  return GridSpec{v[0], v[1], v[2], v[3], v[4], v[5], v[6]};
}

std::vector<GridSpec> grid_spec_list(py::handle value, const std::string& name, bool row_and_col_only) {
  std::vector<GridSpec> out;
  size_t i = 0;
  for (py::handle item : sequence_value(value, name)) {
    const std::string entry = item_name(name, i++);
    if (!row_and_col_only) {
      out.push_back(grid_spec_value(item, entry));
      continue;
    }
    const py::sequence fields = sequence_value(item, entry);
    if (fields.size() < 2) throw ValueError(entry + " must have at least 2 fields (row, col), got " +
                                            std::to_string(fields.size()));
    GridSpec spec;
    spec.row = integer_value(fields[0], entry + ".row");
    spec.col = integer_value(fields[1], entry + ".col");
    out.push_back(spec);
  }
  return out;
}

void require_specs_inside(const std::vector<GridSpec>& specs, const at::Tensor& image, const std::string& name,
                          bool regular_only) {
  if (image.dim() != 4) return;  // the operation names the layout
  const int64_t width = image.size(2), height = image.size(1);
  for (size_t i = 0; i < specs.size(); ++i) {
    const GridSpec& s = specs[i];
    if (regular_only && s.is_segment()) continue;
    const bool inside = s.width_inc >= 1 && s.height_inc >= 1 && s.x_start >= 0 && s.y_start >= 0 &&
                        s.x_start <= width - s.width_inc && s.y_start <= height - s.height_inc;
    if (!inside)
      throw ValueError(item_name(name, i) + " must lie inside the picture (" + std::to_string(width) + " x " +
                       std::to_string(height) + "), got x_start " + std::to_string(s.x_start) + ", y_start " +
                       std::to_string(s.y_start) + ", width_inc " + std::to_string(s.width_inc) +
                       ", height_inc " + std::to_string(s.height_inc));
  }
}

py::object grid_spec_object(const GridSpec& s) {
  return (*grid_spec_type)(s.row, s.col, s.order, s.x_start, s.y_start, s.width_inc, s.height_inc);
}

py::list grid_spec_objects(const std::vector<GridSpec>& specs) {
  py::list out;
  for (const GridSpec& s : specs) out.append(grid_spec_object(s));
  return out;
}

service::Json json_value(py::handle value, const std::string& name) { return json_value_at(value, name, 0); }

py::object json_object(const service::Json& value) {
  switch (value.type()) {
    case service::Json::value_t::null: return py::none();
    case service::Json::value_t::boolean: return py::bool_(value.get<bool>());
    case service::Json::value_t::number_integer: return py::int_(value.get<int64_t>());
    case service::Json::value_t::number_unsigned: return py::int_(value.get<uint64_t>());
    case service::Json::value_t::number_float: return py::float_(value.get<double>());
    case service::Json::value_t::string: return py::str(value.get_ref<const std::string&>());
    case service::Json::value_t::array: {
      py::list out;
      for (const service::Json& item : value) out.append(json_object(item));
      return out;
    }
    case service::Json::value_t::object: {
      py::dict out;
      for (const auto& [key, item] : value.items()) out[py::str(key)] = json_object(item);
      return out;
    }
    default: throw ValueError("a JSON value of kind " + std::string(value.type_name()) + " has no Python form");
  }
}

ArrayArgument array_value(py::handle value, const std::string& name) {
  if (THPVariable_Check(value.ptr())) {
    const at::Tensor tensor = THPVariable_Unpack(value.ptr());
    std::vector<py::ssize_t> squeezed;
    for (int64_t size : tensor.sizes())
      if (size != 1) squeezed.push_back(size);
    return {tensor, py::none(), squeezed};
  }
  py::array array = py::array::ensure(value, py::array::c_style);
  if (!array) PyErr_Clear();
  if (!array || array.dtype().kind() == 'O')
    throw py::type_error(name + " must be a torch.Tensor or an array of numbers, got " + type_name(value));
  // The array library's wider integer types become float64, which holds them exactly up to 2^53.
  if (cv_depth(array.dtype()) < 0 && (array.dtype().kind() == 'i' || array.dtype().kind() == 'u'))
    array = py::array::ensure(array.attr("astype")("float64"), py::array::c_style);
  const int depth = cv_depth(array.dtype());
  if (depth < 0) throw ValueError(name + " must hold real numbers, got dtype " + printable(array.dtype()));
  if (array.ndim() > kMaxMatAxes)
    throw ValueError(name + " must have at most " + std::to_string(kMaxMatAxes) + " axes, got " +
                     std::to_string(array.ndim()));
  std::vector<int> sizes;
  std::vector<py::ssize_t> squeezed;
  for (py::ssize_t axis = 0; axis < array.ndim(); ++axis) {
    const py::ssize_t size = array.shape(axis);
    if (size > INT_MAX) throw ValueError(name + " axes must each be at most " + std::to_string(INT_MAX) + " long");
    sizes.push_back(static_cast<int>(size));
    if (size != 1) squeezed.push_back(size);
  }
  if (sizes.empty()) sizes.push_back(1);
  cv::Mat mat(static_cast<int>(sizes.size()), sizes.data(), CV_MAKETYPE(depth, 1), const_cast<void*>(array.data()));
  return {mat, array, squeezed};
}

py::array numpy_levels(const cv::Mat& levels, const std::vector<py::ssize_t>& shape) {
  py::ssize_t count = 1;
  for (py::ssize_t size : shape) count *= size;
  const size_t bytes = levels.total() * levels.elemSize();
  // The levels keep the input's element count; any other count keeps the array's own layout.
  std::vector<py::ssize_t> out_shape = shape;
  if (static_cast<size_t>(count) != bytes) {
    out_shape.assign(levels.size.p, levels.size.p + levels.dims);
    if (levels.channels() > 1) out_shape.push_back(levels.channels());
  }
  py::array_t<uint8_t> out(out_shape);
  if (bytes > 0) std::memcpy(out.mutable_data(), levels.data, bytes);
  return out;
}

reassembly::SegmentList segment_list(py::handle value, const std::string& name) {
  const py::sequence pair = sequence_value(value, name);
  if (pair.size() != 2)
    throw ValueError(name + " must be a pair (header, segments), got " + std::to_string(pair.size()) + " entries");
  reassembly::SegmentList out;
  size_t i = 0;
  for (py::handle record : sequence_value(pair[1], name + "[1]")) {
    const std::string entry = item_name(name + "[1]", i++);
    const py::object region = attribute_or_key(record, "crop_region");
    if (region.is_none()) throw py::attribute_error(entry + " has no crop_region");
    const py::sequence corners = sequence_value(region, entry + ".crop_region");
    if (corners.size() != 4)
      throw ValueError(entry + ".crop_region must have 4 numbers (x1, y1, x2, y2), got " +
                       std::to_string(corners.size()));
    reassembly::SegmentRecord segment;
    segment.crop_region = {integer_value(corners[0], entry + ".crop_region[0]"),
                           integer_value(corners[1], entry + ".crop_region[1]"),
                           integer_value(corners[2], entry + ".crop_region[2]"),
                           integer_value(corners[3], entry + ".crop_region[3]")};
    const py::object mask = attribute_or_key(record, "compositing_mask");
    if (!mask.is_none()) segment.compositing_mask = tensor_value(mask, entry + ".compositing_mask");
    out.segms.push_back(std::move(segment));
  }
  return out;
}

py::object optional_image_object(const OptionalImage& image) {
  if (!image || !image->defined()) return py::none();
  return py::cast(*image);
}

py::list tile_order_objects(const std::vector<reassembly::TileOrderEntry>& entries) {
  py::list out;
  for (const auto& [order, picture, prompt] : entries)
    out.append(py::make_tuple(order, optional_image_object(picture), prompt));
  return out;
}

}  // namespace quorv::python

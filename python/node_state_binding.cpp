// quorv.NodeState and its sub-objects for Python, and the copy of a host
// node object's fields that operations read and write.
#include <cstring>

#include "host/errors.h"
#include "python/conversions.h"
#include "python/node_state_adapter.h"

namespace quorv::python {
namespace {

// How one field's value crosses between Python and C++. Only numbers, flags
// and texts are ever written by an operation, so only they are written back.
template <class T>
struct Codec;

template <>
struct Codec<int64_t> {
  static constexpr bool kWrittenBack = true;
  static int64_t read(py::handle v, const std::string& name) { return integer_value(v, name); }
  static py::object write(int64_t v) { return py::int_(v); }
};

template <>
struct Codec<double> {
  static constexpr bool kWrittenBack = true;
  static double read(py::handle v, const std::string& name) {
    if (py::isinstance<py::str>(v) || !PyNumber_Check(v.ptr()))
      throw py::type_error(name + " must be a number, got " + type_name(v));
    const double out = PyFloat_AsDouble(v.ptr());
    if (PyErr_Occurred()) throw py::error_already_set();
    return out;
  }
  static py::object write(double v) { return py::float_(v); }
};

template <>
struct Codec<bool> {
  static constexpr bool kWrittenBack = true;
  // Truth value, as the host's `if SELF.PARAMS.Debug_Grid_Overlay:` reads it.
  static bool read(py::handle v, const std::string&) {
    const int truth = PyObject_IsTrue(v.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth == 1;
  }
  static py::object write(bool v) { return py::bool_(v); }
};

template <>
struct Codec<std::string> {
  static constexpr bool kWrittenBack = true;
  static std::string read(py::handle v, const std::string& name) {
    if (!py::isinstance<py::str>(v)) throw py::type_error(name + " must be a str, got " + type_name(v));
    return v.cast<std::string>();
  }
  static py::object write(const std::string& v) { return py::str(v); }
};

template <>
struct Codec<at::Tensor> {
  static constexpr bool kWrittenBack = false;
  static at::Tensor read(py::handle v, const std::string& name) { return tensor_value(v, name); }
  static py::object write(const at::Tensor& v) { return py::cast(v); }
};

template <>
struct Codec<std::vector<at::Tensor>> {
  static constexpr bool kWrittenBack = false;
  static std::vector<at::Tensor> read(py::handle v, const std::string& name) { return tensor_list(v, name); }
  static py::object write(const std::vector<at::Tensor>& v) {
    py::list out;
    for (const at::Tensor& t : v) out.append(py::cast(t));
    return out;
  }
};

template <>
struct Codec<std::vector<std::pair<at::Tensor, at::Tensor>>> {
  static constexpr bool kWrittenBack = false;
  static std::vector<std::pair<at::Tensor, at::Tensor>> read(py::handle v, const std::string& name) {
    return tensor_pair_list(v, name);
  }
  static py::object write(const std::vector<std::pair<at::Tensor, at::Tensor>>& v) {
    py::list out;
    for (const auto& [first, second] : v)
      out.append(py::make_tuple(optional_image_object(first), optional_image_object(second)));
    return out;
  }
};

// The fields of each sub-object, by name, as the host's node object has them.
template <class V>
void visit_size(V&& v) {
  v("fullW", &SizeState::fullW);
  v("fullH", &SizeState::fullH);
  v("inpaint_border_margin", &SizeState::inpaint_border_margin);
  v("inpaint_blur_margin", &SizeState::inpaint_blur_margin);
  v("shift", &SizeState::shift);
  v("composite_blur_margin", &SizeState::composite_blur_margin);
  v("actual_inner_tile_sizeW", &SizeState::actual_inner_tile_sizeW);
  v("actual_inner_tile_sizeH", &SizeState::actual_inner_tile_sizeH);
  v("shifttl", &SizeState::shifttl);
  v("inpaint_max", &SizeState::inpaint_max);
}

template <class V>
void visit_params(V&& v) {
  v("rows_qty", &ParamsState::rows_qty);
  v("cols_qty", &ParamsState::cols_qty);
  v("Tile_Fusion_Mode", &ParamsState::Tile_Fusion_Mode);
  v("Tile_Fusion_Blend", &ParamsState::Tile_Fusion_Blend);
  v("FLUX_Kontext", &ParamsState::FLUX_Kontext);
  v("Fast_1_Tile_Preview", &ParamsState::Fast_1_Tile_Preview);
  v("Debug_Grid_Overlay", &ParamsState::Debug_Grid_Overlay);
}

template <class V>
void visit_outputs(V&& v) {
  v("image", &OutputsState::image);
  v("grid_images_all", &OutputsState::grid_images_all);
  v("grid_images", &OutputsState::grid_images);
}

template <class V>
void visit_segments(V&& v) {
  v("segms_cropped_masks", &SegmentsState::segms_cropped_masks);
}

template <class V>
void visit_api(V&& v) {
  v("token", &ApiState::token);
}

// v(group name, group member, field name, field member) for every field of a NodeState.
template <class V>
void visit_node(V&& v) {
  visit_size([&](const char* field, auto member) { v("SIZE", &NodeState::SIZE, field, member); });
  visit_params([&](const char* field, auto member) { v("PARAMS", &NodeState::PARAMS, field, member); });
  visit_outputs([&](const char* field, auto member) { v("OUTPUTS", &NodeState::OUTPUTS, field, member); });
  visit_segments([&](const char* field, auto member) { v("SEGMENTS", &NodeState::SEGMENTS, field, member); });
  visit_api([&](const char* field, auto member) { v("API", &NodeState::API, field, member); });
}

template <class T>
T field_type(const Field<T>&);

// getattr(object, name), or a null object when it has no such attribute.
py::object attribute(py::handle object, const char* name) {
  PyObject* value = PyObject_GetAttrString(object.ptr(), name);
  if (value) return py::reinterpret_steal<py::object>(value);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
  PyErr_Clear();
  return py::object();
}

template <class Group, class T>
void bind_field(py::class_<Group>& cls, const char* name, Field<T> Group::*member) {
  cls.def_property(
      name, [member](const Group& group) { return Codec<T>::write((group.*member).get()); },
      [member](Group& group, py::handle value) { group.*member = Codec<T>::read(value, (group.*member).name()); });
}

template <class Group, class Visit>
py::class_<Group> bind_group(py::module_& m, const char* class_name, const char* doc, Visit visit) {
  py::class_<Group> cls(m, class_name, doc);
  cls.def(py::init<>());
  visit([&](const char* field, auto member) { bind_field(cls, field, member); });
  return cls;
}

}  // namespace

NodeStateCopy NodeStateCopy::of_node(py::handle SELF, bool writes) {
  NodeStateCopy copy(SELF, false);
  copy.read(writes);
  return copy;
}

NodeStateCopy NodeStateCopy::of_size(py::handle SIZE) {
  NodeStateCopy copy(SIZE, true);
  copy.read(false);
  return copy;
}

py::object NodeStateCopy::group_object(const char* group) const {
  return size_only_ ? py::reinterpret_borrow<py::object>(source_) : attribute(source_, group);
}

void NodeStateCopy::read(bool writes) {
  const char* group_seen = nullptr;
  py::object group;
  visit_node([&](const char* group_name, auto group_member, const char* field, auto member) {
    if (size_only_ && std::strcmp(group_name, "SIZE") != 0) return;
    if (group_seen != group_name) {
      group_seen = group_name;
      group = group_object(group_name);
    }
    if (!group) return;
    const py::object value = attribute(group, field);
    if (!value) return;
    auto& slot = (state.*group_member).*member;
    using T = decltype(field_type(slot));
    try {
      slot = Codec<T>::read(value, slot.name());
    } catch (const py::type_error& e) {
      unusable_.push_back({slot.name(), e.what(), false});
    } catch (const ValueError& e) {
      unusable_.push_back({slot.name(), e.what(), true});
    } catch (py::error_already_set& e) {
      unusable_.push_back({slot.name(), std::string(slot.name()) + ": " + e.what(), false});
    }
  });
  if (writes) before_ = state;
}

void NodeStateCopy::write_back() const {
  const char* group_seen = nullptr;
  py::object group;
  visit_node([&](const char* group_name, auto group_member, const char* field, auto member) {
    const auto& now = (state.*group_member).*member;
    const auto& was = (before_.*group_member).*member;
    using T = decltype(field_type(now));
    if constexpr (Codec<T>::kWrittenBack) {
      if (!now.is_set() || (was.is_set() && was.get() == now.get())) return;
      if (group_seen != group_name) {
        group_seen = group_name;
        group = group_object(group_name);
      }
      if (group) py::setattr(group, field, Codec<T>::write(now.get()));
    }
  });
}

void NodeStateCopy::raise_if_unusable(const KeyError& unset) const {
  const std::string message = unset.what();
  for (const Unusable& field : unusable_) {
    if (message != "NodeState field " + field.name + " is not set") continue;
    if (field.is_value_error) throw ValueError(field.reason);
    throw py::type_error(field.reason);
  }
}

NodeState* native_node_state(py::handle SELF) {
  return py::isinstance<NodeState>(SELF) ? &SELF.cast<NodeState&>() : nullptr;
}

SizeState* native_size_state(py::handle SIZE) {
  return py::isinstance<SizeState>(SIZE) ? &SIZE.cast<SizeState&>() : nullptr;
}

void bind_node_state(py::module_& m) {
  bind_group<SizeState>(m, "SizeState", "Tile sizes and mask margins (SELF.SIZE).",
                        [](auto&& v) { visit_size(v); });
  bind_group<ParamsState>(m, "ParamsState", "The user's settings and the grid counts (SELF.PARAMS).",
                          [](auto&& v) { visit_params(v); });
  bind_group<OutputsState>(m, "OutputsState", "Pictures the node keeps between calls (SELF.OUTPUTS).",
                           [](auto&& v) { visit_outputs(v); });
  bind_group<SegmentsState>(m, "SegmentsState", "Detected segments of the picture (SELF.SEGMENTS).",
                            [](auto&& v) { visit_segments(v); });
  bind_group<ApiState>(m, "ApiState", "The account used for the fusion service (SELF.API).",
                       [](auto&& v) { visit_api(v); });
  py::class_<NodeState>(m, "NodeState",
                        "The calling node object. Every field starts unset; reading an unset one raises "
                        "AttributeError naming it.")
      .def(py::init<>())
      .def_property_readonly("SIZE", [](NodeState& s) -> SizeState& { return s.SIZE; })
      .def_property_readonly("PARAMS", [](NodeState& s) -> ParamsState& { return s.PARAMS; })
      .def_property_readonly("OUTPUTS", [](NodeState& s) -> OutputsState& { return s.OUTPUTS; })
      .def_property_readonly("SEGMENTS", [](NodeState& s) -> SegmentsState& { return s.SEGMENTS; })
      .def_property_readonly("API", [](NodeState& s) -> ApiState& { return s.API; });
}

}  // namespace quorv::python

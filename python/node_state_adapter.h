// SELF from Python: a quorv.NodeState is used as it is; any other object with
// the sub-objects SIZE, PARAMS, OUTPUTS, SEGMENTS and API (the host's node
// object) is read into a private NodeState before the call, and the fields
// the operation wrote are set back on it afterwards, also after a failure.
// Private to python/.
#pragma once

#include "python/conversions.h"

namespace quorv::python {

/// A NodeState filled from a Python object's attributes.
class NodeStateCopy {
 public:
  /// Every field present on `SELF` (SELF.SIZE.fullW, ...); absent ones stay
  /// unset. `writes`: keep what was read, for write_back().
  static NodeStateCopy of_node(py::handle SELF, bool writes);
  /// Only the SIZE fields, read from `SIZE` itself.
  static NodeStateCopy of_size(py::handle SIZE);

  NodeState state;

  /// Sets every number, flag or text field that differs from what was read
  /// (or was unset) on the caller's object.
  void write_back() const;

  /// Raises the reason (TypeError, or ValueError for a number out of range)
  /// when `unset` names a field the object has but whose value could not be
  /// used; otherwise does nothing.
  void raise_if_unusable(const KeyError& unset) const;

 private:
  explicit NodeStateCopy(py::handle source, bool size_only) : source_(source), size_only_(size_only) {}
  struct Unusable {
    std::string name;  // "SIZE.fullW"
    std::string reason;
    bool is_value_error;
  };
  void read(bool writes);
  py::object group_object(const char* group) const;

  py::handle source_;
  bool size_only_;
  NodeState before_;
  std::vector<Unusable> unusable_;
};

/// The quorv.NodeState behind `SELF`, or null for any other object.
NodeState* native_node_state(py::handle SELF);
SizeState* native_size_state(py::handle SIZE);

template <class State, class F>
auto call_with_copy(NodeStateCopy& copy, State& state, bool writes, F&& call) {
  try {
    auto result = call(state);
    if (writes) copy.write_back();
    return result;
  } catch (const KeyError& unset) {
    if (writes) copy.write_back();
    copy.raise_if_unusable(unset);
    throw;
  } catch (...) {
    if (writes) copy.write_back();
    throw;
  }
}

/// `call(NodeState&)` on SELF; `writes`: the operation may write fields.
template <class F>
auto with_node_state(py::handle SELF, bool writes, F&& call) {
  if (NodeState* native = native_node_state(SELF)) return call(*native);
  NodeStateCopy copy = NodeStateCopy::of_node(SELF, writes);
  return call_with_copy(copy, copy.state, writes, call);
}

/// `call(const SizeState&)` on a SIZE object (or a quorv.SizeState).
template <class F>
auto with_size_state(py::handle SIZE, F&& call) {
  if (SizeState* native = native_size_state(SIZE)) return call(*native);
  NodeStateCopy copy = NodeStateCopy::of_size(SIZE);
  return call_with_copy(copy, copy.state.SIZE, false, call);
}

}  // namespace quorv::python

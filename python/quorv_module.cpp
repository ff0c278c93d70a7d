// The Python module `quorv`: Quorv_Image with every operation, NodeState,
// GridSpec, the package services routed to Python, and the tools the tests
// and node authors need (picture files, the reference fusion service).
#include "host/errors.h"
#include "image/module.h"
#include "python/conversions.h"

namespace quorv::python {
namespace {

py::object* log_callable = nullptr;  // never freed: it must outlive the interpreter's shutdown

bool is_unset_field(const std::string& message) {
  static const std::string prefix = "NodeState field ", suffix = " is not set";
  return message.size() > prefix.size() + suffix.size() && message.compare(0, prefix.size(), prefix) == 0 &&
         message.compare(message.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The C++ calls run with the GIL released, so each service takes it back.
void print_to_python(const std::string& line) {
  py::gil_scoped_acquire gil;
  py::print(line);
}

void log_to_python(const std::string& message, std::nullopt_t, std::nullopt_t, const std::string& detail) {
  py::gil_scoped_acquire gil;
  if (log_callable->is_none()) {
    py::print(message, detail);
    return;
  }
  (*log_callable)(message, py::none(), py::none(), detail);
}

void set_log(py::object callable) {
  if (!callable.is_none() && !PyCallable_Check(callable.ptr()))
    throw py::type_error("set_log needs a callable log(message, None, None, detail) or None, got " +
                         type_name(callable));
  *log_callable = std::move(callable);
}

}  // namespace

void bind_errors() {
  // Messages pass unchanged; a NodeState field that was never set reads like a missing attribute.
  py::register_local_exception_translator([](std::exception_ptr error) {
    try {
      std::rethrow_exception(error);
    } catch (const KeyError& e) {
      PyErr_SetString(is_unset_field(e.what()) ? PyExc_AttributeError : PyExc_KeyError, e.what());
    } catch (const IndexError& e) {
      PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const LookupError& e) {
      PyErr_SetString(PyExc_LookupError, e.what());
    } catch (const ValueError& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const ZeroDivisionError& e) {
      PyErr_SetString(PyExc_ZeroDivisionError, e.what());
    } catch (const AssertionError& e) {
      PyErr_SetString(PyExc_AssertionError, e.what());
    } catch (const Error& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (const c10::IndexError& e) {
      PyErr_SetString(PyExc_IndexError, e.what_without_backtrace());
    } catch (const c10::ValueError& e) {
      PyErr_SetString(PyExc_ValueError, e.what_without_backtrace());
    } catch (const c10::TypeError& e) {
      PyErr_SetString(PyExc_TypeError, e.what_without_backtrace());
    } catch (const c10::Error& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what_without_backtrace());
    }
  });
}

void bind_services(py::module_& m) {
  log_callable = new py::object(py::none());
  host::PackageServices services = host::default_package_services();
  services.print = print_to_python;
  services.log = log_to_python;
  load_module(services);

  m.def("set_log", &set_log, py::arg("log"),
        "Sends progress lines to log(message, None, None, detail); None restores the default, "
        "print(message, detail).");
  m.def(
      "set_apiurl", [](const std::string& base) { host::set_apiurl(base); }, py::arg("base_address"),
      "The fusion service's base address; requests go to base_address + \"blend_info.php\".");
  m.def("clear_apiurl", &host::clear_apiurl, "Forgets the fusion service's address.");
}

}  // namespace quorv::python

PYBIND11_MODULE(quorv, m) {
  namespace py = pybind11;
  using namespace quorv::python;
  py::module_::import("torch");
  m.doc() = "The image side of tiled upscaling: Quorv_Image and its NodeState.";
  bind_errors();
  bind_services(m);
  bind_grid_spec(m);
  bind_node_state(m);
  QuorvClass cls(m, "Quorv_Image",
                 "Every operation of the image module. Class-level operations are static methods "
                 "(callable on the class or an object); better_downscale, Preview_Mask and "
                 "overlay_tile_grid need an object.");
  cls.def(py::init<>());
  bind_geometry(cls);
  bind_masks(cls);
  bind_previews(cls);
  bind_service(cls);
  bind_fusion(cls);
  bind_reassembly(cls);
  bind_tools(m);
  bind_models(m);
  bind_seams(m);
  bind_upscale(m);
}

// Tools around the module: picture files, the upscale-model folder and the
// reference fusion service, for node authors and tests.
#include "fusion_service/fusion_service.h"
#include "host/nodes/upscale_model.h"
#include "python/conversions.h"
#include "tools/image_io/image_io.h"

namespace quorv::python {

void bind_tools(py::module_& m) {
  m.def(
      "read_picture",
      [](const std::string& path) { return tensor_object(without_gil([&] { return io::read_picture(path).rgb; })); },
      py::arg("path"), "A picture file as a float32 [1, H, W, 3] tensor in 0..1.");
  m.def(
      "write_picture",
      [](const std::string& path, TensorObject picture_object, int bit_depth) {
        const at::Tensor picture = picture_value(picture_object, "picture");
        without_gil([&] { io::write_picture(path, picture, bit_depth); });
      },
      py::arg("path"), py::arg("picture"), py::arg("bit_depth") = 8,
      "Writes a [1, H, W, 3] picture in 0..1; the format follows the extension.");
  m.def("set_models_folder", &host::UpscaleModelLoader::set_models_folder, py::arg("folder"),
        "The folder better_downscale looks up upscale models in.");

  using fusion_service::FusionServer;
  py::class_<FusionServer>(m, "FusionService", "The reference fusion service, served from this process.")
      .def(py::init<>())
      .def(
          "start",
          [](FusionServer& server, const std::string& host, int port, std::optional<std::string> token) {
            return without_gil([&] { return server.start(host, port, token); });
          },
          py::arg("host") = "127.0.0.1", py::arg("port") = 0, py::arg("token") = py::none(),
          "Starts serving; returns the bound port (port 0: any free one).")
      .def_property_readonly("base_address", &FusionServer::base_address, "\"http://HOST:PORT/\".")
      .def(
          "stop",
          [](FusionServer& server) {
            without_gil([&] { server.stop(); });
          },
          "Stops serving.")
      .def("__enter__",
           [](FusionServer& server) -> FusionServer& {
             without_gil([&] { return server.start(); });
             return server;
           },
           py::return_value_policy::reference)
      .def("__exit__", [](FusionServer& server, py::args) {
        without_gil([&] { server.stop(); });
      });
}

}  // namespace quorv::python

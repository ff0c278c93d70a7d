// The fusion service on Quorv_Image: the request, the reply accessor and the
// HTTP call (made with the GIL released).
#include "image/service/service.h"

#include "python/conversions.h"
#include "python/node_state_adapter.h"

namespace quorv::python {

void bind_service(QuorvClass& cls) {
  cls.def_static(
      "prepare_neuro_generative_fusion",
      [](py::object grid_specs, int64_t index, py::object upscalemultiplier) {
        const std::vector<GridSpec> specs = grid_spec_list(grid_specs, "grid_specs");
        const service::Json multiplier = json_value(upscalemultiplier, "upscalemultiplier");
        return json_object(Quorv_Image::prepare_neuro_generative_fusion(specs, index, multiplier));
      },
      py::arg("grid_specs"), py::arg("index"), py::arg("upscalemultiplier") = 1,
      "The request payload (a dict) for the tile at `index`.");

  cls.def_static(
      "neighbour",
      [](py::object info, const std::string& key) -> py::object {
        const std::optional<service::Json> entry = Quorv_Image::neighbour(json_value(info, "info"), key);
        return entry ? json_object(*entry) : py::none();
      },
      py::arg("info"), py::arg("key"), "The reply's entry for `key` when it exists, else None.");

  cls.def_static(
      "api_nuero_generative_fusion_tiles",
      [](py::object payload, py::object SELF) {
        const service::Json request = json_value(payload, "payload");
        const service::Json reply = with_node_state(SELF, false, [&](const NodeState& state) {
          return without_gil([&] { return Quorv_Image::api_nuero_generative_fusion_tiles(request, state); });
        });
        return json_object(reply);
      },
      py::arg("payload"), py::arg("SELF"),
      "POSTs the payload to the fusion service; the decoded reply, or {} on any failure.");
}

}  // namespace quorv::python

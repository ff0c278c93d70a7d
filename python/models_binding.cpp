// quorv.models: the model catalogue and tiled inference with learned
// upscalers and restorers, usable where the host expects an upscale model.
#include <torch/csrc/autograd/python_variable.h>

#include <filesystem>
#include <stdexcept>

#include "host/errors.h"
#include "host/nodes/upscale_model.h"
#include "image/module.h"
#include "models/catalogue.h"
#include "python/conversions.h"

namespace quorv::python {
namespace {

// A loaded model: called on a [B, H, W, C] picture it returns the picture
// enlarged (or restored) tile by tile, as the host's upscale node does.
struct LoadedModel {
  host::UpscaleModel model;
  std::string path;
  std::optional<models::CatalogueEntry> entry;
  int64_t tile_size = 0;

  at::Tensor operator()(const at::Tensor& image) const {
    host::UpscaleOptions options;
    options.tile_size = tile_size;
    const std::shared_ptr<const host::PackageServices> services = module_services();
    options.progress = [&](int64_t done, int64_t total) {
      services->log("Upscaling with model", std::nullopt, std::nullopt,
                    model.name() + ": tile " + std::to_string(done) + " of " + std::to_string(total));
    };
    return std::get<0>(host::ImageUpscaleWithModel::upscale(model, image, options));
  }
};

// A model object of the host's, called piece by piece from the tiled run:
// takes the GIL for each call and hands back a plain C++ error, since the run
// reports failures without the GIL.
struct PythonForward {
  std::shared_ptr<py::object> model;

  at::Tensor operator()(const at::Tensor& piece) const {
    py::gil_scoped_acquire gil;
    try {
      const py::object result = (*model)(tensor_object(piece));
      if (!THPVariable_Check(result.ptr()))
        throw std::runtime_error("returned a " + type_name(result) + ", expected a torch.Tensor [1, C, h, w]");
      return THPVariable_Unpack(result.ptr()).detach().to(at::kCPU);
    } catch (py::error_already_set& e) {
      throw std::runtime_error(e.what());
    }
  }
};

LoadedModel from_callable(py::object model, std::string name, int64_t scale, int64_t receptive_field,
                          int64_t tile_size) {
  if (!PyCallable_Check(model.ptr()))
    throw py::type_error("model must be callable on a [1, C, h, w] torch.Tensor, got " + type_name(model));
  if (tile_size < 0) throw ValueError("tile_size must not be negative, got " + std::to_string(tile_size));
  if (name.empty()) name = type_name(model);
  // The last reference may go in a call that runs without the GIL.
  std::shared_ptr<py::object> held(new py::object(std::move(model)), [](py::object* o) {
    py::gil_scoped_acquire gil;
    delete o;
  });
  host::UpscaleModel loaded =
      host::UpscaleModelLoader::from_function(name, PythonForward{held}, {scale, receptive_field});
  return LoadedModel{std::move(loaded), "", std::nullopt, tile_size};
}

py::dict entry_dict(const models::CatalogueEntry& e, const std::string& folder) {
  py::dict d;
  d["name"] = e.name;
  d["package"] = e.package;
  d["version"] = e.version;
  d["architecture"] = e.architecture;
  d["scale"] = e.scale;
  d["kind"] = e.kind;
  d["licence"] = e.licence;
  d["description"] = e.description;
  d["receptive_field"] = e.receptive_field;
  const std::string path = folder + "/" + e.name + ".pt";
  std::error_code ec;
  d["installed"] = std::filesystem::is_regular_file(path, ec);
  d["path"] = path;
  return d;
}

LoadedModel load(const std::string& name_or_file, const std::string& folder, int64_t tile_size) {
  if (tile_size < 0) throw ValueError("tile_size must not be negative, got " + std::to_string(tile_size));
  const models::ResolvedModel found = models::resolve_model(name_or_file, folder);
  host::ModelFacts facts;
  if (found.entry) facts = {found.entry->scale, found.entry->receptive_field};
  return LoadedModel{host::UpscaleModelLoader::load_file(found.path, facts), found.path, found.entry, tile_size};
}

}  // namespace

void bind_models(py::module_& m) {
  py::module_ sub = m.def_submodule("models", "The model catalogue and tiled inference with learned models.");
  py::module_::import("sys").attr("modules")["quorv.models"] = sub;  // import quorv.models works too
  sub.def(
      "models_dir", [](const std::string& folder) { return models::models_dir(folder); }, py::arg("models_dir") = "",
      "The folder models are installed in: the argument, else $QUORV_MODELS, else the user's cache.");
  sub.def(
      "list",
      [](const std::string& folder) {
        const std::string dir = models::models_dir(folder);
        py::list out;
        for (const models::CatalogueEntry& e : models::catalogue()) out.append(entry_dict(e, dir));
        return out;
      },
      py::arg("models_dir") = "",
      "Every model of the catalogue as a dict (name, scale, kind, licence, ..., installed, path).");
  py::class_<LoadedModel>(sub, "Model", "A loaded model; call it on a [B, H, W, C] float32 picture in 0..1.")
      .def(
          "__call__",
          [](const LoadedModel& self, TensorObject image) {
            const at::Tensor picture = picture_value(image, "image");
            return tensor_object(without_gil([&] { return self(picture); }));
          },
          py::arg("image"), "The picture enlarged (or restored) tile by tile, clamped to 0..1.")
      .def_property_readonly("name", [](const LoadedModel& self) { return self.model.name(); })
      .def_property_readonly("path", [](const LoadedModel& self) { return self.path; })
      .def_property_readonly("scale", [](const LoadedModel& self) { return self.model.facts().scale; },
                             "Result size / input size (measured for a plain file).")
      .def_property_readonly("receptive_field",
                             [](const LoadedModel& self) { return self.model.facts().receptive_field; },
                             "Input pixels on each side a result pixel depends on: the overlap between tiles.")
      .def_property_readonly("kind",
                             [](const LoadedModel& self) -> py::object {
                               if (!self.entry) return py::none();
                               return py::str(self.entry->kind);
                             })
      .def_readwrite("tile_size", &LoadedModel::tile_size)
      .def("__repr__", [](const LoadedModel& self) { return "<quorv.models.Model '" + self.model.name() + "'>"; });

  // After the class, so that signatures name quorv.models.Model.
  sub.def(
      "load",
      [](const std::string& name, const std::string& folder, int64_t tile_size) {
        return without_gil([&] { return load(name, folder, tile_size); });
      },
      py::arg("name"), py::arg("models_dir") = "", py::arg("tile_size") = 0,
      "A catalogue model by name (installed with `quorv models fetch NAME`) or a TorchScript file. "
      "tile_size: side of the pieces the model sees (0: from free memory).");

  sub.def("from_callable", &from_callable, py::arg("model"), py::arg("name") = "", py::arg("scale") = 0,
          py::arg("receptive_field") = 0, py::arg("tile_size") = 0,
          "A model object of the host's (any callable taking a [1, C, h, w] float tensor in 0..1 and returning "
          "[1, C, s*h, s*w]) run in tiles like a loaded model. scale and receptive_field: what is known of it "
          "(0: measured on first use); tile_size as for load().");
}

}  // namespace quorv::python

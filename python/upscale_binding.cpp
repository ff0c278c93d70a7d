// quorv.upscale: the whole road on a picture in memory. Tiles are processed
// by a named processor or a Python callable, here or through any
// concurrent.futures.Executor (a Dask cluster's included); fusion and pasting
// stay in grid order in this process.
#include <torch/csrc/autograd/python_variable.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>

#include "fusion_service/fusion_service.h"
#include "pipeline/report.h"
#include "pipeline/upscaler.h"
#include "python/conversions.h"

namespace quorv::python {
namespace {

using pipeline::TileJob;
using pipeline::TileProcessor;
using pipeline::UpscaleOptions;

// --- named processors that travel -------------------------------------------------

// The settings that make a named processor; what is pickled and sent to
// another process, which makes the processor itself on first use.
struct NamedProcessorSettings {
  std::string name;
  std::string models_dir;
  int64_t model_tile = 0;
};

// One processor per settings and process: a model is loaded once per worker, not per tile.
std::shared_ptr<TileProcessor> named_processor(const NamedProcessorSettings& s) {
  static std::mutex mutex;
  static std::map<std::tuple<std::string, std::string, int64_t>, std::shared_ptr<TileProcessor>> made;
  const std::lock_guard<std::mutex> lock(mutex);
  std::shared_ptr<TileProcessor>& p = made[{s.name, s.models_dir, s.model_tile}];
  if (!p) {
    UpscaleOptions o;
    o.models_dir = s.models_dir;
    o.model_tile = s.model_tile;
    p = pipeline::make_tile_processor(s.name, o);
  }
  return p;
}

// quorv.TileProcessor: a named processor as a picklable callable.
struct NamedTileProcessor {
  NamedProcessorSettings settings;

  at::Tensor operator()(const at::Tensor& tile, const at::Tensor& mask, int64_t index, const GridSpec& spec) const {
    const std::shared_ptr<TileProcessor> p = named_processor(settings);
    if (!p->changes_tiles()) return tile;
    return p->process({index, spec, tile, mask});
  }
};

// --- a Python callable as the road's processor --------------------------------------

// Arguments the callable takes: (tile, mask), (tile, mask, index) or (tile, mask, index, spec).
int arguments_taken(const py::object& callable) {
  if (py::isinstance<NamedTileProcessor>(callable)) return 4;
  const py::object inspect = py::module_::import("inspect");
  py::object signature;
  try {
    signature = inspect.attr("signature")(callable);
  } catch (py::error_already_set&) {
    return 2;  // a builtin without a signature
  }
  for (int n : {4, 3}) {
    py::list placeholders;
    for (int i = 0; i < n; ++i) placeholders.append(py::none());
    try {
      signature.attr("bind")(*placeholders);
      return n;
    } catch (py::error_already_set&) {
    }
  }
  return 2;
}

// Calls the callable for each tile with the GIL held, or hands it to the
// executor and waits for the future (the GIL is let go while it waits).
// The callable gets private copies: it may change them, and a view would
// carry the whole picture's storage when pickled.
class PythonTileProcessor : public TileProcessor {
 public:
  PythonTileProcessor(py::object callable, py::object executor)
      : callable_(std::move(callable)), executor_(std::move(executor)), arguments_(arguments_taken(callable_)) {
    // A Dask client's executor: tiles are scattered to the workers first, as
    // Dask asks for large arguments, so that the scheduler does not carry them.
    if (!executor_.is_none() && py::hasattr(executor_, "_client")) {
      const py::object client = executor_.attr("_client");
      if (py::hasattr(client, "scatter")) scatter_ = client.attr("scatter");
    }
  }

  ~PythonTileProcessor() override {
    py::gil_scoped_acquire gil;
    callable_ = py::object();
    executor_ = py::object();
    scatter_ = py::object();
  }

  // With an executor every call only submits and waits; without one, the GIL serialises the calls anyway.
  bool thread_safe() const override { return !executor_.is_none(); }

  at::Tensor process(const TileJob& job) override {
    py::gil_scoped_acquire gil;
    try {
      py::list args;
      args.append(tensor_object(job.picture.clone(at::MemoryFormat::Contiguous)));
      args.append(tensor_object(job.mask.clone(at::MemoryFormat::Contiguous)));
      if (scatter_) {
        using namespace pybind11::literals;
        args = scatter_(args, "hash"_a = false);
      }
      if (arguments_ >= 3) args.append(job.index);
      if (arguments_ >= 4) args.append(grid_spec_object(job.spec));
      const py::object result = executor_.is_none()
                                    ? callable_(*args)
                                    : executor_.attr("submit")(callable_, *args).attr("result")();
      return tile_result(result, job);
    } catch (py::error_already_set& e) {
      // One line: the exception's type and message; the traceback stays with the exception.
      const std::string message =
          py::str(e.type().attr("__name__")).cast<std::string>() + ": " + py::str(e.value()).cast<std::string>();
      keep_first_error(std::move(e), job);
      throw Error(pipeline::tile_name(job) + ": the processor raised " + message);
    }
  }

  // The first exception a tile raised, with a note naming the tile, for the caller to raise again.
  std::optional<py::error_already_set> take_error() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(first_error_, std::nullopt);
  }

 private:
  at::Tensor tile_result(const py::object& result, const TileJob& job) const {
    if (!THPVariable_Check(result.ptr()))
      throw ValueError(pipeline::tile_name(job) + ": the processor returned a " + type_name(result) +
                       ", expected a torch.Tensor " + shape_string(job.picture));
    const at::Tensor out = THPVariable_Unpack(result.ptr()).detach();
    if (!at::isFloatingType(out.scalar_type()))
      throw ValueError(pipeline::tile_name(job) + ": the processor returned a tensor of " +
                       std::string(c10::toString(out.scalar_type())) + ", expected float32");
    return out.to(job.picture.device(), at::kFloat);
  }

  void keep_first_error(py::error_already_set&& e, const TileJob& job) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (first_error_) return;
    const py::object value = e.value();
    if (py::hasattr(value, "add_note"))
      value.attr("add_note")("quorv.upscale: raised by the processor on " + pipeline::tile_name(job));
    first_error_ = std::move(e);
  }

  py::object callable_;
  py::object executor_;
  py::object scatter_;
  int arguments_;
  std::mutex mutex_;
  std::optional<py::error_already_set> first_error_;
};

// --- arguments ----------------------------------------------------------------------

// Tiles in flight with an executor: its worker count when it tells (a
// concurrent.futures pool, a Dask client's threads), else the cores here.
int executor_jobs(const py::object& executor) {
  if (py::hasattr(executor, "_max_workers")) {
    const py::object n = executor.attr("_max_workers");
    if (py::isinstance<py::int_>(n)) return std::max(1, n.cast<int>());
  }
  if (py::hasattr(executor, "_client")) {
    int threads = 0;
    for (auto item : executor.attr("_client").attr("nthreads")().cast<py::dict>())
      threads += item.second.cast<int>();
    if (threads > 0) return threads;
  }
  return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

void set_tile_size(UpscaleOptions& o, const py::object& value) {
  if (py::isinstance<py::tuple>(value) || py::isinstance<py::list>(value)) {
    const py::sequence sides = value.cast<py::sequence>();
    if (sides.size() != 2) throw py::value_error("tile_size must be an int or (width, height)");
    o.tile_width = integer_value(sides[0], "tile_size[0]");
    o.tile_height = integer_value(sides[1], "tile_size[1]");
  } else {
    o.tile_width = o.tile_height = integer_value(value, "tile_size");
  }
  for (int64_t side : {o.tile_width, o.tile_height})
    if (side < 8) throw py::value_error("tile_size must be at least 8, got " + printable(value));
  o.tile_size_text = o.tile_width == o.tile_height ? std::to_string(o.tile_width)
                                                   : std::to_string(o.tile_width) + "x" + std::to_string(o.tile_height);
}

struct Processor {
  std::unique_ptr<PythonTileProcessor> python;
  std::shared_ptr<TileProcessor> named;
  TileProcessor& get() { return python ? static_cast<TileProcessor&>(*python) : *named; }
};

Processor make_processor(const py::object& processor, const py::object& executor, UpscaleOptions& o) {
  Processor p;
  if (py::isinstance<py::str>(processor)) {
    o.processor = processor.cast<std::string>();
    NamedProcessorSettings settings{o.processor, o.models_dir, o.model_tile};
    if (executor.is_none()) {
      p.named = pipeline::make_tile_processor(o.processor, o);
    } else {
      // Made here first, so that a bad name or model fails before any work.
      if (!named_processor(settings)->changes_tiles()) return make_processor(py::none(), py::none(), o);
      p.python = std::make_unique<PythonTileProcessor>(py::cast(NamedTileProcessor{settings}), executor);
    }
  } else if (processor.is_none()) {
    o.processor = "identity";
    p.named = pipeline::make_tile_processor("identity", o);
  } else if (PyCallable_Check(processor.ptr())) {
    o.processor = py::repr(processor).cast<std::string>();
    if (py::isinstance<NamedTileProcessor>(processor))
      o.processor = processor.cast<const NamedTileProcessor&>().settings.name;
    p.python = std::make_unique<PythonTileProcessor>(processor, executor);
  } else {
    throw py::type_error("processor must be a name (\"identity\", \"demo\", \"torchscript:FILE\", \"model:NAME\") or "
                         "a callable processor(tile, mask[, index[, spec]]), got " + type_name(processor));
  }
  return p;
}

// The fusion service of a run: the one at `fusion_url`, or one served from
// this process for the run's length.
struct RunService {
  std::unique_ptr<fusion_service::FusionServer> server;
};

RunService connect_service(UpscaleOptions& o, const std::optional<std::string>& url,
                           const std::optional<std::string>& token) {
  RunService service;
  if (o.fusion == "none") return service;
  if (url) {
    if (url->empty()) throw py::value_error("fusion_url must not be empty");
    o.fusion_address = url->back() == '/' ? *url : *url + "/";
    if (token) {
      o.fusion_token = *token;
    } else {
      const char* from_environment = std::getenv("QUORV_TOKEN");
      o.fusion_token = from_environment ? from_environment : "";
    }
    return service;
  }
  o.fusion_token = fusion_service::random_token();
  service.server = std::make_unique<fusion_service::FusionServer>();
  service.server->start("127.0.0.1", 0, o.fusion_token);
  o.fusion_address = service.server->base_address();
  return service;
}

pipeline::ProgressCallback progress_callback(const py::object& progress) {
  if (progress.is_none()) return {};
  if (!PyCallable_Check(progress.ptr()))
    throw py::type_error("progress must be a callable progress(stage, done, total) or None, got " +
                         type_name(progress));
  std::shared_ptr<py::object> held(new py::object(progress), [](py::object* p) {
    py::gil_scoped_acquire gil;
    delete p;
  });
  return [held](const pipeline::ProgressEvent& e) {
    py::gil_scoped_acquire gil;
    (*held)(e.stage, e.done, e.total);
  };
}

}  // namespace

void bind_upscale(py::module_& m) {
  py::class_<NamedTileProcessor>(
      m, "TileProcessor",
      "A named tile processor (\"identity\", \"demo\", \"torchscript:FILE\", \"model:NAME\") as a callable that "
      "pickles by its name: each process that calls it makes the processor once (a model is loaded once per "
      "worker).")
      .def(py::init([](const std::string& name, const std::string& models_dir, int64_t model_tile) {
             NamedTileProcessor p{{name, models_dir, model_tile}};
             named_processor(p.settings);  // a bad name or model fails here
             return p;
           }),
           py::arg("name"), py::arg("models_dir") = "", py::arg("model_tile") = 0)
      .def(
          "__call__",
          [](const NamedTileProcessor& self, TensorObject tile, TensorObject mask, int64_t index,
             py::object spec) {
            const at::Tensor t = picture_value(tile, "tile");
            const at::Tensor k = picture_value(mask, "mask");
            const GridSpec s = spec.is_none() ? GridSpec{} : grid_spec_value(spec, "spec");
            return tensor_object(without_gil([&] { return self(t, k, index, s); }));
          },
          py::arg("tile"), py::arg("mask"), py::arg("index") = 0, py::arg("spec") = py::none(),
          "The tile [1, h, w, 3] regenerated (the mask [1, h, w, 1] is applied by the road, not here).")
      .def_property_readonly("name", [](const NamedTileProcessor& self) { return self.settings.name; })
      .def("__repr__", [](const NamedTileProcessor& self) { return "quorv.TileProcessor('" + self.settings.name + "')"; })
      .def(py::pickle(
          [](const NamedTileProcessor& self) {
            return py::make_tuple(self.settings.name, self.settings.models_dir, self.settings.model_tile);
          },
          [](const py::tuple& state) {
            if (state.size() != 3) throw py::value_error("quorv.TileProcessor: a state of 3 values expected");
            return NamedTileProcessor{
                {state[0].cast<std::string>(), state[1].cast<std::string>(), state[2].cast<int64_t>()}};
          }));

  m.def(
      "upscale",
      [](TensorObject picture_object, double scale, py::object processor, py::object executor, py::object jobs,
         py::object tile_size, std::string fusion, std::optional<std::string> fusion_url,
         std::optional<std::string> fusion_token, double fusion_timeout, bool blend_all, bool match_tone,
         bool refix_seams, double seam_threshold, bool strict, bool keep_going, std::string model,
         std::string models_dir, int64_t model_tile, int64_t inpaint_border_margin, int64_t inpaint_blur_margin,
         int64_t composite_blur_margin, int64_t shift, std::string mode, double blend, bool kontext, double detail,
         int threads, py::object progress) {
        const at::Tensor picture = picture_value(picture_object, "picture");
        if (picture.dim() != 4 || picture.size(0) != 1 || (picture.size(3) != 3 && picture.size(3) != 4))
          throw py::value_error("picture must be one picture [1, H, W, 3] or [1, H, W, 4] (with alpha), got " +
                                shape_string(picture));
        if (picture.scalar_type() != at::kFloat)
          throw py::value_error("picture must be float32 in 0..1, got " +
                                std::string(c10::toString(picture.scalar_type())));
        if (!executor.is_none() && !py::hasattr(executor, "submit"))
          throw py::type_error("executor must be a concurrent.futures.Executor (or have submit()), got " +
                               type_name(executor));
        UpscaleOptions o;
        o.scale = scale;
        set_tile_size(o, tile_size);
        o.fusion = std::move(fusion);
        o.fusion_timeout = fusion_timeout;
        o.blend_all = blend_all;
        o.match_tone = match_tone;
        o.refix_seams = refix_seams;
        o.seam_threshold = seam_threshold;
        o.strict = strict;
        o.keep_going = keep_going;
        // A file or a catalogue name; the road tells which it is.
        o.model = std::move(model);
        o.models_dir = std::move(models_dir);
        o.model_tile = model_tile;
        o.inpaint_border_margin = inpaint_border_margin;
        o.inpaint_blur_margin = inpaint_blur_margin;
        o.composite_blur_margin = composite_blur_margin;
        o.shift = shift;
        o.mode = std::move(mode);
        o.blend = blend;
        o.kontext = kontext;
        o.detail = detail;
        o.threads = threads;
        Processor p = make_processor(processor, executor, o);
        if (jobs.is_none()) o.jobs = executor.is_none() ? 1 : executor_jobs(executor);
        else o.jobs = static_cast<int>(integer_value(jobs, "jobs"));
        const RunService service = connect_service(o, fusion_url, fusion_token);
        pipeline::Upscaler upscaler(o, p.get(), {progress_callback(progress), {}});

        const bool with_alpha = picture.size(3) == 4;
        const at::Tensor rgb = with_alpha ? picture.narrow(3, 0, 3) : picture;
        std::optional<at::Tensor> alpha;
        if (with_alpha) alpha = picture.narrow(3, 3, 1);
        try {
          auto [result, report] = without_gil([&] {
            const pipeline::Plan plan = upscaler.plan({picture.size(2), picture.size(1)});
            upscaler.check_service(plan);
            pipeline::UpscaleResult out = upscaler.run(plan, rgb, alpha);
            if (out.alpha.defined()) out.picture = at::cat({out.picture, out.alpha}, 3);
            service::Json json = pipeline::report_json(plan, out.report);
            json["input"] = {{"width", plan.input.width}, {"height", plan.input.height}, {"alpha", with_alpha}};
            return std::make_pair(out.picture, std::move(json));
          });
          return py::make_tuple(tensor_object(result), json_object(report));
        } catch (...) {
          // A processor's own exception goes back as it was raised, with the tile named in a note.
          if (p.python)
            if (std::optional<py::error_already_set> raised = p.python->take_error()) {
              raised->restore();
              throw py::error_already_set();
            }
          throw;
        }
      },
      py::arg("picture"), py::kw_only(), py::arg("scale") = 2.0, py::arg("processor") = "identity",
      py::arg("executor") = py::none(), py::arg("jobs") = py::none(), py::arg("tile_size") = 512,
      py::arg("fusion") = "v1", py::arg("fusion_url") = py::none(), py::arg("fusion_token") = py::none(),
      py::arg("fusion_timeout") = 15.0, py::arg("blend_all") = false, py::arg("match_tone") = false,
      py::arg("refix_seams") = false, py::arg("seam_threshold") = 0.0, py::arg("strict") = false,
      py::arg("keep_going") = false, py::arg("model") = "", py::arg("models_dir") = "", py::arg("model_tile") = 0,
      py::arg("inpaint_border_margin") = 16, py::arg("inpaint_blur_margin") = 16,
      py::arg("composite_blur_margin") = 0, py::arg("shift") = 0, py::arg("mode") = "Neuro_Generative_Tile_Fusion",
      py::arg("blend") = 1.0, py::arg("kontext") = false, py::arg("detail") = 1.0, py::arg("threads") = 0,
      py::arg("progress") = py::none(),
      R"(The whole road on one picture: enlarge (lanczos, or `model`), cut into tiles,
process each tile, fuse it into its finished neighbours, paste, score the seams.

picture    [1, H, W, 3] float32 in 0..1 (or [1, H, W, 4]: alpha is enlarged apart).
processor  "identity", "demo", "torchscript:FILE", "model:NAME", or a callable
           processor(tile, mask[, index[, spec]]) -> tile: tile [1, h, w, 3], mask
           [1, h, w, 1] (1 = repaint; the road applies it), index the tile's number,
           spec its quorv.GridSpec. It gets private copies and may change them.
executor   a concurrent.futures.Executor, e.g. dask.distributed.Client(...).get_executor():
           tiles are submitted to it, `jobs` at a time (default: its worker count);
           fusion and pasting stay here, in grid order. A named processor travels as
           quorv.TileProcessor(name), made once per worker process.
fusion     "v1", "v0" or "none"; without fusion_url a service is served from this
           process for the run. fusion_token defaults to $QUORV_TOKEN; a service
           that refuses it, or does not answer, is an error before any tile work.
mode, blend, inpaint_border_margin, inpaint_blur_margin, shift,
composite_blur_margin, kontext, detail: the host node's tile settings.

Returns (picture [1, round(scale*H), round(scale*W), C], report dict): the report
lists every tile not fused or processed ("complete" is False then) and the seam
score (1.00 = borders as visible as before any tile work).
With strict, a tile not fused is an error; with keep_going, a tile whose processor
fails stays as it was and is listed under "unprocessed". A processor's exception
is raised again as it was, with a note naming the tile.)");
}

}  // namespace quorv::python

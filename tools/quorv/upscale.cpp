// `quorv upscale`: files, alpha, bit depth, the fusion service, progress and
// the report around the road (pipeline::Upscaler), which does the picture work.
#include <ATen/ATen.h>

#include <iostream>
#include <limits>
#include <mutex>

#include "fusion_service/fusion_service.h"
#include "host/services/package_services.h"
#include "image/module.h"
#include "pipeline/upscaler.h"
#include "tools/image_io/image_io.h"
#include "tools/quorv/quorv_cli.h"

namespace quorv::cli {
namespace {

using Clock = std::chrono::steady_clock;
using pipeline::Lap;
using pipeline::StageTimes;
using pipeline::Stopwatch;

// Heap reserved in 2 MiB pages before the input is read (a 4096 x 4096 float picture is 192 MiB).
constexpr int64_t kFirstReserve = int64_t{1} << 30;

// The bar the module's progress lines advance, and that printed lines wipe
// first. Tile programs may print from a worker thread while the bar advances.
Progress* active_progress = nullptr;
std::recursive_mutex progress_mutex;

class ActiveProgress {
 public:
  explicit ActiveProgress(Progress& p) {
    const std::lock_guard<std::recursive_mutex> lock(progress_mutex);
    active_progress = &p;
  }
  ~ActiveProgress() {
    const std::lock_guard<std::recursive_mutex> lock(progress_mutex);
    active_progress = nullptr;
  }
};

// The module's printed lines and progress go through the tool while it runs.
// Its lines are warnings: they go to standard error, which keeps standard
// output for the results.
void bind_services() {
  host::PackageServices services = host::default_package_services();
  services.print = [](const std::string& line) { print_above_progress(line); };
  services.log = [](const std::string&, std::nullopt_t, std::nullopt_t, const std::string&) {
    const std::lock_guard<std::recursive_mutex> lock(progress_mutex);
    if (active_progress) active_progress->advance();
  };
  load_module(services);
}

}  // namespace

void print_above_progress(const std::string& line) {
  const std::lock_guard<std::recursive_mutex> lock(progress_mutex);
  if (active_progress) active_progress->clear();
  std::cerr << line << std::endl;
}

void refresh_progress() {
  const std::lock_guard<std::recursive_mutex> lock(progress_mutex);
  if (active_progress) active_progress->tick();
}

namespace {

// The road's progress as bars or lines: "model  " while an enlarging model
// runs, "tiles  " (the bar printed lines wipe first) while tiles are done.
class ProgressDisplay {
 public:
  explicit ProgressDisplay(Progress::Style style) : style_(style) {}

  void operator()(const pipeline::ProgressEvent& event) {
    using Kind = pipeline::ProgressEvent::Kind;
    const std::lock_guard<std::recursive_mutex> lock(progress_mutex);
    const bool tiles = event.stage == "tiles";
    if (event.kind == Kind::start) {
      active_.reset();
      progress_ = std::make_unique<Progress>(tiles ? "tiles  " : "model  ", event.total, style_);
      if (tiles) active_ = std::make_unique<ActiveProgress>(*progress_);
    } else if (event.kind == Kind::advance && progress_) {
      progress_->set_total(event.total);
      progress_->advance();
    } else if (event.kind == Kind::end) {
      active_.reset();
      progress_.reset();
    }
  }

 private:
  Progress::Style style_;
  std::unique_ptr<Progress> progress_;
  std::unique_ptr<ActiveProgress> active_;
};

// The fusion service the run talks to: one started here, or the one at --fusion-url.
struct FusionService {
  std::unique_ptr<fusion_service::FusionServer> server;
  std::string address;
  std::string token;
};

FusionService connect_fusion_service(const RunOptions& o) {
  FusionService service;
  if (o.fusion == "none") return service;
  std::string& token = service.token;
  if (o.fusion_url.empty()) {
    token = fusion_service::random_token();
    service.server = std::make_unique<fusion_service::FusionServer>();
    service.server->start("127.0.0.1", 0, token);
    service.address = service.server->base_address();
  } else {
    token = read_token(o.token_file);
    // The request address is the base followed directly by "blend_info.php".
    service.address = o.fusion_url.back() == '/' ? o.fusion_url : o.fusion_url + "/";
  }
  return service;
}

// The grid of the run, refused before anything large is allocated: the
// picture alone first, so that an absurd size fails on memory, not on the tile count.
Plan checked_plan(const RunOptions& o, Size input) {
  const int64_t available = available_memory_bytes();
  Plan picture_only;
  picture_only.input = input;
  picture_only.enlarged = enlarged_size(input, o.scale);
  picture_only.working = fit_to_picture(o, input).working;
  if (!o.force) require_memory(estimated_peak_bytes(picture_only, 3), available);
  Plan plan = make_plan(o, input);
  if (!o.force) require_memory(plan.estimated_peak_bytes, available);
  return plan;
}

}  // namespace

int run_upscale(const RunOptions& asked) {
  const auto started = Clock::now();
  const double started_cpu = pipeline::cpu_seconds();
  Stopwatch watch;
  StageTimes timings;
  check_output_path(asked.output, asked.depth, asked.overwrite);
  check_before_work(asked);
  ReportFile report_file(asked);
  const Background background = parse_background(asked.background);
  if (asked.output == "-") send_stdout_to_stderr();
  bind_services();
  std::unique_ptr<TileProcessor> processor =
      make_tile_processor(asked.processor, asked, {asked.depth == 16 ? 16 : 8, asked.tile_timeout});
  const Progress::Style style = Progress::style_for(asked.quiet);
  ProgressDisplay display(style);
  std::vector<std::string> previews;
  // The enlarging model is loaded here, before any work.
  pipeline::UpscaleHooks hooks{[&](const pipeline::ProgressEvent& e) { display(e); }, {}};
  // Only previews read the enlarged picture after the tiles; without them the road lets it go early.
  if (!asked.previews_dir.empty())
    hooks.finished = [&](const pipeline::FinishedRoad& road) {
      previews = write_previews(asked.previews_dir, {road.options, road.SELF, road.grid_specs, road.enlarged,
                                                     road.finished_tiles, road.result});
    };
  pipeline::Upscaler upscaler(asked, *processor, std::move(hooks));

  // The decoded input lands in 2 MiB pages too; the estimate below may grow the reserve.
  reserve_memory(std::min(kFirstReserve, available_memory_bytes() / 4));
  // The size the header declares is refused before any pixel is decoded.
  std::string bytes = io::read_input_bytes(asked.input);
  const io::PictureHeader header = io::read_header(bytes, asked.input);
  Lap reading = watch.lap();
  Plan plan = checked_plan(asked, {header.width, header.height});
  // From here on the settings as fitted to the picture.
  RunOptions o = asked;
  static_cast<pipeline::UpscaleOptions&>(o) = plan.options;
  reserve_memory(plan.estimated_peak_bytes);
  // The service is asked once before any work: a wrong token or a service
  // that is down fails the run here, not tile by tile.
  const FusionService service = connect_fusion_service(o);
  o.fusion_address = plan.options.fusion_address = service.address;
  o.fusion_token = plan.options.fusion_token = service.token;
  upscaler.check_service(plan);
  const Lap planning = watch.lap();
  io::LoadedPicture input =
      io::decode_picture(bytes, o.input, o.force ? std::numeric_limits<int64_t>::max() : -1);
  std::string().swap(bytes);
  timings.add("read", reading += watch.lap());
  timings.add("plan", planning);

  // Said once the run is sure to start, so that a refused run shows its one error line alone.
  for (const std::string& note : plan.notes) std::cerr << "quorv: note: " << note << std::endl;
  // The road lets the input go once it is enlarged; the alpha comes back enlarged.
  const bool input_alpha = input.alpha.has_value();
  pipeline::UpscaleResult road = upscaler.run(plan, std::move(input.rgb), std::move(input.alpha));
  processor.reset();  // a tile program's folder goes now
  timings.append(road.report.stages);
  watch.lap();
  const pipeline::UpscaleReport& done = road.report;

  const std::optional<at::Tensor> alpha =
      road.alpha.defined() ? std::optional<at::Tensor>(road.alpha) : std::nullopt;
  const int depth = output_depth(o.depth, input.bit_depth, o.output);
  release_free_memory();
  OutputPicture written = output_picture(std::move(road.picture), alpha, input.channels <= 2, o.output, background);
  const int64_t written_channels = written.picture.size(3);
  // The report is staged before OUTPUT and put in place after it: a failure leaves neither or both.
  const auto report = [&] {
    pipeline::UpscaleReport so_far = done;
    so_far.stages = timings;
    so_far.stages.add("total", {std::chrono::duration<double>(Clock::now() - started).count(),
                                pipeline::cpu_seconds() - started_cpu});
    return report_json({o, plan, input.bit_depth, input_alpha, written.alpha, so_far, previews, depth,
                        static_cast<int>(written_channels), written.composited_over});
  };
  report_file.stage(report());
  write_atomically(o.output, written.picture, depth, o.overwrite, o.png_compression);
  written.picture = at::Tensor();
  timings.add("write", watch.lap());
  const Json final_report = report();
  report_file.commit(final_report);
  std::cout << summary_text(final_report) << std::flush;
  return final_report["complete"].get<bool>() ? 0 : 3;
}

}  // namespace quorv::cli

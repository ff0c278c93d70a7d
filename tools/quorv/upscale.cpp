#include <ATen/ATen.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <map>
#include <random>

#include <time.h>
#include <tuple>

#include "fusion_service/fusion_service.h"
#include "host/nodes/image_scale.h"
#include "host/nodes/upscale_model.h"
#include "host/services/package_services.h"
#include "host/threads.h"
#include "image/fusion/fusion.h"
#include "image/measure/measure.h"
#include "image/masks/masks.h"
#include "image/module.h"
#include "image/reassembly/reassembly.h"
#include "image/quorv_image.h"
#include "tools/image_io/image_io.h"
#include "tools/quorv/quorv_cli.h"

namespace quorv::cli {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Heap reserved in 2 MiB pages before the input is read (a 4096 x 4096 float picture is 192 MiB).
constexpr int64_t kFirstReserve = int64_t{1} << 30;

// The bar the module's progress lines advance, and that printed lines wipe first.
Progress* active_progress = nullptr;

class ActiveProgress {
 public:
  explicit ActiveProgress(Progress& p) { active_progress = &p; }
  ~ActiveProgress() { active_progress = nullptr; }
};

// The module's printed lines and progress go through the tool while it runs.
// Its lines are warnings: they go to standard error, which keeps standard
// output for the results.
void bind_services() {
  host::PackageServices services = host::default_package_services();
  services.print = [](const std::string& line) {
    if (active_progress) active_progress->clear();
    std::cerr << line << std::endl;
  };
  services.log = [](const std::string&, std::nullopt_t, std::nullopt_t, const std::string&) {
    if (active_progress) active_progress->advance();
  };
  load_module(services);
}

}  // namespace

void print_above_progress(const std::string& line) {
  if (active_progress) active_progress->clear();
  std::cerr << line << std::endl;
}

void refresh_progress() {
  if (active_progress) active_progress->tick();
}

namespace {

// Seconds of the process's processor time, all threads together.
double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Wall and processor time of a stage: their ratio shows how many cores it kept busy.
struct Lap {
  double wall = 0, cpu = 0;
  Lap& operator+=(const Lap& other) {
    wall += other.wall;
    cpu += other.cpu;
    return *this;
  }
};

class Stopwatch {
 public:
  Lap lap() {
    const auto now = Clock::now();
    const double cpu = cpu_seconds();
    const Lap lap{std::chrono::duration<double>(now - last_).count(), cpu - last_cpu_};
    last_ = now;
    last_cpu_ = cpu;
    return lap;
  }

 private:
  Clock::time_point last_ = Clock::now();
  double last_cpu_ = cpu_seconds();
};

// The stages in the order they ran, wall and processor time apart.
struct StageTimes {
  Timings wall, cpu;
  void add(const std::string& stage, const Lap& lap) {
    wall.emplace_back(stage, lap.wall);
    cpu.emplace_back(stage, lap.cpu);
  }
};

at::Tensor enlarged_colour(const RunOptions& o, const std::optional<host::UpscaleModel>& model,
                           const at::Tensor& rgb, Size target, Progress::Style style) {
  if (model) return enlarged_with_model(*model, o, rgb, target.width, target.height, style);
  // At the picture's own size a resample could only blur it.
  if (rgb.size(2) == target.width && rgb.size(1) == target.height) return rgb;
  return Quorv_Image().better_downscale(rgb, target.width, target.height, "lanczos");
}

// The alpha channel at the enlarged size: the same for the division below and for the write.
at::Tensor enlarged_alpha(const at::Tensor& alpha, Size target) {
  if (alpha.size(2) == target.width && alpha.size(1) == target.height) return alpha;
  return std::get<0>(host::ImageScale::upscale(alpha, "lanczos", target.width, target.height, "disabled"))
      .clamp_(0.0, 1.0);
}

// Colour hidden under transparent pixels must not bleed into visible edges:
// the colour is enlarged premultiplied by alpha and divided by it after.
at::Tensor enlarge(const RunOptions& o, const std::optional<host::UpscaleModel>& model, const io::LoadedPicture& input,
                   Size target, Progress::Style style) {
  if (!input.alpha) return enlarged_colour(o, model, input.rgb, target, style);
  // Below this the pixel is all but invisible and dividing would only blow up ringing.
  constexpr double kVisibleAlpha = 1.0 / 1024;
  const at::Tensor premultiplied = enlarged_colour(o, model, input.rgb * input.alpha->clamp(0.0, 1.0), target, style);
  return premultiplied.div(enlarged_alpha(*input.alpha, target).clamp_min_(kVisibleAlpha)).clamp_(0.0, 1.0);
}

std::string random_token() {
  std::random_device device;
  std::string token;
  for (int i = 0; i < 4; ++i) {
    char part[9];
    std::snprintf(part, sizeof part, "%08x", device());
    token += part;
  }
  return token;
}

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
    token = random_token();
    service.server = std::make_unique<fusion_service::FusionServer>();
    service.server->start("127.0.0.1", 0, token);
    service.address = service.server->base_address();
  } else {
    token = read_token(o.token_file);
    // The request address is the base followed directly by "blend_info.php".
    service.address = o.fusion_url.back() == '/' ? o.fusion_url : o.fusion_url + "/";
  }
  host::set_apiurl(service.address);
  return service;
}

// The tile's inpaint mask as [1, h, w, 1] at the tile's own size.
at::Tensor inpaint_mask(const RunOptions& o, const NodeState& SELF, const GridSpec& spec, const at::Tensor& tile) {
  at::Tensor mask = Quorv_Image::get_inpaint_mask(
      SELF, tile.size(1), tile.size(2), SELF.PARAMS.cols_qty.get(), SELF.PARAMS.rows_qty.get(), spec,
      static_cast<double>(o.inpaint_blur_margin), static_cast<double>(o.shift),
      static_cast<double>(o.inpaint_border_margin), o.detail, o.inpaint_max);
  // With a detail factor the mask comes at the enlarged tile's size, its bands scaled alike.
  if (mask.size(2) != tile.size(1) || mask.size(3) != tile.size(2))
    mask = at::upsample_bilinear2d(mask, {tile.size(1), tile.size(2)}, /*align_corners=*/false);
  return mask.permute({0, 2, 3, 1});
}

// A tile's mask depends only on its size and on whether it lies in the first
// or last row or column, so tiles alike in these share one.
class MaskCache {
 public:
  at::Tensor mask(const RunOptions& o, const NodeState& SELF, const GridSpec& spec, const at::Tensor& tile) {
    const int64_t last_row = SELF.PARAMS.rows_qty.get() - 1, last_col = SELF.PARAMS.cols_qty.get() - 1;
    const Key key{spec.row == 0, spec.row == last_row, spec.col == 0, spec.col == last_col, tile.size(2), tile.size(1)};
    auto found = masks_.find(key);
    if (found == masks_.end()) found = masks_.emplace(key, inpaint_mask(o, SELF, spec, tile)).first;
    return found->second;
  }

 private:
  using Key = std::tuple<bool, bool, bool, bool, int64_t, int64_t>;
  std::map<Key, at::Tensor> masks_;
};

at::Tensor resized(const at::Tensor& picture, int64_t width, int64_t height) {
  return std::get<0>(host::ImageScale::upscale(picture, "lanczos", width, height, "disabled"));
}

// The processor's version of one tile, applied through the tile's mask.
at::Tensor regenerated(TileProcessor& processor, const RunOptions& o, const NodeState& SELF,
                       const std::vector<GridSpec>& grid, int64_t index, const at::Tensor& tile,
                       const at::Tensor& mask) {
  int64_t x = 0, y = 0, w = tile.size(2), h = tile.size(1);
  if (o.kontext) {
    const auto [k_w, k_h, crop_kontext_x, crop_kontext_y] = Quorv_Image::get_kontext_crop(SELF, tile, grid, index);
    x = crop_kontext_x, y = crop_kontext_y, w = k_w, h = k_h;
  }
  const at::Tensor picture = tile.narrow(1, y, h).narrow(2, x, w);
  const at::Tensor region_mask = mask.narrow(1, y, h).narrow(2, x, w);
  TileJob job{index, grid[static_cast<size_t>(index)], picture, region_mask};
  if (o.detail != 1.0) {
    const int64_t dw = std::max<int64_t>(1, static_cast<int64_t>(static_cast<double>(w) * o.detail));
    const int64_t dh = std::max<int64_t>(1, static_cast<int64_t>(static_cast<double>(h) * o.detail));
    job.picture = resized(picture, dw, dh);
    job.mask = at::upsample_bilinear2d(region_mask.permute({0, 3, 1, 2}), {dh, dw}, false).permute({0, 2, 3, 1});
  }
  at::Tensor out = processor.process(job);
  if (!out.defined() || out.sizes() != job.picture.sizes())
    throw Error(tile_name(job) + ": the processor returned " + shape_string(out) + ", expected " +
                shape_string(job.picture));
  if (o.detail != 1.0) out = resized(out, w, h);
  // lerp keeps the original pixel exactly where the mask is 0.
  const at::Tensor blended = picture.lerp(out, region_mask);
  if (!o.kontext) return blended;
  at::Tensor whole = tile.clone();
  whole.narrow(1, y, h).narrow(2, x, w).copy_(blended);
  return whole;
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

struct TileStage {
  std::vector<OptionalImage> finished;    ///< by grid position; let go once no later tile needs them
  std::vector<SkippedTile> unprocessed;  ///< tiles the processor failed on (--keep-going)
  std::vector<ToneMatchStatus> tone_matches;
  Lap masks, processing, tone_matching, fusing, pasting;
};

// The processor's version of the tile, or with --keep-going the tile as it
// was when the processor fails on it (recorded).
at::Tensor processed(TileProcessor& processor, const RunOptions& o, const NodeState& SELF,
                     const std::vector<GridSpec>& grid, int64_t index, const at::Tensor& tile, const at::Tensor& mask,
                     std::vector<SkippedTile>& unprocessed) {
  if (!processor.changes_tiles()) return tile;
  if (!o.keep_going) return regenerated(processor, o, SELF, grid, index, tile, mask);
  try {
    return regenerated(processor, o, SELF, grid, index, tile, mask);
  } catch (const Error& e) {
    const GridSpec& spec = grid[static_cast<size_t>(index)];
    print_line(std::string("Warning: ") + e.what() + " (--keep-going: the tile stays unprocessed)");
    // The list names the tile already.
    std::string reason = e.what();
    const std::string name = tile_name({index, spec, {}, {}}) + ": ";
    if (reason.rfind(name, 0) == 0) reason.erase(0, name.size());
    unprocessed.push_back({index, spec.row, spec.col, reason});
    return tile;
  }
}

// Every tile in grid order: its mask, the processor's version, fusion into
// the tiles finished before it, then pasted into `canvas` at once, in the
// order and through the masks of a rebuild. A finished tile is kept only as
// long as a later tile may read it (about two rows), unless `keep_all` (the
// previews draw every tile).
TileStage process_tiles(TileProcessor& processor, const RunOptions& o, const NodeState& SELF,
                        const std::vector<GridSpec>& grid, const std::vector<at::Tensor>& tiles, at::Tensor& canvas,
                        FusionTracker* fusion, bool keep_all, Progress::Style style) {
  TileStage stage;
  stage.finished.resize(tiles.size());
  const size_t count = o.fast_preview ? std::min<size_t>(1, tiles.size()) : tiles.size();
  // A fast preview processes one tile and pastes nothing: the other tiles stay as they came.
  for (size_t i = count; i < tiles.size(); ++i) stage.finished[i] = tiles[i];
  const std::vector<size_t> last_reader = last_readers(grid);
  std::vector<std::vector<size_t>> release_after(tiles.size());
  for (size_t j = 0; j < tiles.size(); ++j) release_after[last_reader[j]].push_back(j);
  NodeState constants_state = SELF;  // reading the constants writes them into the state
  reassembly::TilePaster paster(SELF, SELF.SIZE.composite_blur_margin.get(),
                                masks::set_mask_constants(constants_state).inpaint_margin);
  MaskCache masks_by_position;
  Stopwatch watch;
  Progress progress("tiles  ", static_cast<int64_t>(count), style);
  ActiveProgress active(progress);
  for (size_t i = 0; i < count; ++i) {
    const auto index = static_cast<int64_t>(i);
    // The processor gets every core; the rest is many small operations on strips.
    std::optional<host::ThreadLimit> serial(std::in_place, 1);
    const at::Tensor mask = masks_by_position.mask(o, SELF, grid[i], tiles[i]);
    stage.masks += watch.lap();
    serial.reset();
    at::Tensor tile = processed(processor, o, SELF, grid, index, tiles[i], mask, stage.unprocessed);
    stage.processing += watch.lap();
    serial.emplace(1);
    if (o.match_tone) {
      fusion::ToneMatch matched = fusion::match_tile_tone(tile, grid, index, stage.finished);
      tile = matched.tile;
      stage.tone_matches.push_back({index, matched.applied, matched.reason, matched.gain, matched.offset});
      stage.tone_matching += watch.lap();
    }
    if (fusion) tile = fusion->fuse(SELF, tile, grid, index, stage.finished);
    stage.fusing += watch.lap();
    if (!o.fast_preview) paster.paste(canvas, tile, grid[i]);
    stage.finished[i] = tile;
    if (!keep_all)
      for (size_t j : release_after[i]) stage.finished[j].reset();
    stage.pasting += watch.lap();
    progress.advance();
  }
  return stage;
}

}  // namespace

int run_upscale(const RunOptions& asked) {
  const auto started = Clock::now();
  const double started_cpu = cpu_seconds();
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
  const std::optional<host::UpscaleModel> model = enlarging_model(asked);
  const Progress::Style style = Progress::style_for(asked.quiet);

  // The decoded input lands in 2 MiB pages too; the estimate below may grow the reserve.
  reserve_memory(std::min(kFirstReserve, available_memory_bytes() / 4));
  // The size the header declares is refused before any pixel is decoded.
  std::string bytes = io::read_input_bytes(asked.input);
  const io::PictureHeader header = io::read_header(bytes, asked.input);
  Lap reading = watch.lap();
  const Plan plan = checked_plan(asked, {header.width, header.height});
  // From here on the settings as fitted to the picture.
  const RunOptions& o = plan.options;
  reserve_memory(plan.estimated_peak_bytes);
  // The service is asked once before any work: a wrong token or a service
  // that is down fails the run here, not tile by tile.
  const FusionService service = connect_fusion_service(o);
  std::optional<FusionTracker> fusion;
  if (o.fusion != "none") {
    fusion.emplace(o, service.address);
    NodeState probe = plan.SELF;
    probe.API.token = service.token;
    fusion->check_service(probe, plan.grid_specs);
  }
  const Lap planning = watch.lap();
  io::LoadedPicture input =
      io::decode_picture(bytes, o.input, o.force ? std::numeric_limits<int64_t>::max() : -1);
  std::string().swap(bytes);
  timings.add("read", reading += watch.lap());
  timings.add("plan", planning);

  // The grid works on the padded picture; the result is cropped back to the enlarged size.
  at::Tensor image = edge_padded(enlarge(o, model, input, plan.enlarged, style), plan.working);
  input.rgb = at::Tensor();  // only its alpha, which the write enlarges, is still needed
  timings.add("enlarge", watch.lap());

  NodeState SELF = node_state(o, image);
  const std::vector<GridSpec> grid = Quorv_Image::get_tiled_grid_specs(SELF, image);
  std::vector<at::Tensor> tiles = Quorv_Image::get_grid_images(image, grid);
  SELF.OUTPUTS.grid_images_all = tiles;
  SELF.OUTPUTS.grid_images = tiles;
  SELF.API.token = service.token;
  // Said once the run is sure to start, so that a refused run shows its one error line alone.
  for (const std::string& note : plan.notes) std::cerr << "quorv: note: " << note << std::endl;
  // The tiles are views of the enlarged picture, which stays as it is (the
  // seam score's reference); finished tiles are pasted into a copy of it.
  at::Tensor result = o.fast_preview ? image : image.clone(at::MemoryFormat::Contiguous);
  timings.add("grid", watch.lap());

  const bool keep_tiles = !o.previews_dir.empty();
  TileStage stage =
      process_tiles(*processor, o, SELF, grid, tiles, result, fusion ? &*fusion : nullptr, keep_tiles, style);
  processor.reset();  // a tile program's folder goes now
  timings.add("masks", stage.masks);
  timings.add("process", stage.processing);
  if (o.match_tone) timings.add("tone_match", stage.tone_matching);
  timings.add("fusion", stage.fusing);
  timings.add("paste", stage.pasting);
  watch.lap();

  std::vector<std::string> previews;
  if (!o.previews_dir.empty()) {
    std::vector<at::Tensor> finished_tiles;
    for (const OptionalImage& t : stage.finished) finished_tiles.push_back(*t);
    previews = write_previews(o.previews_dir, {o, SELF, grid, image, finished_tiles, result});
  }
  stage.finished.clear();
  timings.add("previews", watch.lap());

  // Judged against the enlarged picture on the same lines: 1.00 = as before any tile work.
  const measure::SeamVisibility seams = [&] {
    const host::ThreadLimit serial(1);
    return measure::seam_visibility(result, image, grid);
  }();
  timings.add("seam_score", watch.lap());

  // The pictures the tiles came from are let go before the write makes its copies.
  tiles.clear();
  SELF.OUTPUTS = OutputsState{};
  image = at::Tensor();
  result = result.narrow(1, 0, plan.enlarged.height).narrow(2, 0, plan.enlarged.width);
  const std::optional<at::Tensor> alpha =
      input.alpha ? std::optional<at::Tensor>(enlarged_alpha(*input.alpha, {result.size(2), result.size(1)}))
                  : std::nullopt;
  const int depth = output_depth(o.depth, input.bit_depth, o.output);
  OutputPicture written = output_picture(result, alpha, input.channels <= 2, o.output, background);
  result = at::Tensor();
  const int64_t written_channels = written.picture.size(3);
  // The report is staged before OUTPUT and put in place after it: a failure leaves neither or both.
  const auto report = [&] {
    StageTimes so_far = timings;
    so_far.add("total", {std::chrono::duration<double>(Clock::now() - started).count(), cpu_seconds() - started_cpu});
    return report_json({o, plan, input.bit_depth, input.alpha.has_value(), written.alpha, service.address,
                        fusion ? fusion->unfused() : std::vector<SkippedTile>{},
                        fusion ? fusion->stopped_asking() : std::string(), stage.unprocessed, seams, stage.tone_matches,
                        so_far.wall, so_far.cpu, previews, depth, static_cast<int>(written_channels), written.composited_over});
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

// The whole road of one upscale on a picture in memory, for the command-line
// tool, the Python module and the host's node alike:
//
//   plan (sizes, grid) -> enlarge -> grid -> per tile: mask, process
//        -> tone match, fusion, paste (in grid order) -> refix seams
//        -> [finished hook: previews] -> seam score
//
// Tiles are processed independently of one another, `jobs` at a time;
// everything that reads finished neighbours (tone matching, fusion, pasting)
// follows the grid order, so the result does not depend on `jobs` for a
// deterministic processor. Files, alpha, bit depth and the output's colours
// belong to the caller.
#pragma once

#include <ATen/core/Tensor.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/errors.h"
#include "host/node_state.h"
#include "host/nodes/upscale_model.h"
#include "image/fusion/fusion.h"
#include "image/grid_spec.h"
#include "image/measure/measure.h"
#include "image/service/service.h"
#include "pipeline/options.h"

namespace quorv::pipeline {

// --- sizes, grid and memory ----------------------------------------------------

struct Size {
  int64_t width = 0;
  int64_t height = 0;
};

/// The picture size after enlarging `input` by `scale`: round(scale x side),
/// at least 1. This is the result's size. A size beyond what a tensor can
/// index: SettingsError.
Size enlarged_size(Size input, double scale);

/// How a picture of any size meets the grid, which needs tiles no larger than
/// the picture: the enlarged picture is edge-padded to the working size and
/// the result cropped back. A tile larger than the picture shrinks to it;
/// margins whose bands leave no room in the tile are lowered until the bands
/// take a quarter of it. Then each side gets an even grid: the working side
/// is tile + n x step exactly, so every tile steps by the same amount and
/// overlaps its neighbours by the asked overlap, none pushed against the
/// edge; the tile side (a multiple of 64, from three quarters of the asked
/// one to an eighth above it) is the one with the least tile area:
///
///     uneven (the grid alone)         even
///     |----T----|                     |----T----|
///           |----T----|                     |----T----|
///              |----T----|  <- edge               |----T----|~pad~|
///
/// Every change of the asked tile size or margins is one line in `notes`.
struct PictureFit {
  UpscaleOptions options;  ///< tile size and margins as the run uses them
  Size enlarged;           ///< the result's size
  Size working;            ///< the size the grid is laid over
  std::vector<std::string> notes;
  int64_t uneven_tiles = 0;  ///< tiles the grid alone lays over the picture padded to multiples of 8
};
PictureFit fit_to_picture(const UpscaleOptions& options, Size input);

/// `picture` [1, h, w, c] grown to `size` by repeating its last column and
/// row; the picture itself when it already has that size.
at::Tensor edge_padded(const at::Tensor& picture, Size size);

/// The padding of `padded` filled in place: columns from `picture.width` on
/// repeat the last column of the picture at its top left, then rows from
/// `picture.height` on repeat its last row. ValueError when the picture is
/// empty or larger than `padded`.
void pad_edges(at::Tensor& padded, Size picture);

/// What a run will do, computed from sizes alone (nothing is allocated).
struct Plan {
  UpscaleOptions options;          ///< as fitted to the picture
  std::vector<std::string> notes;  ///< what fitting changed
  Size input;
  Size enlarged;  ///< the result's size
  Size working;   ///< padded for the grid
  NodeState SELF;
  std::vector<GridSpec> grid_specs;
  int64_t tile_grid_W = 0;  ///< column step
  int64_t tile_grid_H = 0;  ///< row step
  int64_t band = 0;         ///< mask band along each shared edge
  int64_t estimated_peak_bytes = 0;
  int64_t uneven_tiles = 0;  ///< what the grid alone would have laid (PictureFit)
  /// The overlaps between neighbouring columns (rows) of the grid as laid,
  /// smallest and largest: equal on an even grid.
  std::pair<int64_t, int64_t> overlap_x{0, 0}, overlap_y{0, 0};
};

/// The grid of a run over a picture of `input` size, with the options fitted
/// to it; a grid whose tile numbers would reach the segment mark: SettingsError
/// naming --tile-size.
Plan make_plan(const UpscaleOptions& options, Size input);

/// A NodeState filled from the settings, for the enlarged `image`.
NodeState node_state(const UpscaleOptions& options, const at::Tensor& image);

/// Bytes a learned model's pieces may take for their activations: a quarter
/// of the available memory, at most 2 GiB. Model runs are cut to it and the
/// estimate counts it.
int64_t model_activation_budget();

/// Peak resident memory of an upscale of `plan`, in bytes: the largest of
/// the enlargement, the tile work (picture, finished tiles, the tiles in
/// flight) and the write, plus what the libraries take.
int64_t estimated_peak_bytes(const Plan& plan, int64_t channels);

/// For every tile, the last tile in grid order that may read it as a finished
/// neighbour: fusion and tone matching read the tiles beside and diagonal to
/// a tile and every tile that shares pixels with it. After that one is done,
/// the tile can be let go.
std::vector<size_t> last_readers(const std::vector<GridSpec>& grid);

/// The most bytes the finished tiles of a run hold at once when each is let
/// go after its last reader (all of them when `keep_all`).
int64_t finished_tiles_peak_bytes(const std::vector<GridSpec>& grid, int64_t channels, bool keep_all);

// --- tile processors -------------------------------------------------------------

/// One tile handed to a processor: the picture ([1, h, w, 3], at the detail
/// factor's size) and its inpaint mask ([1, h, w, 1], 1 = repaint). The
/// processor returns a new picture of the same size; the road applies it
/// through the mask, so pixels where the mask is 0 always stay.
struct TileJob {
  int64_t index;
  GridSpec spec;
  at::Tensor picture;
  at::Tensor mask;
};

/// What regenerates each tile. `process` must not change the job's tensors.
/// An Error it throws names the tile (tile_name) and fails the run, or with
/// `keep_going` leaves that tile as it was.
class TileProcessor {
 public:
  virtual ~TileProcessor() = default;
  /// False for a processor that returns every tile unchanged (the road then skips it).
  virtual bool changes_tiles() const { return true; }
  /// True when `process` may run on several threads at once; otherwise the
  /// road calls it for one tile at a time, whatever `jobs` is.
  virtual bool thread_safe() const { return false; }
  virtual at::Tensor process(const TileJob& job) = 0;
};

/// "identity", "demo", "torchscript:FILE" or "model:NAME" (a same-size
/// restorer of the catalogue, or a file). A model is loaded here, so a bad
/// one fails before any work; `options` gives its folder and piece size.
/// Any other name: SettingsError listing these.
std::unique_ptr<TileProcessor> make_tile_processor(const std::string& name, const UpscaleOptions& options = {});

/// "tile 5 (row 1, col 2)": how messages name a tile.
std::string tile_name(const TileJob& job);

// --- fusion and what a run did not do -----------------------------------------------

/// A tile the run did not do as asked, and why.
struct SkippedTile {
  int64_t index = 0;
  int64_t row = 0;
  int64_t col = 0;
  std::string reason;
};

/// Fusion of a run's tiles through the service, with its failures counted:
/// every tile it did not fuse is kept with the reason, and after
/// kFailuresBeforeStop failures in a row of one cause the remaining tiles are
/// not sent to it. With `strict` the first unfused tile is an Error.
class FusionTracker {
 public:
  static constexpr int kFailuresBeforeStop = 3;

  /// The service at `options.fusion_address`, with its bearer token.
  explicit FusionTracker(const UpscaleOptions& options);

  /// Sends the request of the first tile of `grid`; a failure is an Error
  /// naming the address and the HTTP status or the reason (a refused token:
  /// SettingsError).
  void check_service(const NodeState& SELF, const std::vector<GridSpec>& grid) const;

  /// The tile at `index` fused into the `finished` ones, written into `tile`
  /// (the caller's own, read by no one else); left as it was, and recorded
  /// as unfused with a warning line, when that failed.
  void fuse(const NodeState& SELF, at::Tensor& tile, const std::vector<GridSpec>& grid, int64_t index,
            const std::vector<OptionalImage>& finished);

  const std::vector<SkippedTile>& unfused() const { return unfused_; }
  /// Why the run stopped asking the service; empty when it did not.
  const std::string& stopped_asking() const { return stopped_; }

 private:
  void skip(const GridSpec& spec, int64_t index, const std::string& reason);

  UpscaleOptions options_;
  service::ClientOptions client_;
  std::vector<SkippedTile> unfused_;
  service::FusionOutcome last_failure_;
  int failures_in_a_row_ = 0;
  std::string stopped_;
  at::Tensor scratch_;  // the updates' copies of the bands they overwrite, reused tile after tile
};

// --- progress and timings ---------------------------------------------------------

/// Progress of a stage that goes piece by piece: "tiles" (one per tile) and
/// "model" (one per piece of the enlarging model; its total may grow).
struct ProgressEvent {
  enum class Kind { start, advance, end };
  Kind kind;
  std::string stage;
  int64_t done = 0;
  int64_t total = 0;
};
using ProgressCallback = std::function<void(const ProgressEvent&)>;

/// Seconds of the process's processor time, all threads together.
double cpu_seconds();

/// Wall and processor time of a stage: their ratio shows how many cores it kept busy.
struct Lap {
  double wall = 0, cpu = 0;
  Lap& operator+=(const Lap& other) {
    wall += other.wall;
    cpu += other.cpu;
    return *this;
  }
};

/// Laps between calls, from construction on.
class Stopwatch {
 public:
  Lap lap();

 private:
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
  double last_cpu_ = cpu_seconds();
};

/// Stage timings in seconds, in the order the stages ran.
using Timings = std::vector<std::pair<std::string, double>>;

/// The stages in the order they ran, wall and processor time apart.
struct StageTimes {
  Timings wall, cpu;
  std::vector<std::pair<std::string, int64_t>> peak_rss;  ///< the process's peak so far, after each stage
  void add(const std::string& stage, const Lap& lap);
  void append(const StageTimes& later);
};

// --- the enlargement ---------------------------------------------------------------

/// The model `options.model` or `options.upscale_model` names, loaded (what
/// the catalogue knows of it included), or none for lanczos; a missing,
/// unknown or broken one fails here. A restorer named as `model`: SettingsError.
std::optional<host::UpscaleModel> enlarging_model(const UpscaleOptions& options);

/// `picture` enlarged by `model` piece by piece (reported as the "model"
/// stage), then resized with lanczos to `size` when the model's own scale
/// does not give exactly that.
at::Tensor enlarged_with_model(const host::UpscaleModel& model, const UpscaleOptions& options,
                               const at::Tensor& picture, Size size, const ProgressCallback& progress = {});

/// An alpha channel [1, h, w, 1] at `size`, resized with lanczos and clamped to 0..1.
at::Tensor enlarged_alpha(const at::Tensor& alpha, Size size);

// --- the run ---------------------------------------------------------------------

/// What tone matching did to the pixels a tile's inpaint mask kept from the
/// enlarged picture: brought to the tone the processing gave the rest of the tile, or not and why.
struct KeptBandStatus {
  bool applied = false;
  std::string reason;
  std::vector<double> gain, offset;
};

/// What tone matching did to one tile.
struct ToneMatchStatus {
  int64_t tile;
  bool applied;
  std::string reason;
  std::vector<double> gain, offset;
  KeptBandStatus kept_band;
};

/// What a run did, as data.
struct UpscaleReport {
  std::vector<SkippedTile> unfused;      ///< tiles fusion was asked for and did not happen
  std::string fusion_stopped;            ///< why the run stopped asking the service, or empty
  std::vector<SkippedTile> unprocessed;  ///< tiles the processor failed on (keep_going)
  std::vector<ToneMatchStatus> tone_matches;  ///< per processed tile, with match_tone
  std::optional<fusion::SeamRefix> refix;     ///< with refix_seams (its picture left empty); `seams` is the score after it
  measure::SeamVisibility seams;              ///< of the result, relative to the enlarged picture
  /// "enlarge", "grid", "masks", "process", ["tone_match"], "fusion", "paste",
  /// ["refix_seams"], "previews" (the finished hook), "seam_score".
  StageTimes stages;
  /// Every tile done as asked.
  bool complete() const { return unfused.empty() && unprocessed.empty(); }
};

/// The road's state once every tile is pasted (and the seams refixed), for
/// previews drawn before the seams are scored.
struct FinishedRoad {
  const UpscaleOptions& options;
  const NodeState& SELF;
  const std::vector<GridSpec>& grid_specs;
  const at::Tensor& enlarged;  ///< the padded working picture, before any tile was processed
  const std::vector<at::Tensor>& finished_tiles;  ///< every tile as pasted, with keep_tiles; else empty
  const at::Tensor& result;  ///< the padded working picture with the tiles pasted
};

struct UpscaleHooks {
  ProgressCallback progress;
  /// Called once, after the rebuild, timed as the "previews" stage.
  std::function<void(const FinishedRoad&)> finished;
};

struct UpscaleResult {
  at::Tensor picture;  ///< [1, H, W, 3] at the enlarged size
  at::Tensor alpha;    ///< [1, H, W, 1]: the alpha given, enlarged as enlarged_alpha does; undefined without one
  UpscaleReport report;
};

/// Runs the road with one set of options and one processor, which it borrows.
///
///   Upscaler upscaler(options, *make_tile_processor("demo"));
///   UpscaleResult out = upscaler.run(picture);  // [1, H, W, 3] float32 in 0..1
class Upscaler {
 public:
  /// SettingsError for options that cannot run (jobs below 1, an unknown
  /// fusion form; fusion without a service address when it runs); the enlarging model is
  /// loaded here, so a missing or broken one fails before any work.
  Upscaler(UpscaleOptions options, TileProcessor& processor, UpscaleHooks hooks = {});

  /// The plan for a picture of `input` size (nothing is allocated).
  Plan plan(Size input) const;

  /// Asks the fusion service once, for the first tile of `plan`: a wrong
  /// token or a service that is down fails here, before any work. Nothing
  /// to do without fusion.
  void check_service(const Plan& plan) const;

  /// The road on `picture` ([1, H, W, 3], float32, 0..1), planned here.
  UpscaleResult run(at::Tensor picture, std::optional<at::Tensor> alpha = std::nullopt);

  /// The road on `picture`, whose size must be `plan.input`. With `alpha`
  /// ([1, H, W, 1]) the colour is enlarged premultiplied and divided after,
  /// so that colour hidden under transparent pixels does not bleed into
  /// visible edges. The alpha, enlarged, comes back in the result's `alpha`
  /// and weighs the seam score, so that transparent areas cannot show a seam. The
  /// picture's handle is let go once it is enlarged: a caller that hands it
  /// over with std::move frees it then.
  UpscaleResult run(const Plan& plan, at::Tensor picture, std::optional<at::Tensor> alpha = std::nullopt);

 private:
  UpscaleOptions options_;
  TileProcessor& processor_;
  UpscaleHooks hooks_;
  std::optional<host::UpscaleModel> model_;
};

}  // namespace quorv::pipeline

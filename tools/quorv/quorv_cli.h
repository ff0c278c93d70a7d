// quorv, the command-line upscaler: plays the host's upscaler node and runs
// one whole pass of tiled upscaling with the module's operations.
//
//   quorv upscale INPUT -o OUTPUT [options]   enlarge, cut, process, fuse, rebuild, write
//   quorv plan INPUT [options]                sizes, grid and memory estimate only
//   quorv fusion-service [--port N]           the reference fusion service, standalone
//
// The road of one upscale, with the stage names the timings use:
//
//   read -> plan (sizes, grid, memory check) -> enlarge -> grid
//        -> masks/process/fusion (per tile, in grid order) -> rebuild
//        -> previews -> seams -> write
//
// Failures the user can fix (bad options, unreadable input, a refused tile
// size, a failing tile command) are UsageError or quorv::Error; main prints
// them as one line on standard error and exits with status 2.
#pragma once

#include <ATen/core/Tensor.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/errors.h"
#include "host/memory.h"
#include "host/node_state.h"
#include "image/grid_spec.h"
#include "image/measure/measure.h"
#include "tools/image_io/image_io.h"

namespace CLI {
class App;
}

namespace quorv::cli {

using Json = nlohmann::ordered_json;

/// A mistake in the command line or in the files it names.
class UsageError : public ValueError {
 public:
  using ValueError::ValueError;
};

// --- options ---------------------------------------------------------------

/// Every setting of a run. Defaults are those `quorv upscale --help` shows;
/// they are chosen so that fusion is what hides the seams: the generative
/// fusion mode with no compositing band pastes tiles back with hard edges,
/// and each tile's inpaint band keeps the original pixels along its shared
/// edges, which the fusion of the next tiles blends across.
struct RunOptions {
  std::string input;
  std::string output;
  std::string scale_text = "2";
  double scale = 2;  ///< parsed from scale_text
  std::string upscale_model;

  // NodeState settings
  std::string tile_size_text = "512";
  int64_t tile_width = 512;  ///< parsed from tile_size_text ("512" or "512x384")
  int64_t tile_height = 512;
  std::string mode = "Neuro_Generative_Tile_Fusion";  ///< PARAMS.Tile_Fusion_Mode
  double blend = 1.0;                                 ///< PARAMS.Tile_Fusion_Blend
  int64_t inpaint_border_margin = 16;
  int64_t inpaint_blur_margin = 16;
  int64_t shift = 0;
  int64_t shifttl = 0;
  int64_t composite_blur_margin = 0;
  double inpaint_max = 1.0;
  bool kontext = false;  ///< PARAMS.FLUX_Kontext
  double detail = 1.0;   ///< Upscale_Detailer
  bool debug_overlay = false;
  bool fast_preview = false;

  // tiles and fusion
  std::string processor = "identity";
  std::string fusion = "v1";  ///< "v1", "v0" or "none"
  bool blend_all = false;
  bool match_tone = false;  ///< bring each tile's tone to its finished neighbours' before fusion
  std::string fusion_url;
  std::string token_file;

  // output
  bool overwrite = false;
  int depth = 0;  ///< 0: the input's, where OUTPUT's format holds it (else 8)
  std::string background = "white";  ///< under alpha when OUTPUT's format has none
  int png_compression = io::kDefaultPngCompression;
  std::string previews_dir;
  std::string report_file;
  bool quiet = false;
  bool force = false;
};

/// Adds the options shared by `upscale` and `plan` (enlargement, grid and
/// mask settings) to `app`, writing into `options`.
void add_settings_options(CLI::App& app, RunOptions& options);

/// Adds the options only `upscale` has (output, processor, fusion, ...).
void add_upscale_options(CLI::App& app, RunOptions& options);

/// Parses the texts (scale, tile size) and checks what CLI11 cannot;
/// UsageError naming the option, the expectation and the value.
void finish_options(RunOptions& options);

/// A NodeState filled from the settings, for the enlarged `image`.
NodeState node_state(const RunOptions& options, const at::Tensor& image);

// --- sizes, grid and memory ----------------------------------------------------

struct Size {
  int64_t width = 0;
  int64_t height = 0;
};

/// The picture size after enlarging `input` by `scale` (rounded to whole
/// pixels, at least 1) and rounding both sides up to a multiple of 8.
/// A size beyond what a tensor can index: UsageError.
Size enlarged_size(Size input, double scale);

/// What a run will do, computed from sizes alone (nothing is allocated).
struct Plan {
  Size input;
  Size enlarged;  ///< after rounding to multiples of 8
  NodeState SELF;
  std::vector<GridSpec> grid_specs;
  int64_t tile_grid_W = 0;  ///< column step
  int64_t tile_grid_H = 0;  ///< row step
  int64_t band = 0;         ///< mask band along each shared edge
  int64_t estimated_peak_bytes = 0;
};

/// The grid of a run over a picture of `input` size; errors of the grid
/// (the tile-size banner) pass through.
Plan make_plan(const RunOptions& options, Size input);

/// Peak resident memory of an upscale of `plan`, in bytes: the largest of
/// the enlargement, the rebuild (picture, finished tiles and the rebuild's
/// copies) and the write, plus what the libraries take.
int64_t estimated_peak_bytes(const Plan& plan, int64_t channels);

/// UsageError naming the estimate and what is available when `needed` exceeds it.
void require_memory(int64_t needed, int64_t available);

/// Grows the heap by `bytes` and hands it back at once, marked for 2 MiB
/// pages: the pictures later placed there fault in 512 times less often.
/// Relies on the heap keeping freed memory (main sets that up); best effort.
void reserve_memory(int64_t bytes);


// --- tile processors ---------------------------------------------------------------

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

class TileProcessor {
 public:
  virtual ~TileProcessor() = default;
  /// False for a processor that returns every tile unchanged (the road then skips it).
  virtual bool changes_tiles() const { return true; }
  virtual at::Tensor process(const TileJob& job) = 0;
};

/// "identity", "demo", "torchscript:FILE" or "command:PROGRAM ARGS {in} {out}".
/// A TorchScript file is loaded here, so a bad one fails before any work.
std::unique_ptr<TileProcessor> make_tile_processor(const std::string& spec);

/// Runs PROGRAM once per tile: the tile as an 8-bit PNG at {in}, the result
/// expected at {out} with the same size; {mask} (the inpaint mask as a grey
/// PNG) and {tile} (the tile's index) are filled in when present. The program
/// runs without a shell, its standard output goes to standard error. A failing
/// program, a missing or unreadable output or a wrong size: Error naming the tile.
std::unique_ptr<TileProcessor> make_command_processor(const std::string& command);

/// "tile 5 (row 1, col 2)": how messages name a tile.
std::string tile_name(const TileJob& job);

/// The words of a command template: whitespace separates, '...' and "..."
/// group, a backslash outside single quotes takes the next character as is.
/// An unclosed quote: UsageError.
std::vector<std::string> split_command(const std::string& command);

// --- progress ---------------------------------------------------------------

/// Progress of one stage on standard error: a redrawn bar on a terminal,
/// plain lines (at most one a second, and the last) otherwise, nothing when quiet.
///
///   tiles   [##########..............] 10/24  3.1 tiles/s  0:04 left     (bar)
///   tiles   10/24 tiles, 3.1 tiles/s, 0:04 left                         (line)
class Progress {
 public:
  enum class Style { bar, lines, none };
  /// none when quiet, a bar when standard error is a terminal, else lines.
  static Style style_for(bool quiet);

  Progress(std::string label, int64_t total, Style style);
  ~Progress();  ///< ends a bar's line
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  /// One more of `total` done; the last one always shows, with the total time.
  void advance();
  /// Wipes a bar before other text goes to the terminal; it is redrawn on the next advance.
  void clear();

 private:
  void draw(bool last);

  std::string label_;
  int64_t total_;
  int64_t done_ = 0;
  Style style_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_line_;
  bool drawn_ = false;
};

// --- output files ---------------------------------------------------------------

/// Checks, before any work, that `path` can be written: a format the tool
/// writes, a bit depth the format holds, a name short enough, an existing
/// writable folder, and no existing file (or symlink) unless `overwrite`.
/// "-" (standard output, as PNG) must not be a terminal. UsageError otherwise.
void check_output_path(const std::string& path, int depth, bool overwrite);

/// Writes the encoded picture into an unnamed file in OUTPUT's folder and
/// links it in under `path` once complete (where unnamed files are not
/// supported: an exclusively created temporary file, renamed). Never follows
/// a symlink, never replaces an existing file unless `overwrite`; on any
/// failure nothing appears at `path`. "-" writes to standard output.
void write_atomically(const std::string& path, const at::Tensor& picture, int depth, bool overwrite,
                      int png_compression = io::kDefaultPngCompression);

/// For `-o -`: keeps standard output for the picture and sends everything
/// else the run prints there (the summary, warnings) to standard error.
void send_stdout_to_stderr();

/// The lower-case extension that picks OUTPUT's format (".png" for "-").
std::string output_extension(const std::string& path);

/// True for formats that keep an alpha channel.
bool format_has_alpha(const std::string& path);

/// The colour alpha is composited over when OUTPUT's format has no alpha.
struct Background {
  float rgb[3];
  std::string text;  ///< as the summary names it: "white", "black" or "#rrggbb"
};

/// "white", "black" or "#RRGGBB"; UsageError otherwise.
Background parse_background(const std::string& text);

/// OUTPUT's bits per channel: `requested` (8 or 16) or, when 0, the input's
/// where the format holds 16 bits, else 8.
int output_depth(int requested, int input_depth, const std::string& path);

/// The picture as written, and what was done to get it.
struct OutputPicture {
  at::Tensor picture;           ///< [1, H, W, C]: C = 1, 2, 3 or 4
  bool alpha = false;           ///< alpha kept
  std::string composited_over;  ///< the background, when alpha had to go; else empty
};

/// The result ([1, H, W, 3]) made ready to write: grey when the input was
/// grey, alpha (the enlarged input alpha) appended where `path`'s format
/// holds it, else composited over `background`. `result` is not changed.
OutputPicture output_picture(const at::Tensor& result, const std::optional<at::Tensor>& alpha, bool grey,
                             const std::string& path, const Background& background);

// --- the road ---------------------------------------------------------------

/// Stage timings in seconds, in the order the stages ran.
using Timings = std::vector<std::pair<std::string, double>>;

/// `quorv upscale`: returns the exit status.
int run_upscale(const RunOptions& options);

/// `quorv plan`: prints the plan; returns the exit status.
int run_plan(const RunOptions& options);

/// `quorv fusion-service`: serves until SIGINT or SIGTERM.
int run_fusion_service(int port, const std::string& token_file);

/// The bearer token: the first line of `token_file`, else $QUORV_TOKEN; UsageError when neither.
std::string read_token(const std::string& token_file);

// --- previews ---------------------------------------------------------------

/// What the previews are drawn from.
struct PreviewInputs {
  const RunOptions& options;
  const NodeState& SELF;
  const std::vector<GridSpec>& grid_specs;
  const at::Tensor& enlarged;  ///< before any tile was processed
  const std::vector<at::Tensor>& finished_tiles;
  const at::Tensor& result;
};

/// Writes into `dir` (created when missing): mask_preview.png (a middle
/// tile's inpaint mask in red and paste mask in green, over the tile),
/// tile_<n>_bands.png for a few tiles, grid.png (the result with every tile
/// outlined and numbered) and seam_closeup.png (the enlarged picture and the
/// result side by side around an inner tile corner). Returns the files written.
std::vector<std::string> write_previews(const std::string& dir, const PreviewInputs& in);

// --- report ---------------------------------------------------------------

/// What tone matching did to one tile.
struct ToneMatchStatus {
  int64_t tile;
  bool applied;
  std::string reason;
  std::vector<double> gain, offset;
};

/// What a finished upscale reports.
struct RunFacts {
  const RunOptions& options;
  const Plan& plan;
  int input_bit_depth;
  bool input_alpha;
  bool output_alpha;
  std::string service_address;         ///< empty without fusion
  std::vector<int64_t> unfused_tiles;  ///< tiles whose fusion failed
  measure::SeamVisibility seams;       ///< of the result, relative to the enlarged picture
  std::vector<ToneMatchStatus> tone_matches;  ///< per processed tile, with --match-tone
  Timings timings;                     ///< ends with "total"
  std::vector<std::string> previews;
  int output_depth = 8;
  int output_channels = 3;
  std::string composited_over;  ///< the background alpha was composited over, when it was
};

/// The JSON report: input, enlarged, output, grid, settings, processor,
/// fusion (with "tone_match" when asked for), seams (relative to the
/// enlarged picture, with the worst border), timings, memory, previews.
Json report_json(const RunFacts& facts);

/// The human summary of a finished run (stage timings, grid, seam score), drawn from the report.
std::string summary_text(const Json& report);

}  // namespace quorv::cli

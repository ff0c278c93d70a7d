// quorv, the command-line upscaler: plays the host's upscaler node and runs
// one whole pass of tiled upscaling with the module's operations.
//
//   quorv upscale INPUT -o OUTPUT [options]   enlarge, cut, process, fuse, rebuild, write
//   quorv plan INPUT [options]                sizes, grid and memory estimate only
//   quorv fusion-service [--port N]           the reference fusion service, standalone
//   quorv models [fetch NAME...|--all]        the model catalogue; fetch and convert models
//
// The road of one upscale, with the stage names the timings use; the tool
// reads, plans (with its memory check) and writes, pipeline::Upscaler does
// the rest:
//
//   read -> plan (sizes, grid, memory check) -> enlarge -> grid
//        -> masks/process/fusion (per tile, in grid order) -> rebuild
//        -> previews -> seams -> write
//
// Failures the user can fix (bad options, unreadable input, a refused tile
// size, a failing tile command, a service that fails its check) are
// UsageError or quorv::Error; main prints them as one line on standard error
// and exits with status 2. Any other exception is an internal error: one
// line, status 1. A run that wrote OUTPUT but left tiles unprocessed or
// unfused exits with 3, 0 when every tile was done as asked.
#pragma once

#include <ATen/core/Tensor.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/errors.h"
#include "host/image_tensor.h"
#include "host/memory.h"
#include "host/node_state.h"
#include "host/nodes/upscale_model.h"
#include "image/fusion/fusion.h"
#include "image/grid_spec.h"
#include "image/measure/measure.h"
#include "image/service/service.h"
#include "pipeline/report.h"
#include "pipeline/upscaler.h"
#include "tools/image_io/image_io.h"

namespace CLI {
class App;
}

namespace quorv::cli {

using Json = nlohmann::ordered_json;

/// A mistake in the command line or in the files it names: the road's own
/// kind for settings it cannot work with, so that both end the same way.
using UsageError = pipeline::SettingsError;

using pipeline::enlarge_method;
using pipeline::enlarged_alpha;
using pipeline::enlarged_size;
using pipeline::edge_padded;
using pipeline::estimated_peak_bytes;
using pipeline::finished_tiles_peak_bytes;
using pipeline::fit_to_picture;
using pipeline::last_readers;
using pipeline::make_plan;
using pipeline::model_activation_budget;
using pipeline::node_state;
using pipeline::PictureFit;
using pipeline::Plan;
using pipeline::Size;
using pipeline::SkippedTile;
using pipeline::tile_name;
using pipeline::TileJob;
using pipeline::TileProcessor;
using pipeline::Timings;
using pipeline::ToneMatchStatus;

// --- options ---------------------------------------------------------------

/// Every setting of a run: the road's (UpscaleOptions) and the tool's own
/// (files, output, the fusion service's address, the tile program).
/// Defaults are those `quorv upscale --help` shows.
struct RunOptions : pipeline::UpscaleOptions {
  RunOptions() { tile_size_text = "512"; }

  std::string input;
  std::string output;
  std::string scale_text = "2";  ///< parsed into scale
  // tile_size_text ("512" or "512x384") is parsed into tile_width and tile_height

  std::string fusion_url;  ///< empty: a service started in this process
  std::string token_file;
  double tile_timeout = 0;  ///< seconds a tile command may take; 0: no limit

  // output
  bool overwrite = false;
  int depth = 0;  ///< 0: the input's, where OUTPUT's format holds it (else 8)
  std::string background = "white";  ///< under alpha when OUTPUT's format has none
  int png_compression = io::kDefaultPngCompression;
  std::string previews_dir;  ///< finish_options keeps the finished tiles for it
  std::string report_file;
  bool quiet = false;
  bool force = false;
};

/// Adds the options a run names first, to `app`, writing into `options`:
/// INPUT, then for `upscale` -o, then the scale, then for `upscale` the
/// processor and fusion, then the tile size. Help lists them first.
void add_common_options(CLI::App& app, RunOptions& options, bool upscale);

/// Adds the node's fine settings (mode, margins, strengths), in a group of their own.
void add_settings_options(CLI::App& app, RunOptions& options);

/// Adds what only `upscale` has beyond the common options: output details and the fusion service.
void add_upscale_options(CLI::App& app, RunOptions& options);

/// Parses the texts (scale, tile size) and checks what CLI11 cannot;
/// UsageError naming the option, the expectation and the value.
void finish_options(RunOptions& options);

// --- the runner ---------------------------------------------------------------

/// What the program runs once its options are parsed. It lives in a module
/// beside the program, loaded only then: libtorch takes some 280 shared
/// libraries and a second or more to load, which --help, --version and a
/// mistake in the command line need not wait for.
struct Runner {
  void (*tune_process)(int threads);  ///< process-wide settings: threads (0: one per core), logging, the heap
  int (*upscale)(const RunOptions&);
  int (*plan)(const RunOptions&);
  int (*fusion_service)(int port, const std::string& token_file);
};

/// The runner module's file name, looked for in the program's folder.
constexpr const char* kRunnerModule = "libquorv_runner.so";

/// Loads the runner module once; Error when it is missing or broken.
const Runner& load_runner();

// --- sizes, grid and memory ----------------------------------------------------

/// UsageError naming the estimate and what is available when `needed` exceeds it.
void require_memory(int64_t needed, int64_t available);

/// Grows the heap by `bytes` and hands it back at once, marked for 2 MiB
/// pages: the pictures later placed there fault in 512 times less often.
/// Relies on the heap keeping freed memory (main sets that up); best effort.
void reserve_memory(int64_t bytes);

/// Gives the pages of every free block of the heap back to the system: the
/// tile work leaves holes that would otherwise stay resident through the write.
void release_free_memory();


// --- tile processors ---------------------------------------------------------------

/// What a command: processor takes from the run.
struct CommandSettings {
  int depth = 8;               ///< bits per channel of the tile files (8 or 16)
  double timeout_seconds = 0;  ///< per tile; 0: no limit
};

/// "command:PROGRAM ARGS {in} {out}" (make_command_processor), or one of the
/// road's processors (pipeline::make_tile_processor): "identity", "demo",
/// "torchscript:FILE", "model:NAME". A model is loaded here, so a bad one
/// fails before any work; `command` is what a command: processor takes.
std::unique_ptr<TileProcessor> make_tile_processor(const std::string& spec, const RunOptions& options = {},
                                                   const CommandSettings& command = {});

/// Runs PROGRAM once per tile: the tile as a PNG of `settings.depth` bits at
/// {in}, the result expected at {out} with the same size; {mask} (the inpaint
/// mask as a grey PNG) and {tile} (the tile's index) are filled in when
/// present. The program runs without a shell, in its own process group,
/// without $QUORV_TOKEN; what it prints goes to standard error above the
/// progress bar. A failing program, one stopped after the time limit, a
/// missing or unreadable output or a wrong size: Error naming the tile.
std::unique_ptr<TileProcessor> make_command_processor(const std::string& command,
                                                      const CommandSettings& settings = {});

/// How a tile program ended.
struct ChildResult {
  int wait_status = 0;
  bool timed_out = false;
  std::string failure;  ///< why it could not start; empty when it ran
};

/// Runs argv (no shell) in a process group of its own, standard input from
/// /dev/null, its standard output and error handed to `on_line` line by
/// line, the environment without QUORV_TOKEN. Its group is killed after
/// `timeout_seconds` (0: no limit). `every_second` is called while it runs.
ChildResult run_child(const std::vector<std::string>& argv, double timeout_seconds,
                      const std::function<void(const std::string&)>& on_line,
                      const std::function<void()>& every_second);

/// While it lives, SIGINT and SIGTERM kill the running tile program's process
/// group, remove `folder` and the current tile files, and then end the tool
/// as the signal does.
class StopSignals {
 public:
  explicit StopSignals(const std::string& folder);
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  /// The current tile's files (at most three).
  void set_files(const std::vector<std::string>& files);

 private:
  struct sigaction previous_int_ {};
  struct sigaction previous_term_ {};
};

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
  /// The total grows when work is split on the way (a model tile redone in halves).
  void set_total(int64_t total) { total_ = total; }
  /// Wipes a bar before other text goes to the terminal; it is redrawn on the next advance.
  void clear();
  /// Redraws a bar with the time so far (nothing for plain lines).
  void tick();

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

/// A line on standard error, above the progress bar of the stage under way.
void print_above_progress(const std::string& line);

/// Redraws the progress bar of the stage under way (its clock moves on).
void refresh_progress();

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

/// The folder a file of `path` goes into: its parent, or "." for a bare name.
std::filesystem::path folder_of(const std::string& path);

/// Everything a run needs at its end that can be checked before it starts:
/// the output format really encodes, the previews folder is (or can be
/// made) a writable folder. UsageError otherwise. The report: ReportFile.
void check_before_work(const RunOptions& options);

/// `a` and `b` name one file: the same device and inode when both exist
/// (hard and symbolic links included), else the same resolved path.
bool same_file(const std::string& a, const std::string& b);

/// UsageError naming `what` unless `folder` exists, is a folder and takes a new file.
void require_writable_folder(const std::filesystem::path& folder, const std::string& what);

/// The --report file. Checked when made (never INPUT or OUTPUT, a writable
/// folder, an existing file only with --overwrite: UsageError otherwise);
/// written in two steps around OUTPUT so that a failure leaves either
/// nothing or both: stage() before OUTPUT is written (its failure stops the
/// run with nothing written), commit() after, which puts the complete
/// report in place, or the staged one should the last write fail.
/// Temporary files are removed when it goes.
class ReportFile {
 public:
  explicit ReportFile(const RunOptions& options);
  ~ReportFile();
  ReportFile(const ReportFile&) = delete;
  ReportFile& operator=(const ReportFile&) = delete;

  void stage(const Json& report);
  void commit(const Json& report);

 private:
  std::string path_;
  bool overwrite_;
  std::string staged_;
  std::string final_;
};

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
/// holds it, else composited over `background`. A result nothing else
/// holds (passed with std::move) is composited in place and let go as soon
/// as it is converted; one still held elsewhere is not changed.
OutputPicture output_picture(at::Tensor result, const std::optional<at::Tensor>& alpha, bool grey,
                             const std::string& path, const Background& background);

// --- the road ---------------------------------------------------------------

/// `quorv upscale`: returns the exit status.
int run_upscale(const RunOptions& options);

/// `quorv plan`: prints the plan; returns the exit status.
int run_plan(const RunOptions& options);

/// `quorv fusion-service`: serves until SIGINT or SIGTERM.
int run_fusion_service(int port, const std::string& token_file);

/// What `quorv models` was asked: list, or fetch these names (or all, or from a tarball).
struct ModelsOptions {
  std::string models_dir;
  bool fetch = false;
  std::vector<std::string> names;
  bool all = false;
  std::string from;
};

/// Adds `quorv models` and `quorv models fetch` to `app`, filling `options`.
CLI::App* add_models_command(CLI::App& app, ModelsOptions& options);

/// `quorv models`: lists the catalogue, or runs the fetch program; returns the exit status.
int run_models(const ModelsOptions& options);

/// The bearer token: the first line of `token_file`, else $QUORV_TOKEN; UsageError when neither.
std::string read_token(const std::string& token_file);

// --- previews ---------------------------------------------------------------

/// What the previews are drawn from.
struct PreviewInputs {
  const pipeline::UpscaleOptions& options;
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

/// What a finished upscale reports.
struct RunFacts {
  const RunOptions& options;
  const Plan& plan;
  int input_bit_depth;
  bool input_alpha;
  bool output_alpha;
  /// What the road did, its stages those of the whole run (read and write
  /// included, ending with "total").
  const pipeline::UpscaleReport& road;
  std::vector<std::string> previews;
  int output_depth = 8;
  int output_channels = 3;
  std::string composited_over;  ///< the background alpha was composited over, when it was
};

/// The JSON report: input, enlarged, working (padded for the grid),
/// adjustments (what fitting to the picture changed), output, grid, settings,
/// processor, fusion (with "tone_match" when asked for), seams (relative to
/// the enlarged picture, with the worst border), timings, memory, previews.
Json report_json(const RunFacts& facts);

/// The human summary of a finished run (stage timings, grid, seam score), drawn from the report.
std::string summary_text(const Json& report);

}  // namespace quorv::cli

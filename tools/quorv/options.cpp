#include <CLI/CLI.hpp>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "tools/quorv/quorv_cli.h"

namespace quorv::cli {
namespace {

// Tiles beyond this are far past what any generator takes; it also keeps every
// derived size well inside int64.
constexpr int64_t kMaxTileSide = 16384;

double parse_scale(const std::string& text) {
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(value) || value <= 0)
    throw UsageError("--scale must be a number above 0, got '" + text + "'");
  return value;
}

int64_t parse_side(const std::string& text, const std::string& whole) {
  int64_t value = 0;
  bool digits = !text.empty() && text.size() <= 6;
  for (char c : text) digits = digits && c >= '0' && c <= '9';
  if (digits) value = std::stoll(text);
  if (!digits || value < 1 || value > kMaxTileSide)
    throw UsageError("--tile-size must be N or WxH with sides from 1 to " + std::to_string(kMaxTileSide) +
                     " pixels, got '" + whole + "'");
  return value;
}

// A range check that leaves the value shown as NUMBER; the help text gives the range.
template <typename T>
CLI::Validator range(T low, T high) {
  CLI::Validator check = CLI::Range(low, high);
  check.description("");
  return check;
}

}  // namespace

void add_common_options(CLI::App& app, RunOptions& o, bool upscale) {
  app.add_option("INPUT", o.input, "picture to upscale (PNG, JPEG, TIFF, WebP; grey or RGB, alpha, 8 or 16 bits; - reads standard input)")
      ->required()
      ->type_name("FILE");
  if (upscale)
    app.add_option("-o,--output", o.output, "picture to write (format from the extension; - writes a PNG to standard output)")
        ->required()
        ->type_name("FILE");
  app.add_option("--scale", o.scale_text, "enlargement factor; the output is round(scale x size) exactly")
      ->capture_default_str()
      ->type_name("NUMBER");
  CLI::Option* upscale_model =
      app.add_option("--upscale-model", o.upscale_model,
                     "TorchScript upscale model to enlarge with (then resized to the exact scale with lanczos)")
          ->type_name("FILE");
  app.add_option("--model", o.model,
                 "catalogue model (or model file) to enlarge with (then resized to the exact scale with lanczos)")
      ->excludes(upscale_model)
      ->type_name("NAME");
  app.add_option("--models-dir", o.models_dir, "folder of installed models (default: $QUORV_MODELS, else the cache)")
      ->type_name("FOLDER");
  app.add_option("--model-tile", o.model_tile,
                 "side of the pieces a model sees, overlap included (default: from free memory)")
      ->check(range(int64_t{1}, kMaxTileSide))
      ->type_name("NUMBER");
  if (upscale) {
    app.add_option("--processor", o.processor,
                   "identity | demo | torchscript:FILE | model:NAME (a restorer) | command:'PROGRAM ARGS {in} {out}' "
                   "({mask} and {tile} too)")
        ->capture_default_str();
    app.add_option("--fusion", o.fusion, "fusion update: v1 (accumulating), v0 or none")
        ->capture_default_str()
        ->check(CLI::IsMember({"v1", "v0", "none"}));
  }
  app.add_option("--tile-size", o.tile_size_text,
                 "tile size N or WxH, rounded up to a multiple of 64; lowered to the picture when larger")
      ->capture_default_str()
      ->type_name("NUMBER[xNUMBER]");
}

void add_settings_options(CLI::App& app, RunOptions& o) {
  const std::string group = "Node settings (the grid's bands and the masks)";
  const auto pixels = [&](const std::string& name, int64_t& value, const std::string& help) {
    app.add_option(name, value, help + " (0 to 4096 pixels)")
        ->capture_default_str()
        ->check(range(int64_t{0}, int64_t{4096}))
        ->type_name("NUMBER")
        ->group(group);
  };
  app.add_option("--mode", o.mode,
                 "tile fusion mode: sets the mask bands and overlaps (any mode but the three fusion modes: no band)")
      ->capture_default_str()
      ->check(CLI::IsMember({"Tile_Fusion", "Neuro_Generative_Tile_Fusion", "NGTF_FLUX_Kontext", "none"}))
      ->group(group);
  app.add_option("--blend", o.blend, "tile fusion blend strength, 0 to 16 (widens the own-weight ramp)")
      ->capture_default_str()
      ->check(range(0.0, 16.0))
      ->type_name("NUMBER")
      ->group(group);
  pixels("--inpaint-border-margin", o.inpaint_border_margin,
         "pixels along a shared edge that the processor must keep");
  pixels("--inpaint-blur-margin", o.inpaint_blur_margin, "ramp of the inpaint mask after the border");
  pixels("--shift", o.shift, "extra pixels in front of the inpaint ramp");
  pixels("--shifttl", o.shifttl, "how much shorter the right and bottom inpaint bands are");
  pixels("--composite-blur-margin", o.composite_blur_margin,
         "feather of the compositing mask when tiles are pasted back (0: hard edges)");
  app.add_option("--inpaint-max", o.inpaint_max, "inpaint strength, 0 to 2: above 1 lifts the mask's floor, below 1 scales it")
      ->capture_default_str()
      ->check(range(0.0, 2.0))
      ->type_name("NUMBER")
      ->group(group);
  app.add_flag("--kontext", o.kontext, "FLUX Kontext: process each tile's Kontext crop, no border guard")->group(group);
  app.add_option("--detail", o.detail, "detail factor, 0.25 to 4: tiles are processed at this multiple of their size")
      ->capture_default_str()
      ->check(range(0.25, 4.0))
      ->type_name("NUMBER")
      ->group(group);
  app.add_flag("--debug-overlay", o.debug_overlay, "draw every tile's mask bands into the result")->group(group);
  app.add_flag("--fast-preview", o.fast_preview, "process only the first tile; the result is not rebuilt")
      ->group(group);
}

void add_upscale_options(CLI::App& app, RunOptions& o) {
  const std::string output = "Output";
  app.add_flag("--overwrite", o.overwrite, "replace OUTPUT and the --report file when they exist")->group(output);
  app.add_option("--depth", o.depth,
                 "bits per channel of OUTPUT, 8 or 16 (16: PNG and TIFF only; default: the input's where the "
                 "format holds it)")
      ->check(CLI::IsMember({8, 16}))
      ->type_name("NUMBER")
      ->group(output);
  app.add_option("--background", o.background,
                 "colour under transparent pixels when OUTPUT's format has no alpha: white, black or #RRGGBB")
      ->capture_default_str()
      ->group(output);
  app.add_option("--png-compression", o.png_compression, "compression of a PNG OUTPUT: 0 none, 1 fastest (runs only), 2 to 9 zlib's levels, 9 smallest")
      ->capture_default_str()
      ->check(range(0, 9))
      ->type_name("NUMBER")
      ->group(output);
  app.add_option("--previews", o.previews_dir, "folder for the mask preview, band pictures and the grid picture")
      ->type_name("FOLDER")
      ->group(output);
  app.add_option("--report", o.report_file, "write the summary as JSON to this file")->type_name("FILE")->group(output);
  app.add_flag("-q,--quiet", o.quiet, "no progress bar")->group(output);
  app.add_flag("--force", o.force, "try even when the memory estimate exceeds what is available")->group(output);
  app.add_option("--threads", o.threads, "threads for the heavy stages (enlargement, processing); 0: one per core")
      ->capture_default_str()
      ->check(CLI::Range(0, 1024))
      ->type_name("NUMBER")
      ->group(output);
  app.add_option("--jobs", o.jobs, "tiles processed at once (fusion and pasting stay in grid order)")
      ->capture_default_str()
      ->check(range(1, 256))
      ->type_name("NUMBER")
      ->group(output);
  const std::string fusion = "Fusion";
  app.add_flag("--blend-all", o.blend_all, "fuse the right and bottom neighbours as well")->group(fusion);
  app.add_flag("--match-tone", o.match_tone,
               "give the edges each tile's mask kept the tone its processing gave the rest, then bring the tile's tone "
               "(per-channel gain and offset) to its finished neighbours' before fusion")
      ->group(fusion);
  app.add_flag("--refix-seams", o.refix_seams,
               "after the rebuild, re-fuse once every tile border whose seam score is above --seam-threshold")
      ->group(fusion);
  app.add_option("--seam-threshold", o.seam_threshold,
                 "the seam score above which --refix-seams re-fuses a border (default 1.1)")
      ->check(range(1.0, 1e6))
      ->type_name("NUMBER")
      ->group(fusion);
  app.add_option("--fusion-url", o.fusion_url,
                 "fusion service base address (default: a service started in this process on 127.0.0.1)")
      ->type_name("URL")
      ->group(fusion);
  app.add_option("--token-file", o.token_file, "file whose first line is the service's bearer token "
                                               "(else $QUORV_TOKEN)")
      ->type_name("FILE")
      ->group(fusion);
  app.add_option("--fusion-timeout", o.fusion_timeout,
                 "seconds a fusion service call may wait for a connection or for data")
      ->capture_default_str()
      ->check(range(0.1, 600.0))
      ->type_name("NUMBER")
      ->group(fusion);
  app.add_flag("--strict", o.strict, "a tile not fused or not processed fails the run, and nothing is written")
      ->group(fusion);
  const std::string tiles = "Tile programs";
  app.add_flag("--keep-going", o.keep_going,
               "a tile the processor fails on stays unprocessed and is listed (exit status 3)")
      ->group(tiles);
  app.add_option("--tile-timeout", o.tile_timeout,
                 "seconds a command: processor may take per tile before it is stopped (0: no limit)")
      ->capture_default_str()
      ->check(range(0.0, 1e6))
      ->type_name("NUMBER")
      ->group(tiles);
}

void finish_options(RunOptions& o) {
  o.scale = parse_scale(o.scale_text);
  const std::string& t = o.tile_size_text;
  const size_t x = t.find_first_of("xX");
  if (x == std::string::npos) {
    o.tile_width = o.tile_height = parse_side(t, t);
  } else {
    o.tile_width = parse_side(t.substr(0, x), t);
    o.tile_height = parse_side(t.substr(x + 1), t);
  }
  o.keep_tiles = !o.previews_dir.empty();
  if (o.strict && o.keep_going)
    throw UsageError("--strict and --keep-going contradict each other: a failing tile either fails the run or stays");
  if (o.tile_timeout > 0 && o.processor.rfind("command:", 0) != 0)
    throw UsageError("--tile-timeout applies to command: processors only, got --processor '" + o.processor + "'");
  if (o.seam_threshold > 0 && !o.refix_seams)
    throw UsageError("--seam-threshold applies to --refix-seams only, got --seam-threshold " +
                     std::to_string(o.seam_threshold));
  if (o.fusion_url.empty() && !o.token_file.empty())
    throw UsageError("--token-file is only read with --fusion-url, got --token-file '" + o.token_file + "'");
}

}  // namespace quorv::cli

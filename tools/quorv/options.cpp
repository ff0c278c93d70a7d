#include <ATen/ATen.h>
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

}  // namespace

void add_settings_options(CLI::App& app, RunOptions& o) {
  app.add_option("INPUT", o.input, "picture to upscale (PNG, JPEG, TIFF, WebP; grey or RGB, alpha, 8 or 16 bits; - reads standard input)")->required();
  app.add_option("--scale", o.scale_text, "enlargement factor")->capture_default_str();
  app.add_option("--upscale-model", o.upscale_model,
                 "TorchScript upscale model to enlarge with (then resized to the exact scale with lanczos)");
  app.add_option("--tile-size", o.tile_size_text, "tile size N or WxH, rounded up to a multiple of 64")
      ->capture_default_str();
  app.add_option("--mode", o.mode,
                 "tile fusion mode: sets the mask bands and overlaps (any mode but the three fusion modes: no band)")
      ->capture_default_str()
      ->check(CLI::IsMember({"Tile_Fusion", "Neuro_Generative_Tile_Fusion", "NGTF_FLUX_Kontext", "none"}));
  app.add_option("--blend", o.blend, "tile fusion blend strength (widens the own-weight ramp)")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 16.0));
  app.add_option("--inpaint-border-margin", o.inpaint_border_margin,
                 "pixels along a shared edge that the processor must keep")
      ->capture_default_str()
      ->check(CLI::Range(int64_t{0}, int64_t{4096}));
  app.add_option("--inpaint-blur-margin", o.inpaint_blur_margin, "ramp of the inpaint mask after the border")
      ->capture_default_str()
      ->check(CLI::Range(int64_t{0}, int64_t{4096}));
  app.add_option("--shift", o.shift, "extra pixels in front of the inpaint ramp")
      ->capture_default_str()
      ->check(CLI::Range(int64_t{0}, int64_t{4096}));
  app.add_option("--shifttl", o.shifttl, "how much shorter the right and bottom inpaint bands are")
      ->capture_default_str()
      ->check(CLI::Range(int64_t{0}, int64_t{4096}));
  app.add_option("--composite-blur-margin", o.composite_blur_margin,
                 "feather of the compositing mask when tiles are pasted back (0: hard edges)")
      ->capture_default_str()
      ->check(CLI::Range(int64_t{0}, int64_t{4096}));
  app.add_option("--inpaint-max", o.inpaint_max, "inpaint strength: above 1 lifts the mask's floor, below 1 scales it")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 2.0));
  app.add_flag("--kontext", o.kontext, "FLUX Kontext: process each tile's Kontext crop, no border guard");
  app.add_option("--detail", o.detail, "detail factor: tiles are processed at this multiple of their size")
      ->capture_default_str()
      ->check(CLI::Range(0.25, 4.0));
  app.add_flag("--debug-overlay", o.debug_overlay, "draw every tile's mask bands into the result");
  app.add_flag("--fast-preview", o.fast_preview, "process only the first tile; the result is not rebuilt");
}

void add_upscale_options(CLI::App& app, RunOptions& o) {
  app.add_option("-o,--output", o.output, "picture to write (format from the extension; - writes a PNG to standard output)")->required();
  app.add_option("--processor", o.processor,
                 "identity | demo | torchscript:FILE | command:'PROGRAM ARGS {in} {out}' ({mask} and {tile} too)")
      ->capture_default_str();
  app.add_option("--fusion", o.fusion, "fusion update: v1 (accumulating), v0 or none")
      ->capture_default_str()
      ->check(CLI::IsMember({"v1", "v0", "none"}));
  app.add_flag("--blend-all", o.blend_all, "fuse the right and bottom neighbours as well");
  app.add_flag("--match-tone", o.match_tone,
               "bring each processed tile's tone (per-channel gain and offset) to its finished neighbours' before fusion");
  app.add_option("--fusion-url", o.fusion_url,
                 "fusion service base address (default: a service started in this process on 127.0.0.1)");
  app.add_option("--token-file", o.token_file, "file whose first line is the service's bearer token "
                                               "(else $QUORV_TOKEN)");
  app.add_flag("--overwrite", o.overwrite, "replace OUTPUT when it exists");
  app.add_option("--depth", o.depth,
                 "bits per channel of OUTPUT, 8 or 16 (16: PNG and TIFF only; default: the input's where the "
                 "format holds it)")
      ->check(CLI::IsMember({8, 16}));
  app.add_option("--background", o.background,
                 "colour under transparent pixels when OUTPUT's format has no alpha: white, black or #RRGGBB")
      ->capture_default_str();
  app.add_option("--png-compression", o.png_compression, "zlib level of a PNG OUTPUT, 0 (none) to 9 (smallest)")
      ->capture_default_str()
      ->check(CLI::Range(0, 9));
  app.add_option("--previews", o.previews_dir, "folder for the mask preview, band pictures and the grid picture");
  app.add_option("--report", o.report_file, "write the summary as JSON to this file");
  app.add_flag("-q,--quiet", o.quiet, "no progress bar");
  app.add_flag("--force", o.force, "try even when the memory estimate exceeds what is available");
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
  if (o.fusion_url.empty() && !o.token_file.empty())
    throw UsageError("--token-file is only read with --fusion-url, got --token-file '" + o.token_file + "'");
}

NodeState node_state(const RunOptions& o, const at::Tensor& image) {
  NodeState SELF;
  SELF.SIZE.fullW = o.tile_width;
  SELF.SIZE.fullH = o.tile_height;
  SELF.SIZE.inpaint_border_margin = o.inpaint_border_margin;
  SELF.SIZE.inpaint_blur_margin = o.inpaint_blur_margin;
  SELF.SIZE.shift = o.shift;
  SELF.SIZE.shifttl = o.shifttl;
  SELF.SIZE.composite_blur_margin = o.composite_blur_margin;
  SELF.SIZE.inpaint_max = o.inpaint_max;
  SELF.PARAMS.Tile_Fusion_Mode = o.mode;
  SELF.PARAMS.Tile_Fusion_Blend = o.blend;
  SELF.PARAMS.FLUX_Kontext = o.kontext;
  SELF.PARAMS.Fast_1_Tile_Preview = o.fast_preview;
  SELF.PARAMS.Debug_Grid_Overlay = o.debug_overlay;
  SELF.OUTPUTS.image = image;
  SELF.OUTPUTS.grid_images_all = std::vector<at::Tensor>{};
  SELF.OUTPUTS.grid_images = std::vector<at::Tensor>{};
  SELF.SEGMENTS.segms_cropped_masks = std::vector<std::pair<at::Tensor, at::Tensor>>{};
  return SELF;
}

}  // namespace quorv::cli

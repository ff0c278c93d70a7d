#include <ATen/ATen.h>

#include "tools/quorv/quorv_cli.h"

namespace quorv::cli {
namespace {

bool starts_with(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

std::unique_ptr<TileProcessor> make_tile_processor(const std::string& spec, const RunOptions& o,
                                                   const CommandSettings& command) {
  if (starts_with(spec, "command:")) return make_command_processor(spec.substr(8), command);
  if (spec == "identity" || spec == "demo" || starts_with(spec, "torchscript:") || starts_with(spec, "model:"))
    return pipeline::make_tile_processor(spec, o);
  throw UsageError("--processor must be identity, demo, torchscript:FILE, model:NAME or command:'PROGRAM ARGS {in} {out}', got '" +
                   spec + "'");
}

}  // namespace quorv::cli

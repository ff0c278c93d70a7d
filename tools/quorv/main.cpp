// quorv: the command-line upscaler. See tools/quorv/quorv_cli.h for the road.
#include <CLI/CLI.hpp>

#include <cstdlib>
#include <iostream>
#include <new>

#include "tools/quorv/quorv_cli.h"

namespace {

constexpr const char* kFooter = R"(Examples:
  quorv upscale photo.png -o photo_x2.png
  quorv upscale photo.jpg -o big.tiff --scale 4 --depth 16 --processor torchscript:model.pt
  quorv upscale photo.png -o out.png --processor "command:refine {in} {out}" --report run.json
  quorv plan photo.png --scale 3 --tile-size 1024

Exit status:
  0  OUTPUT written, every tile processed and fused as asked
  3  OUTPUT written, but some tiles were not processed or not fused (listed in the summary and the report)
  2  nothing written: bad input or usage, a fusion service that fails its check, a failing tile
     (with --strict also a tile that was not fused)
  1  nothing written: an internal error)";

// Messages may span lines (the tile-size banner); the error is one line.
std::string one_line(const std::string& text) {
  std::string line;
  for (char c : text) {
    if (c == '\n' || c == '\r') c = ' ';
    if (c == ' ' && (line.empty() || line.back() == ' ')) continue;
    line += c;
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

int fail(const std::string& message, int status) {
  std::cerr << "quorv: error: " << one_line(message) << std::endl;
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quorv::cli;
  CLI::App app{"quorv: tiled upscaling from the command line"};
  app.set_version_flag("--version", std::string("quorv ") + QUORV_VERSION);
  app.require_subcommand(1);
  // Set before the subcommands are added: they inherit it.
  app.footer(kFooter);
  RunOptions upscale_options, plan_options;
  CLI::App* upscale = app.add_subcommand("upscale", "enlarge, process the tiles, fuse them and write OUTPUT");
  add_common_options(*upscale, upscale_options, true);
  add_settings_options(*upscale, upscale_options);
  add_upscale_options(*upscale, upscale_options);
  CLI::App* plan = app.add_subcommand("plan", "print sizes, the grid and the memory estimate without processing");
  add_common_options(*plan, plan_options, false);
  add_settings_options(*plan, plan_options);
  CLI::App* service = app.add_subcommand("fusion-service", "run the reference fusion service on 127.0.0.1");
  int port = 0;
  std::string token_file;
  service->add_option("--port", port, "port to serve on; 0 picks a free one")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535))
      ->type_name("NUMBER");
  service->add_option("--token-file", token_file, "require the bearer token on this file's first line");
  ModelsOptions models_options;
  CLI::App* models = add_models_command(app, models_options);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    return fail(std::string(e.what()) + " (quorv --help)", 2);
  }
  try {
    // The options are checked before the runner (and libtorch with it) loads.
    if (upscale->parsed()) finish_options(upscale_options);
    if (plan->parsed()) finish_options(plan_options);
    // The catalogue needs no tensors: listing and fetching models stay light.
    if (models->parsed()) return run_models(models_options);
    // Idle OpenMP threads sleep instead of spinning: the stages between the
    // parallel passes are serial, and a spinning thread takes a core from them.
    // Set before the runner (and OpenMP with it) loads; a user's choice stays.
    setenv("OMP_WAIT_POLICY", "PASSIVE", /*overwrite=*/0);
    const Runner& runner = load_runner();
    runner.tune_process(upscale->parsed() ? upscale_options.threads : plan->parsed() ? plan_options.threads : 0);
    if (upscale->parsed()) return runner.upscale(upscale_options);
    if (plan->parsed()) return runner.plan(plan_options);
    return runner.fusion_service(port, token_file);
  } catch (const quorv::Error& e) {
    return fail(e.what(), 2);
  } catch (const std::bad_alloc&) {
    return fail("out of memory", 1);
  } catch (const std::exception& e) {
    // Only the first line: libtorch appends its backtrace to the message.
    const std::string what = e.what();
    return fail("internal error: " + what.substr(0, what.find('\n')), 1);
  } catch (...) {
    return fail("internal error: an unknown exception", 1);
  }
}

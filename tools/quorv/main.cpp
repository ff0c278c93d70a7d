// quorv: the command-line upscaler. See tools/quorv/quorv_cli.h for the road.
#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <CLI/CLI.hpp>
#include <malloc.h>
#include <opencv2/core/utils/logger.hpp>

#include <iostream>
#include <new>
#include <thread>

#include "tools/quorv/quorv_cli.h"

namespace {

// Process-wide settings belong to the program, not the library.
void tune_process() {
  at::set_num_threads(static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
  // Unreadable files are reported once, as the tool's own error line.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  // Big pictures come from the heap and freed memory stays with the process:
  // pages handed back to the kernel after every use fault in again on the next one.
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, -1);
}

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
  app.require_subcommand(1);
  RunOptions upscale_options, plan_options;
  CLI::App* upscale = app.add_subcommand("upscale", "enlarge, process the tiles, fuse them and write OUTPUT");
  add_settings_options(*upscale, upscale_options);
  add_upscale_options(*upscale, upscale_options);
  CLI::App* plan = app.add_subcommand("plan", "print sizes, the grid and the memory estimate without processing");
  add_settings_options(*plan, plan_options);
  CLI::App* service = app.add_subcommand("fusion-service", "run the reference fusion service on 127.0.0.1");
  int port = 0;
  std::string token_file;
  service->add_option("--port", port, "port to serve on; 0 picks a free one")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535));
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
    tune_process();
    if (upscale->parsed()) {
      finish_options(upscale_options);
      return run_upscale(upscale_options);
    }
    if (plan->parsed()) {
      finish_options(plan_options);
      return run_plan(plan_options);
    }
    if (models->parsed()) return run_models(models_options);
    return run_fusion_service(port, token_file);
  } catch (const quorv::Error& e) {
    return fail(e.what(), 2);
  } catch (const std::bad_alloc&) {
    return fail("out of memory", 1);
  } catch (const std::exception& e) {
    return fail(std::string("unexpected failure: ") + e.what(), 1);
  }
}

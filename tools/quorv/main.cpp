// quorv: the command-line upscaler. See tools/quorv/quorv_cli.h for the road.
#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <CLI/CLI.hpp>
#include <c10/util/Exception.h>
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

// What the exit status says; `quorv upscale --help` shows it.
constexpr const char* kExitStatus =
    "Exit status:\n"
    "  0  OUTPUT written, every tile processed and fused as asked\n"
    "  3  OUTPUT written, but some tiles were not processed or not fused (listed in the summary and the report)\n"
    "  2  nothing written: bad input or usage, a fusion service that fails its check, a failing tile\n"
    "     (with --strict also a tile that was not fused)\n"
    "  1  nothing written: an internal error";

}  // namespace

int main(int argc, char** argv) {
  using namespace quorv::cli;
  CLI::App app{"quorv: tiled upscaling from the command line"};
  app.require_subcommand(1);
  RunOptions upscale_options, plan_options;
  CLI::App* upscale = app.add_subcommand("upscale", "enlarge, process the tiles, fuse them and write OUTPUT");
  add_settings_options(*upscale, upscale_options);
  add_upscale_options(*upscale, upscale_options);
  upscale->footer(kExitStatus);
  CLI::App* plan = app.add_subcommand("plan", "print sizes, the grid and the memory estimate without processing");
  add_settings_options(*plan, plan_options);
  CLI::App* service = app.add_subcommand("fusion-service", "run the reference fusion service on 127.0.0.1");
  int port = 0;
  std::string token_file;
  service->add_option("--port", port, "port to serve on; 0 picks a free one")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535));
  service->add_option("--token-file", token_file, "require the bearer token on this file's first line");

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
    return run_fusion_service(port, token_file);
  } catch (const quorv::Error& e) {
    return fail(e.what(), 2);
  } catch (const std::bad_alloc&) {
    return fail("out of memory", 1);
  } catch (const c10::Error& e) {
    // Without the backtrace libtorch appends: one line.
    return fail(std::string("internal error: ") + e.what_without_backtrace(), 1);
  } catch (const std::exception& e) {
    return fail(std::string("internal error: ") + e.what(), 1);
  } catch (...) {
    return fail("internal error: an unknown exception", 1);
  }
}

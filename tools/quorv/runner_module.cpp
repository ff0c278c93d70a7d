// The runner module: everything that needs libtorch, loaded by the program
// only once a command is to run (see load_runner).
#include <ATen/ATen.h>
#include <ATen/Parallel.h>
#include <malloc.h>
#include <opencv2/core/utils/logger.hpp>

#include <algorithm>
#include <thread>

#include "host/threads.h"
#include "tools/quorv/quorv_cli.h"

namespace quorv::cli {
namespace {

// Process-wide settings belong to the program, not the library.
void tune_process(int threads) {
  host::use_threads(threads);
  // Unreadable files are reported once, as the tool's own error line.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  // Big pictures come from the heap and freed memory stays with the process:
  // pages handed back to the kernel after every use fault in again on the next one.
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, -1);
}

}  // namespace
}  // namespace quorv::cli

extern "C" const quorv::cli::Runner* quorv_runner() {
  using namespace quorv::cli;
  static const Runner runner{tune_process, run_upscale, run_plan, run_fusion_service};
  return &runner;
}

// Services of the node package that live outside the module, and their
// default implementations. Start-up binds one PackageServices record; tests
// and tools may bind their own (a log sink that records, a fixed address).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorv::host {

/// log(message, none, none, detail): one progress line; the result is not used.
using LogFn = std::function<void(const std::string& message, std::nullopt_t, std::nullopt_t,
                                 const std::string& detail)>;

struct PackageServices {
  /// sigmas.set_tiles_to_process: only its presence is needed.
  std::function<void()> set_tiles_to_process;
  /// utils.constants.get_apiurl(0): the fusion service's base address.
  std::function<std::string(int)> get_apiurl;
  /// utils.log.log: progress lines.
  LogFn log;
  /// Zarn_Array.reorder_edges_to_center: a list of the same length.
  std::function<std::vector<int64_t>(const std::vector<int64_t>&)> reorder_edges_to_center;
  /// Standard output: one call per printed line, without its line break.
  std::function<void(const std::string& line)> print;
};

/// The services below, bound together.
PackageServices default_package_services();

/// Present and does nothing; the upscaler node uses it, the module does not.
void set_tiles_to_process();

/// The configured fusion-service base address; Error when none was configured.
std::string get_apiurl(int which);
/// Configures the address get_apiurl returns (the host or the command-line tool does).
void set_apiurl(const std::string& base_address);
/// Forgets the configured address.
void clear_apiurl();

/// Writes "message: detail" as one line to standard error.
void log_to_stderr(const std::string& message, std::nullopt_t, std::nullopt_t,
                   const std::string& detail);

/// Writes the line and a line break to standard output.
void print_to_stdout(const std::string& line);

/// List utility of the package.
struct Zarn_Array {
  /// Edges first, towards the centre: 0, n-1, 1, n-2, ... of the given list.
  static std::vector<int64_t> reorder_edges_to_center(const std::vector<int64_t>& items);
};

}  // namespace quorv::host

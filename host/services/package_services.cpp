#include "host/services/package_services.h"

#include <iostream>
#include <mutex>

#include "host/errors.h"

namespace quorv::host {
namespace {

std::mutex apiurl_mutex;
std::optional<std::string> apiurl;

}  // namespace

PackageServices default_package_services() {
  return PackageServices{set_tiles_to_process, get_apiurl, log_to_stderr,
                         Zarn_Array::reorder_edges_to_center, print_to_stdout};
}

void set_tiles_to_process() {}

std::string get_apiurl(int which) {
  std::lock_guard<std::mutex> lock(apiurl_mutex);
  if (!apiurl) throw Error("get_apiurl(" + std::to_string(which) + "): no fusion service address is configured");
  return *apiurl;
}

void set_apiurl(const std::string& base_address) {
  std::lock_guard<std::mutex> lock(apiurl_mutex);
  apiurl = base_address;
}

void clear_apiurl() {
  std::lock_guard<std::mutex> lock(apiurl_mutex);
  apiurl.reset();
}

void log_to_stderr(const std::string& message, std::nullopt_t, std::nullopt_t,
                   const std::string& detail) {
  std::cerr << message << ": " << detail << '\n';
}

void print_to_stdout(const std::string& line) { std::cout << line << std::endl; }

std::vector<int64_t> Zarn_Array::reorder_edges_to_center(const std::vector<int64_t>& items) {
  std::vector<int64_t> out;
  out.reserve(items.size());
  size_t lo = 0, hi = items.size();
  while (lo < hi) {
    out.push_back(items[lo++]);
    if (lo < hi) out.push_back(items[--hi]);
  }
  return out;
}

}  // namespace quorv::host

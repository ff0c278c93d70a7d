#include "tools/image_io/vips_support.h"

#include <iostream>
#include <mutex>
#include <set>
#include <utility>

#include "host/errors.h"
#include "tools/image_io/image_io.h"

namespace quorv::io {
namespace {

std::mutex warning_mutex;
std::function<void(const std::string&)> warning_sink = [](const std::string& line) {
  std::cerr << "quorv: warning: " << line << std::endl;
};

// Lines already shown: the header is parsed more than once per file, and each parse warns again.
std::set<std::string> shown;
constexpr size_t kMaxRemembered = 256;

// Decoder warnings arrive through GLib from any of libvips' threads.
void on_warning(const gchar* /*domain*/, GLogLevelFlags /*level*/, const gchar* message, gpointer /*data*/) {
  std::string line = message ? message : "";
  while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
  const std::lock_guard<std::mutex> lock(warning_mutex);
  if (!warning_sink || line.empty() || shown.count(line)) return;
  if (shown.size() < kMaxRemembered) shown.insert(line);
  warning_sink(line);
}

}  // namespace

void show_decoder_warnings(std::function<void(const std::string&)> show) {
  detail::start_vips();
  const std::lock_guard<std::mutex> lock(warning_mutex);
  warning_sink = std::move(show);
}

namespace detail {

void start_vips() {
  static std::once_flag once;
  static std::string failure;
  std::call_once(once, [] {
    if (VIPS_INIT("quorv")) {
      failure = vips_error_text();
      return;
    }
    // Every image wraps transient memory; nothing is worth caching.
    vips_cache_set_max(0);
    const auto levels = static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE);
    g_log_set_handler("VIPS", levels, on_warning, nullptr);
  });
  if (!failure.empty()) throw Error("libvips failed to start: " + failure);
}

std::string vips_error_text() {
  std::string text = vips_error_buffer();
  vips_error_clear();
  for (char& c : text)
    if (c == '\n') c = ' ';
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text.empty() ? "unknown libvips error" : text;
}

}  // namespace detail
}  // namespace quorv::io

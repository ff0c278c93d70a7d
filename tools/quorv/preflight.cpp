#include <ATen/ATen.h>

#include <filesystem>

#include "tools/image_io/image_io.h"
#include "tools/quorv/quorv_cli.h"

namespace quorv::cli {
namespace {

namespace fs = std::filesystem;

// OpenCV may list a format it cannot write in this build (OpenEXR is off
// unless enabled at run time): a tiny picture encoded now fails the same way
// the result would, before any work.
void check_output_format(const RunOptions& o) {
  try {
    io::encode_picture(at::zeros({1, 2, 2, 3}), output_extension(o.output), o.depth == 16 ? 16 : 8);
  } catch (const ValueError& e) {
    throw UsageError("OUTPUT '" + o.output + "' cannot be written: " + e.what());
  }
}

// The previews folder is created at the end when missing: it must be a
// folder, or be creatable in its nearest existing parent.
void check_previews_folder(const std::string& dir) {
  if (dir.empty()) return;
  std::error_code ec;
  fs::path folder = fs::absolute(dir, ec);
  if (fs::exists(folder, ec) && !fs::is_directory(folder, ec))
    throw UsageError("--previews '" + dir + "' is a file, not a folder");
  while (!fs::exists(folder, ec) && folder.has_parent_path() && folder != folder.parent_path())
    folder = folder.parent_path();
  if (!fs::is_directory(folder, ec))
    throw UsageError("--previews '" + dir + "' cannot be created: '" + folder.string() + "' is not a folder");
  require_writable_folder(folder, "--previews");
}

}  // namespace

void check_before_work(const RunOptions& o) {
  check_output_format(o);
  check_previews_folder(o.previews_dir);
}

}  // namespace quorv::cli

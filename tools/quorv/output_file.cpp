#include <ATen/ATen.h>
#include <fcntl.h>
#include <opencv2/imgcodecs.hpp>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "tools/image_io/image_io.h"
#include "tools/quorv/quorv_cli.h"

namespace quorv::cli {
namespace {

namespace fs = std::filesystem;

std::string extension(const std::string& path) {
  std::string ext = fs::path(path).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return ext;
}

fs::path folder_of(const std::string& path) {
  const fs::path parent = fs::path(path).parent_path();
  return parent.empty() ? fs::path(".") : parent;
}

// The temporary file of a write in progress, removed if the process is interrupted meanwhile.
char pending_file[4096];
volatile std::sig_atomic_t pending = 0;

extern "C" void remove_pending_and_stop(int signal) {
  if (pending) unlink(pending_file);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

class PendingFile {
 public:
  explicit PendingFile(const std::string& path) {
    std::snprintf(pending_file, sizeof pending_file, "%s", path.c_str());
    pending = 1;
    previous_int_ = std::signal(SIGINT, remove_pending_and_stop);
    previous_term_ = std::signal(SIGTERM, remove_pending_and_stop);
  }
  ~PendingFile() {
    std::signal(SIGINT, previous_int_);
    std::signal(SIGTERM, previous_term_);
    if (pending) unlink(pending_file);
    pending = 0;
  }
 private:
  void (*previous_int_)(int);
  void (*previous_term_)(int);
};

// Moves `from` onto `to`; without `overwrite` an existing `to` is left alone.
void move_into_place(const std::string& from, const std::string& to, bool overwrite) {
  if (overwrite) {
    if (std::rename(from.c_str(), to.c_str()) == 0) return;
    throw UsageError("cannot write OUTPUT '" + to + "': " + std::strerror(errno));
  }
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
  if (errno == EINVAL || errno == ENOSYS) {
    // A file system without the exclusive rename: a hard link fails just as well on an existing name.
    if (link(from.c_str(), to.c_str()) == 0) return;
  }
  if (errno == EEXIST) throw UsageError("OUTPUT '" + to + "' appeared while the picture was made; not replaced");
  throw UsageError("cannot write OUTPUT '" + to + "': " + std::strerror(errno));
}

}  // namespace

bool format_has_alpha(const std::string& path) {
  const std::string ext = extension(path);
  return ext == ".png" || ext == ".tif" || ext == ".tiff" || ext == ".webp";
}

void check_output_path(const std::string& path, int depth, bool overwrite) {
  if (path.empty()) throw UsageError("OUTPUT must name a file, got ''");
  if (!cv::haveImageWriter(path))
    throw UsageError("OUTPUT '" + path + "' has no picture format OpenCV writes (use .png, .jpg, .tif or .webp)");
  const std::string ext = extension(path);
  if (depth == 16 && ext != ".png" && ext != ".tif" && ext != ".tiff")
    throw UsageError("--depth 16 needs a PNG or TIFF OUTPUT, got '" + path + "'");
  const fs::path folder = folder_of(path);
  std::error_code ec;
  if (!fs::exists(folder, ec)) throw UsageError("the folder '" + folder.string() + "' of OUTPUT does not exist");
  if (!fs::is_directory(folder, ec)) throw UsageError("'" + folder.string() + "' in OUTPUT is not a folder");
  if (fs::is_directory(path, ec)) throw UsageError("OUTPUT '" + path + "' is a folder");
  if (fs::exists(path, ec) && !overwrite)
    throw UsageError("OUTPUT '" + path + "' exists (--overwrite replaces it)");
  // Creating a file is the only test that holds for every reason a folder may refuse it.
  const std::string probe = (folder / (".quorv-probe-" + std::to_string(getpid()))).string();
  const int fd = open(probe.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
  if (fd < 0)
    throw UsageError("the folder '" + folder.string() + "' of OUTPUT is not writable: " + std::strerror(errno));
  close(fd);
  unlink(probe.c_str());
}

void write_atomically(const std::string& path, const at::Tensor& picture, int depth, bool overwrite) {
  const fs::path target(path);
  const std::string temporary =
      (folder_of(path) / (".quorv-" + std::to_string(getpid()) + "-" + target.filename().string())).string();
  // Encoded in memory first: writing can then only fail on the disk, and says why.
  const std::vector<unsigned char> bytes = io::encode_picture(picture, target.extension().string(), depth);
  PendingFile pending_write(temporary);
  try {
    io::write_file(temporary, bytes, "OUTPUT '" + path + "'");
  } catch (const ValueError& e) {
    throw UsageError(e.what());
  }
  // Once renamed the temporary name is gone; after a hard link it is removed as well.
  move_into_place(temporary, path, overwrite);
}

}  // namespace quorv::cli

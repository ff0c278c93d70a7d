#include <ATen/ATen.h>
#include <fcntl.h>
#include <opencv2/imgcodecs.hpp>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "tools/image_io/image_io.h"
#include "tools/quorv/quorv_cli.h"

namespace quorv::cli {
namespace {

namespace fs = std::filesystem;

// Where `-o -` sends the picture: standard output as it was before the rest of
// the run's standard output was turned to standard error.
int picture_stdout = -1;

// The temporary name of a write in progress, removed if the process is interrupted meanwhile.
char pending_file[PATH_MAX + 1];
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
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

 private:
  void (*previous_int_)(int);
  void (*previous_term_)(int);
};

// A short name of its own in the folder: OUTPUT's own name may already be as long as a name can be.
std::string temporary_name(const std::string& path) {
  static std::atomic<int> counter{0};
  return (folder_of(path) / (".quorv-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".tmp"))
      .string();
}

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

// Writes, flushes and closes `fd`; UsageError naming OUTPUT on failure.
void fill(int fd, const std::vector<unsigned char>& bytes, const std::string& path) {
  std::string failure;
  try {
    io::write_all(fd, bytes, "OUTPUT '" + path + "'");
  } catch (const ValueError& e) {
    failure = e.what();
  }
  if (failure.empty() && fsync(fd) != 0) failure = "cannot write OUTPUT '" + path + "': " + std::strerror(errno);
  if (close(fd) != 0 && failure.empty()) failure = "cannot write OUTPUT '" + path + "': " + std::strerror(errno);
  if (!failure.empty()) throw UsageError(failure);
}

// An unnamed file in the folder, given OUTPUT's name only once complete: no
// name exists that a planted symlink could take over, and a killed run leaves nothing.
bool write_unnamed(const std::string& path, const std::vector<unsigned char>& bytes, bool overwrite) {
  const int fd = open(folder_of(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0) return false;  // a file system without unnamed files
  // Keep the descriptor's path before fill closes it: linkat through /proc needs no privilege.
  const int keep = dup(fd);
  if (keep < 0) {
    close(fd);
    return false;
  }
  try {
    fill(fd, bytes, path);
  } catch (...) {
    close(keep);
    throw;
  }
  const std::string kept = "/proc/self/fd/" + std::to_string(keep);
  // Linking never replaces an existing name; with --overwrite a fresh name is linked, then renamed.
  const std::string name = overwrite ? temporary_name(path) : path;
  const int linked = linkat(AT_FDCWD, kept.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW);
  const int error = errno;
  close(keep);
  if (linked != 0) {
    if (error == ENOENT) return false;  // /proc is not mounted
    if (error == EEXIST && !overwrite)
      throw UsageError("OUTPUT '" + path + "' appeared while the picture was made; not replaced");
    throw UsageError("cannot write OUTPUT '" + path + "': " + std::strerror(error));
  }
  if (overwrite) {
    PendingFile pending_rename(name);
    move_into_place(name, path, true);
  }
  return true;
}

// A named temporary file, created exclusively and never through a symlink, then renamed onto OUTPUT.
void write_named(const std::string& path, const std::vector<unsigned char>& bytes, bool overwrite) {
  const std::string temporary = temporary_name(path);
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) throw UsageError("cannot write OUTPUT '" + path + "': " + std::strerror(errno));
  PendingFile pending_write(temporary);
  fill(fd, bytes, path);
  move_into_place(temporary, path, overwrite);
}

}  // namespace

bool format_has_alpha(const std::string& path) {
  const std::string ext = output_extension(path);
  return ext == ".png" || ext == ".tif" || ext == ".tiff" || ext == ".webp";
}

void send_stdout_to_stderr() {
  std::cout.flush();
  std::fflush(stdout);
  picture_stdout = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (picture_stdout < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0)
    throw UsageError(std::string("cannot set standard output aside for the picture: ") + std::strerror(errno));
}

void check_output_path(const std::string& path, int depth, bool overwrite) {
  if (path.empty()) throw UsageError("OUTPUT must name a file, got ''");
  const std::string ext = output_extension(path);
  if (depth == 16 && ext != ".png" && ext != ".tif" && ext != ".tiff")
    throw UsageError("--depth 16 needs a PNG or TIFF OUTPUT, got '" + path + "'");
  if (path == "-") {
    if (isatty(STDOUT_FILENO)) throw UsageError("-o - writes a PNG to standard output, which is a terminal");
    return;
  }
  if (!cv::haveImageWriter(path))
    throw UsageError("OUTPUT '" + path + "' has no picture format the tool writes (use .png, .jpg, .tif or .webp)");
  const fs::path folder = folder_of(path);
  const std::string name = fs::path(path).filename().string();
  if (name.size() > NAME_MAX)
    throw UsageError("OUTPUT '" + path + "': the file name is longer than " + std::to_string(NAME_MAX) + " bytes");
  std::error_code ec;
  if (!fs::exists(folder, ec)) throw UsageError("the folder '" + folder.string() + "' of OUTPUT does not exist");
  if (!fs::is_directory(folder, ec)) throw UsageError("'" + folder.string() + "' in OUTPUT is not a folder");
  if (fs::is_directory(path, ec)) throw UsageError("OUTPUT '" + path + "' is a folder");
  if (fs::exists(fs::symlink_status(path, ec)) && !overwrite)
    throw UsageError("OUTPUT '" + path + "' exists (--overwrite replaces it)");
  // Creating a file is the only test that holds for every reason a folder may refuse it.
  const std::string probe = temporary_name(path);
  const int fd = open(probe.c_str(), O_CREAT | O_EXCL | O_NOFOLLOW | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0)
    throw UsageError("the folder '" + folder.string() + "' of OUTPUT is not writable: " + std::strerror(errno));
  close(fd);
  unlink(probe.c_str());
}

void write_atomically(const std::string& path, const at::Tensor& picture, int depth, bool overwrite,
                      int png_compression) {
  // Encoded in memory first: writing can then only fail on the disk, and says why.
  const std::vector<unsigned char> bytes =
      io::encode_picture(picture, output_extension(path), depth, png_compression);
  if (path == "-") {
    try {
      io::write_all(picture_stdout >= 0 ? picture_stdout : STDOUT_FILENO, bytes, "the picture to standard output");
    } catch (const ValueError& e) {
      throw UsageError(e.what());
    }
    return;
  }
  if (!write_unnamed(path, bytes, overwrite)) write_named(path, bytes, overwrite);
}

std::filesystem::path folder_of(const std::string& path) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  return parent.empty() ? std::filesystem::path(".") : parent;
}

}  // namespace quorv::cli

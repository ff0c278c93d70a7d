#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "tools/quorv/quorv_cli.h"

namespace quorv::cli {
namespace {

namespace fs = std::filesystem;

// Writes `text` to a new file at `path` and syncs it; the reason of a failure, or empty.
std::string write_new_file(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return std::strerror(errno);
  size_t done = 0;
  int error = 0;
  while (done < text.size() && error == 0) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno != EINTR) error = errno;
    if (n > 0) done += static_cast<size_t>(n);
  }
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0) return "";
  unlink(path.c_str());
  return std::strerror(error);
}

// Moves `from` onto `to`; without `overwrite` an existing `to` is kept. The reason of a failure, or empty.
std::string move_into_place(const std::string& from, const std::string& to, bool overwrite) {
  if (overwrite) return std::rename(from.c_str(), to.c_str()) == 0 ? "" : std::strerror(errno);
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return "";
  if ((errno == EINVAL || errno == ENOSYS) && link(from.c_str(), to.c_str()) == 0) {
    unlink(from.c_str());
    return "";
  }
  return errno == EEXIST ? "the file appeared while the picture was made" : std::strerror(errno);
}

}  // namespace

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  if (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  std::error_code ea, eb;
  const fs::path pa = fs::weakly_canonical(fs::absolute(a, ea), ea), pb = fs::weakly_canonical(fs::absolute(b, eb), eb);
  return !ea && !eb && pa == pb;
}

void require_writable_folder(const fs::path& folder, const std::string& what) {
  std::error_code ec;
  if (!fs::exists(folder, ec)) throw UsageError("the folder '" + folder.string() + "' of " + what + " does not exist");
  if (!fs::is_directory(folder, ec)) throw UsageError("'" + folder.string() + "' in " + what + " is not a folder");
  // Creating a file is the only test that holds for every reason a folder may refuse it.
  const std::string probe = (folder / (".quorv-probe-" + std::to_string(getpid()))).string();
  const int fd = open(probe.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0)
    throw UsageError("the folder '" + folder.string() + "' of " + what + " is not writable: " + std::strerror(errno));
  close(fd);
  unlink(probe.c_str());
}

ReportFile::ReportFile(const RunOptions& o) : path_(o.report_file), overwrite_(o.overwrite) {
  if (path_.empty()) return;
  const std::string what = "--report '" + path_ + "'";
  // The report never takes the place of the pictures, whatever --overwrite says.
  if (same_file(path_, o.input)) throw UsageError(what + " is the INPUT picture");
  if (same_file(path_, o.output)) throw UsageError(what + " is the OUTPUT picture");
  std::error_code ec;
  if (fs::is_directory(path_, ec)) throw UsageError(what + " is a folder");
  require_writable_folder(folder_of(path_), "--report");
  if (fs::exists(fs::symlink_status(path_, ec)) && !overwrite_)
    throw UsageError(what + " exists (--overwrite replaces it)");
  const std::string stem = (folder_of(path_) / (".quorv-" + std::to_string(getpid()) + "-")).string();
  const std::string name = fs::path(path_).filename().string();
  staged_ = stem + "staged-" + name;
  final_ = stem + "final-" + name;
}

ReportFile::~ReportFile() {
  if (path_.empty()) return;
  unlink(staged_.c_str());
  unlink(final_.c_str());
}

void ReportFile::stage(const Json& report) {
  if (path_.empty()) return;
  const std::string failure = write_new_file(staged_, report.dump(2) + "\n");
  if (!failure.empty()) throw UsageError("cannot write --report '" + path_ + "': " + failure);
}

void ReportFile::commit(const Json& report) {
  if (path_.empty()) return;
  // The complete report if it can be written, else the staged one, which lacks only the final timings.
  const std::string& source = write_new_file(final_, report.dump(2) + "\n").empty() ? final_ : staged_;
  const std::string failure = move_into_place(source, path_, overwrite_);
  if (!failure.empty())
    throw std::runtime_error("OUTPUT was written, but --report '" + path_ + "' could not be put in place: " + failure);
}

}  // namespace quorv::cli

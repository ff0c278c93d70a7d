#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "host/errors.h"
#include "host/memory.h"
#include "tools/image_io/image_io.h"

namespace quorv::io {
namespace {

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Reads `fd` to its end, refusing to hold more than `max_bytes`.
std::string read_to_end(int fd, int64_t max_bytes, const std::string& what) {
  std::string bytes;
  char chunk[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n == 0) return bytes;
    if (n < 0) {
      if (errno == EINTR) continue;
      throw ValueError("cannot read " + what + ": " + std::strerror(errno));
    }
    if (static_cast<int64_t>(bytes.size()) + n > max_bytes)
      throw ValueError("cannot read " + what + ": larger than the " + human_bytes(max_bytes) + " allowed");
    bytes.append(chunk, static_cast<size_t>(n));
  }
}

}  // namespace

std::string read_input_bytes(const std::string& path, int64_t max_bytes, const std::string& kind) {
  if (path == "-") return read_to_end(STDIN_FILENO, max_bytes, kind + " from standard input");
  const std::string what = kind + " " + path;
  // Non-blocking, so that opening a FIFO does not wait for a writer; the type is checked next.
  const Descriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (file.get() < 0) throw ValueError("cannot read " + what + ": " + std::strerror(errno));
  struct stat info {};
  if (fstat(file.get(), &info) != 0) throw ValueError("cannot read " + what + ": " + std::strerror(errno));
  if (S_ISDIR(info.st_mode)) throw ValueError("cannot read " + what + ": it is a folder");
  if (!S_ISREG(info.st_mode))
    throw ValueError("cannot read " + what + ": not a regular file (a device, a pipe or a socket)");
  if (info.st_size > max_bytes)
    throw ValueError("cannot read " + what + ": " + human_bytes(info.st_size) + " is more than the " +
                     human_bytes(max_bytes) + " allowed");
  const int flags = fcntl(file.get(), F_GETFL);
  if (flags >= 0) fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK);
  return read_to_end(file.get(), max_bytes, what);
}

}  // namespace quorv::io

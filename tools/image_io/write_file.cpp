#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "host/errors.h"
#include "tools/image_io/image_io.h"

namespace quorv::io {

void write_all(int fd, const std::vector<unsigned char>& bytes, const std::string& what) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw ValueError("cannot write " + what + ": " + std::strerror(errno));
    done += static_cast<size_t>(n);
  }
}

void write_file(const std::string& path, const std::vector<unsigned char>& bytes, const std::string& what) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw ValueError("cannot write " + what + ": " + std::strerror(errno));
  std::string failure;
  try {
    write_all(fd, bytes, what);
  } catch (const ValueError& e) {
    failure = e.what();
  }
  if (failure.empty() && fsync(fd) != 0) failure = "cannot write " + what + ": " + std::strerror(errno);
  if (close(fd) != 0 && failure.empty()) failure = "cannot write " + what + ": " + std::strerror(errno);
  if (!failure.empty()) {
    unlink(path.c_str());
    throw ValueError(failure);
  }
}

void write_picture(const std::string& path, const at::Tensor& picture, int bit_depth) {
  write_file(path, encode_picture(picture, std::filesystem::path(path).extension().string(), bit_depth),
             "picture " + path);
}

}  // namespace quorv::io

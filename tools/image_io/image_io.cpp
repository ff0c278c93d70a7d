#include "tools/image_io/image_io.h"

#include <ATen/ATen.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "host/errors.h"
#include "host/image_tensor.h"

namespace quorv::io {
namespace {

// An 8- or 16-bit OpenCV picture as float32 [1, H, W, C] in 0..1.
at::Tensor to_tensor(const cv::Mat& mat) {
  cv::Mat f;
  mat.convertTo(f, CV_32F, mat.depth() == CV_16U ? 1.0 / 65535.0 : 1.0 / 255.0);
  at::Tensor t = at::empty({1, f.rows, f.cols, f.channels()}, at::kFloat);
  for (int r = 0; r < f.rows; ++r)
    std::memcpy(t.data_ptr<float>() + static_cast<int64_t>(r) * f.cols * f.channels(), f.ptr<float>(r),
                static_cast<size_t>(f.cols) * f.channels() * sizeof(float));
  return t;
}

LoadedPicture from_mat(const cv::Mat& mat, const std::string& what) {
  if (mat.empty()) throw ValueError("cannot read picture " + what + ": not a picture file OpenCV can decode");
  if (mat.depth() != CV_8U && mat.depth() != CV_16U)
    throw ValueError("cannot read picture " + what + ": only 8- and 16-bit pictures are supported");
  LoadedPicture out;
  out.bit_depth = mat.depth() == CV_16U ? 16 : 8;
  cv::Mat rgb, alpha;
  switch (mat.channels()) {
    case 1: cv::cvtColor(mat, rgb, cv::COLOR_GRAY2RGB); break;
    case 2: {
      std::vector<cv::Mat> planes;
      cv::split(mat, planes);
      cv::cvtColor(planes[0], rgb, cv::COLOR_GRAY2RGB);
      alpha = planes[1];
      break;
    }
    case 3: cv::cvtColor(mat, rgb, cv::COLOR_BGR2RGB); break;
    case 4:
      cv::cvtColor(mat, rgb, cv::COLOR_BGRA2RGB);
      cv::extractChannel(mat, alpha, 3);
      break;
    default:
      throw ValueError("cannot read picture " + what + ": " + std::to_string(mat.channels()) +
                       " channels are not supported");
  }
  out.rgb = to_tensor(rgb);
  if (!alpha.empty()) out.alpha = to_tensor(alpha);
  return out;
}

// Only the formats we support reach OpenCV: left to guess, it also tries
// decoders (DICOM among them) that abort the process on a malformed file.
bool is_supported_format(const std::string& bytes) {
  auto starts = [&](const char* magic, size_t n, size_t at = 0) {
    return bytes.size() >= at + n && bytes.compare(at, n, magic, n) == 0;
  };
  return starts("\x89PNG\r\n\x1a\n", 8) || starts("\xff\xd8\xff", 3) || starts("II*\0", 4) ||
         starts("MM\0*", 4) || (starts("RIFF", 4) && starts("WEBP", 4, 8));
}

}  // namespace

LoadedPicture read_picture(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw ValueError("cannot read picture " + path + ": missing or unreadable");
  std::ostringstream bytes;
  bytes << file.rdbuf();
  if (file.bad()) throw ValueError("cannot read picture " + path + ": read error");
  return decode_picture(bytes.str(), path);
}

LoadedPicture decode_picture(const std::string& bytes, const std::string& what) {
  if (!is_supported_format(bytes))
    throw ValueError("cannot read picture " + what + ": not a PNG, JPEG, TIFF or WebP file");
  cv::Mat mat;
  try {
    const cv::Mat buffer(1, static_cast<int>(bytes.size()), CV_8U, const_cast<char*>(bytes.data()));
    mat = cv::imdecode(buffer, cv::IMREAD_UNCHANGED);
  } catch (const cv::Exception& e) {
    throw ValueError("cannot read picture " + what + ": " + e.what());
  }
  return from_mat(mat, what);
}

std::vector<unsigned char> encode_picture(const at::Tensor& picture, const std::string& extension, int bit_depth) {
  require_image(picture, "picture to write");
  if (picture.size(0) != 1 || (picture.size(3) != 3 && picture.size(3) != 4))
    throw ValueError("can only write one RGB or RGBA picture, got " + shape_string(picture));
  if (bit_depth != 8 && bit_depth != 16)
    throw ValueError("bit depth must be 8 or 16, got " + std::to_string(bit_depth));
  const double top = bit_depth == 16 ? 65535.0 : 255.0;
  at::Tensor levels = picture[0].clamp(0.0, 1.0).mul(top).round_().contiguous().to(at::kCPU);
  const int h = static_cast<int>(levels.size(0)), w = static_cast<int>(levels.size(1));
  const int ch = static_cast<int>(levels.size(2));
  cv::Mat f(h, w, CV_32FC(ch), levels.data_ptr<float>());
  cv::Mat out, bgr;
  f.convertTo(out, bit_depth == 16 ? CV_16U : CV_8U);
  cv::cvtColor(out, bgr, ch == 4 ? cv::COLOR_RGBA2BGRA : cv::COLOR_RGB2BGR);
  std::vector<unsigned char> bytes;
  bool ok = false;
  try {
    ok = cv::imencode(extension, bgr, bytes);
  } catch (const cv::Exception& e) {
    throw ValueError("cannot encode a picture as " + extension + ": " + e.what());
  }
  if (!ok) throw ValueError("cannot encode a picture as " + extension + ": OpenCV has no encoder for it");
  return bytes;
}

void write_file(const std::string& path, const std::vector<unsigned char>& bytes, const std::string& what) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw ValueError("cannot write " + what + ": " + std::strerror(errno));
  size_t done = 0;
  int error = 0;
  while (done < bytes.size() && error == 0) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno != EINTR) error = errno;
    if (n > 0) done += static_cast<size_t>(n);
  }
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error != 0) {
    unlink(path.c_str());
    throw ValueError("cannot write " + what + ": " + std::strerror(error));
  }
}

void write_picture(const std::string& path, const at::Tensor& picture, int bit_depth) {
  write_file(path, encode_picture(picture, std::filesystem::path(path).extension().string(), bit_depth),
             "picture " + path);
}

}  // namespace quorv::io

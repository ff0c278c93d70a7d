#include "tools/image_io/image_io.h"

#include <ATen/ATen.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstring>
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

}  // namespace

LoadedPicture read_picture(const std::string& path) {
  cv::Mat mat;
  try {
    mat = cv::imread(path, cv::IMREAD_UNCHANGED);
  } catch (const cv::Exception& e) {
    throw ValueError("cannot read picture " + path + ": " + e.what());
  }
  if (mat.empty()) throw ValueError("cannot read picture " + path + ": missing, unreadable or not a picture");
  return from_mat(mat, path);
}

LoadedPicture decode_picture(const std::string& bytes, const std::string& what) {
  cv::Mat mat;
  try {
    const cv::Mat buffer(1, static_cast<int>(bytes.size()), CV_8U, const_cast<char*>(bytes.data()));
    mat = cv::imdecode(buffer, cv::IMREAD_UNCHANGED);
  } catch (const cv::Exception& e) {
    throw ValueError("cannot read picture " + what + ": " + e.what());
  }
  return from_mat(mat, what);
}

void write_picture(const std::string& path, const at::Tensor& picture, int bit_depth) {
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
  bool ok = false;
  try {
    ok = cv::imwrite(path, bgr);
  } catch (const cv::Exception& e) {
    throw ValueError("cannot write picture " + path + ": " + e.what());
  }
  if (!ok) throw ValueError("cannot write picture " + path + ": OpenCV could not write this file");
}

}  // namespace quorv::io

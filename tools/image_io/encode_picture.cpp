#include <ATen/ATen.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <string>
#include <vector>

#include "host/errors.h"
#include "host/image_tensor.h"
#include "tools/image_io/image_io.h"
#include "tools/image_io/png_bands.h"
#include "tools/image_io/vips_support.h"

namespace quorv::io {
namespace {

using detail::VipsRef;

// JPEG at this quality keeps the fine texture an upscale adds.
constexpr int kJpegQuality = 95;
constexpr int kWebpQuality = 95;

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

bool is_vips_format(const std::string& ext) {
  return ext == ".png" || ext == ".jpg" || ext == ".jpeg" || ext == ".tif" || ext == ".tiff" || ext == ".webp";
}

[[noreturn]] void fail(const std::string& extension, const std::string& why) {
  throw ValueError("cannot encode a picture as " + extension + ": " + why);
}

// Levels are made on the fly while the encoder pulls rows: x * top rounded
// half to even (as a tensor's round does), then cut to the integer type, which clips.
std::vector<unsigned char> encode_with_vips(const at::Tensor& samples, const std::string& ext, int bit_depth) {
  detail::start_vips();
  const int h = static_cast<int>(samples.size(0)), w = static_cast<int>(samples.size(1));
  const int bands = static_cast<int>(samples.size(2));
  const bool grey = bands <= 2;
  VipsRef wrapped(vips_image_new_from_memory(samples.data_ptr(), static_cast<size_t>(samples.nbytes()), w, h, bands,
                                             VIPS_FORMAT_FLOAT));
  if (!wrapped.get()) fail(ext, detail::vips_error_text());
  VipsRef scaled, rounded, levels, tagged;
  const double top = bit_depth == 16 ? 65535.0 : 255.0;
  const VipsInterpretation interpretation =
      bit_depth == 16 ? (grey ? VIPS_INTERPRETATION_GREY16 : VIPS_INTERPRETATION_RGB16)
                      : (grey ? VIPS_INTERPRETATION_B_W : VIPS_INTERPRETATION_sRGB);
  if (vips_linear1(wrapped.get(), scaled.out(), top, 0.0, nullptr) != 0 ||
      vips_round(scaled.get(), rounded.out(), VIPS_OPERATION_ROUND_RINT, nullptr) != 0 ||
      vips_cast(rounded.get(), levels.out(), bit_depth == 16 ? VIPS_FORMAT_USHORT : VIPS_FORMAT_UCHAR, nullptr) != 0 ||
      vips_copy(levels.get(), tagged.out(), "interpretation", interpretation, nullptr) != 0)
    fail(ext, detail::vips_error_text());
  void* buffer = nullptr;
  size_t length = 0;
  int status = -1;
  VipsImage* in = tagged.get();
  if (ext == ".jpg" || ext == ".jpeg") {
    status = vips_jpegsave_buffer(in, &buffer, &length, "Q", kJpegQuality, "strip", TRUE, nullptr);
  } else if (ext == ".tif" || ext == ".tiff") {
    status = vips_tiffsave_buffer(in, &buffer, &length, "compression", VIPS_FOREIGN_TIFF_COMPRESSION_LZW,
                                  "predictor", VIPS_FOREIGN_TIFF_PREDICTOR_HORIZONTAL, "strip", TRUE, nullptr);
  } else {
    status = vips_webpsave_buffer(in, &buffer, &length, "Q", kWebpQuality, "strip", TRUE, nullptr);
  }
  if (status != 0) fail(ext, detail::vips_error_text());
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  std::vector<unsigned char> out(bytes, bytes + length);
  g_free(buffer);
  return out;
}

// Formats libvips does not write (BMP, PPM, ...), through OpenCV.
std::vector<unsigned char> encode_with_opencv(const at::Tensor& samples, const std::string& ext, int bit_depth) {
  const int h = static_cast<int>(samples.size(0)), w = static_cast<int>(samples.size(1));
  const int bands = static_cast<int>(samples.size(2));
  if (bands == 2) fail(ext, "grey with alpha is written only as PNG, TIFF or WebP");
  const double top = bit_depth == 16 ? 65535.0 : 255.0;
  const cv::Mat f(h, w, CV_32FC(bands), const_cast<float*>(samples.data_ptr<float>()));
  cv::Mat levels, ordered;
  // convertTo rounds and saturates.
  f.convertTo(levels, bit_depth == 16 ? CV_16U : CV_8U, top);
  if (bands == 1)
    ordered = levels;
  else
    cv::cvtColor(levels, ordered, bands == 4 ? cv::COLOR_RGBA2BGRA : cv::COLOR_RGB2BGR);
  std::vector<unsigned char> bytes;
  bool ok = false;
  try {
    ok = cv::imencode(ext, ordered, bytes);
  } catch (const cv::Exception& e) {
    fail(ext, e.what());
  }
  if (!ok) fail(ext, "no encoder for it");
  return bytes;
}

}  // namespace

std::vector<unsigned char> encode_picture(const at::Tensor& picture, const std::string& extension, int bit_depth,
                                          int png_compression) {
  if (!picture.defined() || picture.dim() != 4 || picture.size(0) != 1 || picture.size(3) < 1 ||
      picture.size(3) > 4 || picture.size(1) < 1 || picture.size(2) < 1)
    throw ValueError("can only write one grey, grey+alpha, RGB or RGBA picture [1, H, W, 1..4], got " +
                     shape_string(picture));
  if (picture.size(1) > VIPS_MAX_COORD || picture.size(2) > VIPS_MAX_COORD)
    throw ValueError("cannot write a picture of " + shape_string(picture) + ": sides above " +
                     std::to_string(VIPS_MAX_COORD) + " pixels");
  if (bit_depth != 8 && bit_depth != 16)
    throw ValueError("bit depth must be 8 or 16, got " + std::to_string(bit_depth));
  if (png_compression < 0 || png_compression > 9)
    throw ValueError("PNG compression must be 0 to 9, got " + std::to_string(png_compression));
  const std::string ext = lower(extension);
  const bool holds_16 = ext == ".png" || ext == ".tif" || ext == ".tiff";
  if (bit_depth == 16 && !holds_16) fail(extension, "16-bit is written only as PNG or TIFF");
  const bool holds_alpha = ext == ".png" || ext == ".tif" || ext == ".tiff" || ext == ".webp";
  if ((picture.size(3) == 2 || picture.size(3) == 4) && is_vips_format(ext) && !holds_alpha)
    fail(extension, "the format holds no alpha (composite the picture over a background first)");
  const at::Tensor on_cpu = picture[0].to(at::kCPU, at::kFloat);
  // PNG is deflated on every core, band by band; libvips' writer uses one.
  // Rows may lie apart (a crop of a larger picture): no copy for that.
  if (ext == ".png") {
    const bool rows_packed = on_cpu.stride(2) == 1 && on_cpu.stride(1) == on_cpu.size(2);
    return detail::encode_png_in_bands(rows_packed ? on_cpu : on_cpu.contiguous(), bit_depth, png_compression);
  }
  // A view of the caller's picture when it is already float32 on the CPU and contiguous.
  const at::Tensor samples = on_cpu.contiguous();
  if (is_vips_format(ext)) return encode_with_vips(samples, ext, bit_depth);
  return encode_with_opencv(samples, extension, bit_depth);
}

}  // namespace quorv::io

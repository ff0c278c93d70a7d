#include <ATen/ATen.h>

#include <string>

#include "host/errors.h"
#include "host/memory.h"
#include "host/page_release.h"
#include "tools/image_io/image_io.h"
#include "tools/image_io/vips_support.h"

namespace quorv::io {
namespace {

using detail::VipsRef;

// The format a file's first bytes name; the decoder of that format is the only one it reaches.
std::string format_of(const std::string& bytes) {
  auto starts = [&](const char* magic, size_t n, size_t at = 0) {
    return bytes.size() >= at + n && bytes.compare(at, n, magic, n) == 0;
  };
  if (starts("\x89PNG\r\n\x1a\n", 8)) return "png";
  if (starts("\xff\xd8\xff", 3)) return "jpeg";
  if (starts("II*\0", 4) || starts("MM\0*", 4) || starts("II+\0", 4) || starts("MM\0+", 4)) return "tiff";
  if (starts("RIFF", 4) && starts("WEBP", 4, 8)) return "webp";
  return "";
}

// Opens the picture with its format's loader; only the header is read until pixels are asked for.
// Truncated or corrupt data then fails the read instead of leaving grey or smeared rows.
VipsRef open_picture(const std::string& format, const std::string& bytes, VipsAccess access,
                     const std::string& what) {
  detail::start_vips();
  void* data = const_cast<char*>(bytes.data());
  const size_t size = bytes.size();
  VipsRef image;
  int status = -1;
  if (format == "png")
    status = vips_pngload_buffer(data, size, image.out(), "access", access, "fail_on", VIPS_FAIL_ON_ERROR, nullptr);
  else if (format == "jpeg")
    status = vips_jpegload_buffer(data, size, image.out(), "access", access, "fail_on", VIPS_FAIL_ON_ERROR, nullptr);
  else if (format == "tiff")
    status = vips_tiffload_buffer(data, size, image.out(), "access", access, "fail_on", VIPS_FAIL_ON_ERROR, nullptr);
  else if (format == "webp")
    status = vips_webpload_buffer(data, size, image.out(), "access", access, "fail_on", VIPS_FAIL_ON_ERROR, nullptr);
  else
    throw ValueError("cannot read picture " + what + ": not a PNG, JPEG, TIFF or WebP file");
  if (status != 0) throw ValueError("cannot read picture " + what + ": " + detail::vips_error_text());
  return image;
}

PictureHeader header_of(VipsImage* image, const std::string& format, const std::string& what) {
  PictureHeader header;
  header.format = format;
  const VipsBandFormat band_format = vips_image_get_format(image);
  if (band_format != VIPS_FORMAT_UCHAR && band_format != VIPS_FORMAT_USHORT)
    throw ValueError("cannot read picture " + what + ": only 8- and 16-bit pictures are supported, it has " +
                     vips_enum_nick(VIPS_TYPE_BAND_FORMAT, band_format) + " samples");
  header.bit_depth = band_format == VIPS_FORMAT_USHORT ? 16 : 8;
  header.channels = vips_image_get_bands(image);
  if (header.channels < 1 || header.channels > 4)
    throw ValueError("cannot read picture " + what + ": " + std::to_string(header.channels) +
                     " channels are not supported (1 to 4: grey, grey and alpha, RGB, RGBA)");
  switch (vips_image_get_interpretation(image)) {
    case VIPS_INTERPRETATION_B_W:
    case VIPS_INTERPRETATION_GREY16:
    case VIPS_INTERPRETATION_sRGB:
    case VIPS_INTERPRETATION_RGB:
    case VIPS_INTERPRETATION_RGB16:
    case VIPS_INTERPRETATION_MULTIBAND:
      break;
    default:
      throw ValueError("cannot read picture " + what + ": its colour space " +
                       vips_enum_nick(VIPS_TYPE_INTERPRETATION, vips_image_get_interpretation(image)) +
                       " is not supported (grey or RGB only)");
  }
  header.orientation = vips_image_get_orientation(image);
  if (header.orientation < 1 || header.orientation > 8) header.orientation = 1;
  const bool swapped = header.orientation >= 5;
  header.width = swapped ? vips_image_get_height(image) : vips_image_get_width(image);
  header.height = swapped ? vips_image_get_width(image) : vips_image_get_height(image);
  return header;
}

// [1, H, W, C] float32 of the decoded samples, owned by the tensor (no copy of libvips' buffer).
at::Tensor decoded_samples(VipsImage* image, const PictureHeader& header, const std::string& what) {
  VipsRef upright, scaled;
  if (header.orientation != 1) {
    if (vips_autorot(image, upright.out(), nullptr) != 0)
      throw ValueError("cannot read picture " + what + ": " + detail::vips_error_text());
    image = upright.get();
  }
  const double top = header.bit_depth == 16 ? 65535.0 : 255.0;
  if (vips_linear1(image, scaled.out(), 1.0 / top, 0.0, nullptr) != 0)
    throw ValueError("cannot read picture " + what + ": " + detail::vips_error_text());
  size_t size = 0;
  void* samples = vips_image_write_to_memory(scaled.get(), &size);
  if (!samples) throw ValueError("cannot read picture " + what + ": " + detail::vips_error_text());
  const int64_t expected = header.width * header.height * header.channels * 4;
  if (static_cast<int64_t>(size) != expected || vips_image_get_format(scaled.get()) != VIPS_FORMAT_FLOAT) {
    g_free(samples);
    throw Error("cannot read picture " + what + ": the decoder returned " + std::to_string(size) +
                " bytes, expected " + std::to_string(expected));
  }
  // Held with its own deleter, so that the road may give its pages back as soon as it is enlarged.
  return at::for_blob(samples, {1, header.height, header.width, header.channels})
      .context(samples, &host::free_heap_block)
      .options(at::TensorOptions().dtype(at::kFloat))
      .make_tensor();
}

}  // namespace

PictureHeader read_header(const std::string& bytes, const std::string& what) {
  const std::string format = format_of(bytes);
  const VipsRef image = open_picture(format, bytes, VIPS_ACCESS_SEQUENTIAL, what);
  return header_of(image.get(), format, what);
}

int64_t decoded_bytes(const PictureHeader& h) {
  // Sides are below libvips' ten million, so these products stay far inside int64.
  const int64_t pixels = h.width * h.height;
  const int64_t samples = pixels * h.channels * 4;
  // A non-RGB file is split into new RGB and alpha tensors; a turned one is held decoded first.
  const int64_t split = h.channels == 3 ? 0 : pixels * (h.has_alpha() ? 4 : 3) * 4;
  const int64_t held = h.orientation != 1 ? pixels * h.channels * h.bit_depth / 8 : 0;
  return samples + split + held;
}

LoadedPicture decode_picture(const std::string& bytes, const std::string& what, int64_t max_bytes) {
  const std::string format = format_of(bytes);
  VipsRef image = open_picture(format, bytes, VIPS_ACCESS_SEQUENTIAL, what);
  const PictureHeader header = header_of(image.get(), format, what);
  const int64_t budget = max_bytes < 0 ? available_memory_bytes() : max_bytes;
  const int64_t needed = decoded_bytes(header);
  if (needed > budget)
    throw ValueError("cannot read picture " + what + ": it declares " + std::to_string(header.width) + " x " +
                     std::to_string(header.height) + " pixels, which need " + human_bytes(needed) +
                     " of memory, more than the " + human_bytes(budget) + " available");
  // Turning needs the whole picture at hand; an upright one streams through.
  if (header.orientation != 1) image = open_picture(format, bytes, VIPS_ACCESS_RANDOM, what);
  at::Tensor samples = decoded_samples(image.get(), header, what);

  LoadedPicture out;
  out.bit_depth = header.bit_depth;
  out.channels = header.channels;
  const int colour = header.grey() ? 1 : 3;
  const at::Tensor shown = samples.narrow(3, 0, colour);
  if (header.channels == 3)
    out.rgb = samples;
  else
    out.rgb = shown.expand({1, header.height, header.width, 3}).contiguous();
  if (header.has_alpha()) out.alpha = samples.narrow(3, colour, 1).contiguous();
  // Split into new tensors, the decoded samples go now rather than stay in the heap.
  if (!out.rgb.is_same(samples)) host::let_go(samples);
  return out;
}

LoadedPicture read_picture(const std::string& path) { return decode_picture(read_input_bytes(path), path); }

}  // namespace quorv::io

// Reading and writing picture files as ImageTensors.
//
//   bytes = read_input_bytes(path)        a regular file or standard input, capped
//   header = read_header(bytes, what)     format, upright size, channels, depth: nothing decoded
//   picture = decode_picture(bytes, ...)  the format's own decoder, refused beyond a byte budget
//   encode_picture / write_picture        PNG, JPEG, TIFF, WebP (and what OpenCV writes besides)
//
// Only PNG, JPEG, TIFF and WebP are read, each by its own decoder and by no
// other: a file that starts like one format is never handed to a decoder of
// another. Truncated or corrupt data is an error, never a partial picture.
#pragma once

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorv::io {

/// What a picture file declares about itself, read without decoding the pixels.
struct PictureHeader {
  std::string format;   ///< "png", "jpeg", "tiff" or "webp"
  int64_t width = 0;    ///< upright: after the EXIF orientation is applied
  int64_t height = 0;
  int channels = 3;     ///< 1 grey, 2 grey + alpha, 3 RGB, 4 RGBA
  int bit_depth = 8;    ///< 8 or 16
  int orientation = 1;  ///< EXIF orientation, 1 (upright) to 8

  bool grey() const { return channels <= 2; }
  bool has_alpha() const { return channels == 2 || channels == 4; }
};

/// A picture file as a float32 [1, H, W, 3] RGB tensor in 0..1 (grey repeated
/// in the three bands), and its alpha channel as [1, H, W, 1] when the file has one.
struct LoadedPicture {
  at::Tensor rgb;
  std::optional<at::Tensor> alpha;
  int bit_depth = 8;
  int channels = 3;  ///< of the file, as in PictureHeader
};

/// Standard input is read up to this many bytes; a picture file up to this size as well.
constexpr int64_t kMaxInputBytes = int64_t{1} << 30;

/// The bytes of a regular file, or of standard input when `path` is "-".
/// A device, a FIFO, a folder, a missing file or more than `max_bytes`:
/// ValueError "cannot read <kind> <path>: <why>" (a FIFO is refused without
/// waiting for a writer, /dev/zero without reading it).
std::string read_input_bytes(const std::string& path, int64_t max_bytes = kMaxInputBytes,
                             const std::string& kind = "picture");

/// The header of a picture held in memory; the pixels are not decoded.
/// Not a PNG, JPEG, TIFF or WebP file, a broken header, an unsupported depth,
/// colour space or channel count: ValueError naming `what`.
PictureHeader read_header(const std::string& bytes, const std::string& what);

/// Peak bytes decode_picture allocates for a picture of `header`.
int64_t decoded_bytes(const PictureHeader& header);

/// Decodes a picture held in memory, upright (the EXIF orientation applied).
/// Everything read_header refuses, truncated or corrupt data, or a picture
/// needing more than `max_bytes` (decoded_bytes; -1: what the system has
/// available): ValueError naming `what`. The size is refused before decoding.
LoadedPicture decode_picture(const std::string& bytes, const std::string& what, int64_t max_bytes = -1);

/// read_input_bytes, then decode_picture.
LoadedPicture read_picture(const std::string& path);

/// PNG compression when none is asked for: level 1, the run coder, writes a
/// 4096 x 4096 photo 11 times faster than zlib's level 6, for a file 7 % larger.
constexpr int kDefaultPngCompression = 1;

/// A [1, H, W, C] picture in 0..1 (C = 1 grey, 2 grey + alpha, 3 RGB, 4 RGBA)
/// encoded as 8- or 16-bit in the format of `extension` (".png", ".jpg",
/// ".tif", ".webp"; other extensions OpenCV writes, 8-bit, without grey alpha);
/// values are clamped and rounded. A depth or channel count the format cannot
/// hold, or an unknown extension: ValueError. The picture is not copied.
std::vector<unsigned char> encode_picture(const at::Tensor& picture, const std::string& extension, int bit_depth = 8,
                                          int png_compression = kDefaultPngCompression);

/// Writes `bytes` to a new or truncated file and flushes it to the disk.
/// ValueError("cannot write <what>: <reason>") on any failure (a full disk,
/// a vanished folder), after removing what was written.
void write_file(const std::string& path, const std::vector<unsigned char>& bytes, const std::string& what);

/// Writes all of `bytes` to the open descriptor `fd`, retrying short writes;
/// ValueError("cannot write <what>: <reason>") on failure.
void write_all(int fd, const std::vector<unsigned char>& bytes, const std::string& what);

/// encode_picture in the format of the path's extension, then write_file.
void write_picture(const std::string& path, const at::Tensor& picture, int bit_depth = 8);

/// Sends the decoders' warnings (a PNG's "iCCP: known incorrect sRGB profile")
/// to `show`, one line each; by default they go to standard error.
void show_decoder_warnings(std::function<void(const std::string&)> show);

}  // namespace quorv::io

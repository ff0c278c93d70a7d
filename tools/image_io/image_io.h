// Reading and writing picture files as ImageTensors, with OpenCV.
#pragma once

#include <ATen/core/Tensor.h>

#include <optional>
#include <string>
#include <vector>

namespace quorv::io {

/// A picture file as a float32 [1, H, W, 3] RGB tensor in 0..1, and its alpha
/// channel as [1, H, W, 1] when the file has one.
struct LoadedPicture {
  at::Tensor rgb;
  std::optional<at::Tensor> alpha;
  int bit_depth = 8;
};

/// Reads PNG, JPEG, TIFF, WebP, ... in 8 or 16 bits, grey, RGB or RGBA.
/// A missing or unreadable file or an unsupported depth: ValueError naming it.
LoadedPicture read_picture(const std::string& path);

/// Decodes a picture held in memory (as read_picture does for a file).
LoadedPicture decode_picture(const std::string& bytes, const std::string& what);

/// A [1, H, W, 3] (or [1, H, W, 4] with alpha) picture in 0..1 encoded as 8-
/// or 16-bit in the format of `extension` (".png", ".jpg", ".tif", ".webp");
/// values are clamped and rounded. ValueError when OpenCV cannot encode it.
std::vector<unsigned char> encode_picture(const at::Tensor& picture, const std::string& extension, int bit_depth = 8);

/// Writes `bytes` to a new or truncated file and flushes it to the disk.
/// ValueError("cannot write <what>: <reason>") on any failure (a full disk,
/// a vanished folder), after removing what was written.
void write_file(const std::string& path, const std::vector<unsigned char>& bytes, const std::string& what);

/// encode_picture in the format of the path's extension, then write_file.
void write_picture(const std::string& path, const at::Tensor& picture, int bit_depth = 8);

}  // namespace quorv::io

// PNG encoding in horizontal bands, one deflate stream per band, compressed
// on every core and joined into one valid zlib stream (module-internal).
#pragma once

#include <ATen/core/Tensor.h>

#include <vector>

namespace quorv::io::detail {

/// `samples` float32 [H, W, C] (C 1..4: grey, grey + alpha, RGB, RGBA) in
/// 0..1 on the CPU, each row's pixels packed (rows may lie apart, as in a
/// view of a larger picture); written at `bit_depth` 8 or 16 with
/// compression `level` 0..9: 1 deflated by the run coder (fast_deflate.h),
/// the others by zlib at that level. Stored values are x * (2^depth - 1)
/// rounded half to even, clipped, NaN as 0. Rows are filtered as the level
/// and depth call for: none at level 0, "up" at 16 bits, the best of the
/// five filters per row at 8 bits.
std::vector<unsigned char> encode_png_in_bands(const at::Tensor& samples, int bit_depth, int level);

}  // namespace quorv::io::detail

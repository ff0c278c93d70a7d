// Antialiased Lanczos-3 resampling of float32 pictures (host-internal).
#pragma once

#include <ATen/core/Tensor.h>

#include <cstdint>

namespace quorv::host {

/// Lanczos-3 resample of a [B, H, W, C] float32 picture to height x width,
/// pixel centres at half-integers, edges clamped, weights normalised, kernel
/// support widened by the factor when shrinking. Shrinking axes go through
/// libvips' reduce; enlarging axes through a separable kernel of our own,
/// because libvips enlarges with an affine bicubic interpolator instead.
/// The result is not clamped.
at::Tensor lanczos_resample(const at::Tensor& image, int64_t width, int64_t height);

/// lanczos_resample to out's size, written into `out`: float32 [B, H, W, C]
/// on the CPU with the picture's batch and channels, pixels packed within a
/// row, rows anywhere (such as the top left of a larger picture). A picture
/// enlarged along both axes goes there directly, with no copy of the
/// result's size. ValueError for any other `out`.
void lanczos_resample_into(const at::Tensor& image, at::Tensor& out);

}  // namespace quorv::host

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

}  // namespace quorv::host

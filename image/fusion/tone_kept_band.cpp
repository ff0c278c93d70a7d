#include <ATen/ATen.h>

#include <algorithm>
#include <cmath>

#include "host/errors.h"
#include "host/image_tensor.h"
#include "image/fusion/fusion.h"

namespace quorv::fusion {
namespace {

// Tone is read from block means: a processor's sharpening or new detail
// averages out over a block, its shift of tone does not.
constexpr int64_t kBlock = 8;
// Fewer regenerated blocks say too little about a tone.
constexpr int64_t kMinBlocks = 16;
constexpr double kMinGain = 0.5, kMaxGain = 2.0;
// Below one grey level of spread the original's blocks are flat: a gain is undefined.
constexpr double kFlat = 1.0 / 255.0;
constexpr double kMinCorrelation = 0.5;
// A correction smaller than this anywhere in 0..1 is not worth a pass over the tile.
constexpr double kNegligible = 0.25 / 255.0;

void check_arguments(const at::Tensor& original, const at::Tensor& processed, const at::Tensor& mask) {
  require_image(original, "blend_kept_band_in_tone original");
  require_image(processed, "blend_kept_band_in_tone processed");
  require_image(mask, "blend_kept_band_in_tone mask");
  if (processed.sizes() != original.sizes())
    throw ValueError("blend_kept_band_in_tone: processed is " + shape_string(processed) + ", original " +
                     shape_string(original) + "; they must have one shape");
  const bool batch_fits = mask.size(0) == 1 || mask.size(0) == original.size(0);
  if (!batch_fits || mask.size(1) != original.size(1) || mask.size(2) != original.size(2) || mask.size(3) != 1)
    throw ValueError("blend_kept_band_in_tone: mask is " + shape_string(mask) + "; for a tile of " +
                     shape_string(original) + " it must be [1 or batch, height, width, 1]");
  if (processed.device() != original.device() || mask.device() != original.device())
    throw ValueError("blend_kept_band_in_tone: original, processed and mask must be on one device");
}

// Block means of a [B, H, W, C] picture as [C, blocks] in double on the CPU.
at::Tensor block_means(const at::Tensor& picture, int64_t block) {
  const at::Tensor means = at::avg_pool2d(picture.permute({0, 3, 1, 2}), block);  // [B, C, h, w]
  return means.transpose(0, 1).reshape({picture.size(3), -1}).to(at::kCPU, at::kDouble);
}

}  // namespace

KeptBandTone blend_kept_band_in_tone(const at::Tensor& original, const at::Tensor& processed, const at::Tensor& mask) {
  check_arguments(original, processed, mask);
  const int64_t channels = original.size(3);
  KeptBandTone result{{}, false, "", std::vector<double>(static_cast<size_t>(channels), 1.0),
                      std::vector<double>(static_cast<size_t>(channels), 0.0)};
  auto plain = [&](const std::string& reason) {
    result.tile = original.lerp(processed, mask);
    result.reason = reason;
    return result;
  };

  const int64_t block = std::min({kBlock, original.size(1), original.size(2)});
  if (block < 1) return plain("the tile is empty");
  // A tile alone in its row and column, or a mask at full strength, keeps nothing to tone.
  if (mask.min().item<float>() >= 1.0f) return plain("the mask kept no pixel");
  // Blocks the mask regenerates in full, for every picture of the batch.
  const at::Tensor full_mask = mask.expand({original.size(0), -1, -1, -1});
  const at::Tensor full = block_means(full_mask, block).ge(1.0 - 1e-6).reshape({-1});
  const at::Tensor chosen = full.nonzero().reshape({-1});
  if (chosen.numel() < kMinBlocks)
    return plain("fewer than " + std::to_string(kMinBlocks) + " blocks of " + std::to_string(kBlock) + " x " +
                 std::to_string(kBlock) + " pixels regenerated in full");
  const at::Tensor x = block_means(original, block).index_select(1, chosen);
  const at::Tensor y = block_means(processed, block).index_select(1, chosen);

  // Per channel: means, spreads and covariance of the block means, centred first.
  const at::Tensor mean_x = x.mean(1, true), mean_y = y.mean(1, true);
  const at::Tensor dx = x - mean_x, dy = y - mean_y;
  const at::Tensor var_x = (dx * dx).mean(1), var_y = (dy * dy).mean(1), cov = (dx * dy).mean(1);
  double largest = 0;
  for (int64_t c = 0; c < channels; ++c) {
    const auto k = static_cast<size_t>(c);
    const double vx = var_x[c].item<double>(), vy = var_y[c].item<double>(), cxy = cov[c].item<double>();
    const bool spread = std::sqrt(vx) >= kFlat && std::sqrt(vy) >= kFlat;
    const double gain = spread ? cxy / vx : 1.0;
    const bool fits = spread && cxy / std::sqrt(vx * vy) >= kMinCorrelation && gain >= kMinGain && gain <= kMaxGain;
    result.gain[k] = fits ? gain : 1.0;
    result.offset[k] = mean_y[c][0].item<double>() - result.gain[k] * mean_x[c][0].item<double>();
    // The correction is linear in the pixel: its largest size in 0..1 is at black or white.
    largest = std::max({largest, std::abs(result.offset[k]), std::abs(result.gain[k] - 1 + result.offset[k])});
  }
  if (largest < kNegligible) {
    std::fill(result.gain.begin(), result.gain.end(), 1.0);
    std::fill(result.offset.begin(), result.offset.end(), 0.0);
    return plain("the processing kept the tile's tone");
  }

  auto per_channel = [&](const std::vector<double>& values) {
    const std::vector<float> v(values.begin(), values.end());
    return at::tensor(at::ArrayRef<float>(v), original.options());
  };
  // One new tile: the toned original, then the processed pixels laid over it through the mask.
  at::Tensor tile = original * per_channel(result.gain);
  tile.add_(per_channel(result.offset)).clamp_(0, 1).lerp_(processed, mask);
  result.tile = tile;
  result.applied = true;
  return result;
}

}  // namespace quorv::fusion

#include <ATen/ATen.h>

#include <algorithm>

#include "host/errors.h"
#include "host/nodes/upscale_model_internal.h"

namespace quorv::host {
namespace {

// The overlap used when the probe cannot tell: enough for the usual small
// convolutional upscalers, and a piece of 512 keeps most of its area.
constexpr int64_t kFallbackReach = 32;
// A change smaller than this in the result is taken as no change at all.
constexpr double kNoChange = 1e-7;

// How far, in input pixels, a change of the centre pixel of a `side` x
// `side` probe reaches in the model's result; -1 when it reaches the probe's
// edge (the model looks further, or everywhere); ModelFacts with scale 0 when
// the model fails on the probe or returns nonsense.
ModelFacts probe(const UpscaleModel::Module& module, const std::string& name, int64_t side) {
  // A smooth, uneven picture: flat grey can sit in a dead zone of an activation.
  const at::Tensor ramp = at::linspace(0.0, 6.0, side, at::kFloat);
  const at::Tensor base =
      (0.5 + 0.2 * at::sin(ramp.view({1, 1, side, 1}) * 1.7 + ramp.view({1, 1, 1, side})))
          .expand({1, 3, side, side})
          .contiguous();
  at::Tensor poked = base.clone();
  const int64_t c = side / 2;
  poked.narrow(2, c, 1).narrow(3, c, 1).add_(0.25);
  at::Tensor a, b;
  try {
    a = run_model_piece(module, name, base, "probe");
    b = run_model_piece(module, name, poked, "probe");
  } catch (const std::exception&) {
    return {};
  }
  const int64_t scale = a.size(2) / side;
  const at::Tensor changed = ((b - a).abs().amax({0, 1}) > kNoChange);
  const at::Tensor rows = changed.any(1).nonzero(), cols = changed.any(0).nonzero();
  if (rows.numel() == 0) return {scale, 0};
  const int64_t top = rows.min().item<int64_t>(), bottom = rows.max().item<int64_t>();
  const int64_t left = cols.min().item<int64_t>(), right = cols.max().item<int64_t>();
  const int64_t last = side * scale - 1;
  if (top == 0 || left == 0 || bottom == last || right == last) return {scale, -1};
  // The poked pixel becomes result pixels c*s .. c*s + s - 1.
  const int64_t reach_out = std::max({c * scale - top, bottom - (c * scale + scale - 1),
                                      c * scale - left, right - (c * scale + scale - 1)});
  return {scale, (reach_out + scale - 1) / scale};
}

}  // namespace

ModelFacts UpscaleModel::facts() const {
  if (!module_) throw ValueError("upscale model: none loaded");
  Module& m = *module_;
  std::call_once(m.probed, [&] {
    m.measured = m.given;
    if (m.given.scale > 0 && m.given.receptive_field > 0) return;
    ModelFacts seen = probe(m, name_, 96);
    if (seen.scale > 0 && seen.receptive_field < 0) seen = probe(m, name_, 320);
    if (m.measured.scale == 0) m.measured.scale = seen.scale;
    if (m.measured.receptive_field == 0)
      m.measured.receptive_field = seen.scale > 0 && seen.receptive_field >= 0 ? seen.receptive_field : kFallbackReach;
  });
  return m.measured;
}

}  // namespace quorv::host

// The fusion step written out with whole pictures, one step at a time: the
// reference the fast fusion updates are compared with (tests and benchmarks).
#pragma once

#include <ATen/core/Tensor.h>

#include <vector>

#include "host/image_tensor.h"
#include "host/node_state.h"
#include "image/service/service.h"

namespace quorv::test {

/// The fused tile for the service reply `info`, computed with full-size own
/// weight, black and white pictures and one masked composite of the whole tile.
at::Tensor literal_fusion(const NodeState& SELF, const at::Tensor& tile, const service::Json& info,
                          const std::vector<OptionalImage>& outputs, bool blend_all);

}  // namespace quorv::test

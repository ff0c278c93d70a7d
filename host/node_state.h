// NodeState: the calling node object (`SELF`) that the host's upscaler node
// passes to the module, with its sub-objects SIZE, PARAMS, OUTPUTS, SEGMENTS
// and API.
//
// Every field starts unset. The module never supplies a default: reading a
// field the host did not set throws KeyError("NodeState field SIZE.shifttl is
// not set"). Operations that write fields (the grid and the mask constants)
// assign them like plain members:
//
//   SELF.SIZE.fullW = 1024;             // set
//   int64_t w = SELF.SIZE.fullW.get();  // read, throws when unset
#pragma once

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/errors.h"

namespace quorv {

/// One named NodeState field that may be unset.
template <class T>
class Field {
 public:
  explicit Field(const char* name) : name_(name) {}

  Field& operator=(T value) {
    value_ = std::move(value);
    return *this;
  }

  /// The value; KeyError naming the field when it was never set.
  const T& get() const {
    require_set();
    return *value_;
  }
  T& get() {
    require_set();
    return *value_;
  }

  bool is_set() const noexcept { return value_.has_value(); }
  void reset() noexcept { value_.reset(); }
  const char* name() const noexcept { return name_; }

 private:
  void require_set() const {
    if (!value_) throw KeyError(std::string("NodeState field ") + name_ + " is not set");
  }

  const char* name_;
  std::optional<T> value_;
};

/// Tile sizes and mask margins, in pixels unless said otherwise.
struct SizeState {
  Field<int64_t> fullW{"SIZE.fullW"};  ///< tile width including all overlaps
  Field<int64_t> fullH{"SIZE.fullH"};  ///< tile height including all overlaps
  Field<int64_t> inpaint_border_margin{"SIZE.inpaint_border_margin"};
  Field<int64_t> inpaint_blur_margin{"SIZE.inpaint_blur_margin"};
  Field<int64_t> shift{"SIZE.shift"};  ///< inpaint shift
  Field<int64_t> composite_blur_margin{"SIZE.composite_blur_margin"};
  Field<int64_t> actual_inner_tile_sizeW{"SIZE.actual_inner_tile_sizeW"};
  Field<int64_t> actual_inner_tile_sizeH{"SIZE.actual_inner_tile_sizeH"};
  /// how much shorter the right and bottom inpaint bands are than the left and top ones
  Field<int64_t> shifttl{"SIZE.shifttl"};
  Field<double> inpaint_max{"SIZE.inpaint_max"};  ///< inpaint strength
};

/// The user's settings and the grid counts.
struct ParamsState {
  Field<int64_t> rows_qty{"PARAMS.rows_qty"};
  Field<int64_t> cols_qty{"PARAMS.cols_qty"};
  /// "Tile_Fusion", "Neuro_Generative_Tile_Fusion", "NGTF_FLUX_Kontext" or anything else
  Field<std::string> Tile_Fusion_Mode{"PARAMS.Tile_Fusion_Mode"};
  Field<double> Tile_Fusion_Blend{"PARAMS.Tile_Fusion_Blend"};
  Field<bool> FLUX_Kontext{"PARAMS.FLUX_Kontext"};
  Field<bool> Fast_1_Tile_Preview{"PARAMS.Fast_1_Tile_Preview"};
  Field<bool> Debug_Grid_Overlay{"PARAMS.Debug_Grid_Overlay"};
};

/// Pictures the node keeps between calls.
struct OutputsState {
  Field<at::Tensor> image{"OUTPUTS.image"};  ///< the enlarged full picture
  Field<std::vector<at::Tensor>> grid_images_all{"OUTPUTS.grid_images_all"};  ///< every tile by index
  Field<std::vector<at::Tensor>> grid_images{"OUTPUTS.grid_images"};  ///< regular tiles; only counted
};

/// Detected segments of the picture.
struct SegmentsState {
  /// One pair per segment; `second` is the segment's upscaled mask.
  Field<std::vector<std::pair<at::Tensor, at::Tensor>>> segms_cropped_masks{
      "SEGMENTS.segms_cropped_masks"};
};

/// The account used for the fusion service.
struct ApiState {
  Field<std::string> token{"API.token"};  ///< bearer token
};

/// The calling node object.
struct NodeState {
  SizeState SIZE;
  ParamsState PARAMS;
  OutputsState OUTPUTS;
  SegmentsState SEGMENTS;
  ApiState API;
};

}  // namespace quorv

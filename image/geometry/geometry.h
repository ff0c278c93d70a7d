// Tile geometry: sizes divisible by 8, the tile grid, cutting tiles out, the
// Kontext crop, downscaling and 8-bit conversion.
#pragma once

#include <ATen/core/Tensor.h>
#include <opencv2/core/mat.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "host/node_state.h"
#include "image/grid_spec.h"

namespace quorv::geometry {

/// Messages of format_2_divby8 (the second is raised by bindings whose
/// callers can pass something that is not a tensor).
inline constexpr const char* kNoImageProvided = "Quorv Image: No image provided";
inline constexpr const char* kImageNotATensor = "Quorv Image: Image provided is not a Tensor";

struct NewDimensions {
  int64_t new_width;
  int64_t new_height;
};

struct Divby8Result {
  at::Tensor image;
  int64_t width;
  int64_t height;
  bool is_dviby8;
};

/// True when the picture's width (axis 2) and height (axis 1) are both
/// multiples of 8; the width is tested first.
bool is_divisible_by_8(const at::Tensor& image);

/// Each size rounded up to the next multiple of 8 (0 stays 0, 1..8 give 8).
NewDimensions calculate_new_dimensions(int64_t image_width, int64_t image_height);

/// The picture brought to sizes divisible by 8. A divisible picture comes
/// back as the same tensor with is_dviby8 true; any other is resized with the
/// host's ImageScale ("lanczos", crop "center") to the rounded-up sizes, with
/// is_dviby8 false. An undefined tensor: ValueError(kNoImageProvided).
Divby8Result format_2_divby8(const at::Tensor& image);

/// The tile grid of `image`: set_mask_constants(SELF) first, then the two
/// margins clamped to >= 0 on SELF, then one GridSpec per tile, row by row.
/// Every tile is SIZE.fullW x SIZE.fullH; the last column and row are pushed
/// against the picture's right and bottom edges:
///
///   x: 0      step    2*step ...  W - fullW
///      +------+-+----+-+          +--------+
///      | col0 | |col1| |   ...    | last   |
///
/// order = row * rows_qty + col (numbers may repeat or leave gaps). The row
/// and column lists go through reorder_edges_to_center, of whose results only
/// the lengths count: records always come out row by row.
///
/// Errors of set_mask_constants pass through (the NodeState keeps what it
/// wrote). After the clamps, ValueError naming the picture and tile sizes
/// for: fewer than one row or column; a picture smaller than one tile with
/// two or more columns (rows); a step so short that a column (row) before the
/// last runs past the picture's edge; a tile number reaching kSegmentOrder;
/// a reordered list of another length.
std::vector<GridSpec> get_tiled_grid_specs(NodeState& SELF, const at::Tensor& image);

/// One view of `image` per GridSpec (all batch entries and channels, rows
/// [y_start, y_start + height_inc), columns [x_start, x_start + width_inc),
/// clipped at the picture's edges). A negative coordinate or size: ValueError.
std::vector<at::Tensor> get_grid_images(const at::Tensor& image, const std::vector<GridSpec>& grid_specs);

/// Position of the first record whose row equals `x` and whose col equals
/// `y` (note: x is the row, y the column), or -1.
int64_t find_index(const std::vector<GridSpec>& grid_spec, int64_t x, int64_t y);

struct KontextCrop {
  int64_t k_w;
  int64_t k_h;
  int64_t crop_kontext_x;
  int64_t crop_kontext_y;
};

/// The tile without a band of SIZE.inpaint_border_margin along each side that
/// faces a neighbour, judged from the tile's grid position (the first column
/// and row count as first even when they are also last). Reads
/// PARAMS.cols_qty, PARAMS.rows_qty and SIZE.inpaint_border_margin; only the
/// record's row and col matter.
///
///   3 x 3 grid, margin m, tile W x H:
///     (0,0): W-m  x H-m  at (0, 0)     (1,1): W-2m x H-2m at (m, m)
///     (0,2): W-m  x H-m  at (m, 0)
///
/// An index outside the list: IndexError. A negative margin, or borders
/// wider (higher) than the tile: ValueError.
KontextCrop get_kontext_crop(const NodeState& SELF, const at::Tensor& tile_to_process,
                             const std::vector<GridSpec>& grid_specs, int64_t index);

/// `image` resized to width x height with the host's ImageScale (crop
/// disabled); with the method exactly "with model" it is first enlarged by
/// the host's upscale model `upscale_model_name`, and the method text is
/// passed on unchanged to the resize.
at::Tensor better_downscale(const at::Tensor& image, int64_t width, int64_t height,
                            const std::string& upscale_method = "lanczos",
                            const std::optional<std::string>& upscale_model_name = std::nullopt);

/// A tensor or an OpenCV array ("plain array").
using ArrayLike = std::variant<at::Tensor, cv::Mat>;

/// An 8-bit OpenCV array with every axis of length 1 removed ([1, H, W] gives
/// H x W; [1, H, W, 3] gives H x W with 3 channels): values divided by the
/// maximum when it is above 1, times 255, fractions dropped; values below 0
/// and NaN become 0.
cv::Mat to_numpy_uint8(const ArrayLike& mask);

}  // namespace quorv::geometry

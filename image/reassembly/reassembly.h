// Reassembly: pasting processed tiles back into one picture, the list of
// tiles with their prompts, and segments pasted through their own masks.
//
// Two kinds of tiles share one GridSpec list and one picture list: regular
// tiles (order below 8000) first, in the order of their GridSpecs, then
// segment tiles (order 8000 or more); the i-th segment tile's picture sits at
// position (number of regular GridSpecs) + i and may be absent.
#pragma once

#include <ATen/core/Tensor.h>

#include <any>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/image_tensor.h"
#include "host/node_state.h"
#include "image/grid_spec.h"

namespace quorv::reassembly {

/// A segment's rectangle in the full picture; its picture is pasted with its
/// top-left corner at (x1, y1).
struct CropRegion {
  int64_t x1 = 0;
  int64_t y1 = 0;
  int64_t x2 = 0;
  int64_t y2 = 0;
};

/// One detected segment: where it goes and the mask it is pasted through
/// (absent: the paste is skipped with a message).
struct SegmentRecord {
  CropRegion crop_region;
  std::optional<at::Tensor> compositing_mask;
};

/// The segment list as the host keeps it: a header it uses for its own ends
/// (not read here) and one record per segment.
struct SegmentList {
  std::any header;
  std::vector<SegmentRecord> segms;
};

/// One finished tile of a pass.
struct TileOrderEntry {
  int64_t order;
  OptionalImage picture;
  std::string prompt;
};

struct TileRebuild {
  at::Tensor full_image;
  at::Tensor full_image_only_tiles;
};

struct FinalRebuild {
  at::Tensor full_image;             ///< tiles and segments
  at::Tensor full_image_only_tiles;  ///< before any segment was pasted
  std::vector<TileOrderEntry> tiles_order;
  OptionalImage image_gridoverlay;   ///< the first entry of output_images
};

/// Pastes tiles one at a time into a canvas the caller owns, exactly as
/// rebuild_tiles does (same masks, same order is up to the caller): the road
/// of a run can paste each tile as soon as it is final instead of keeping all
/// of them for one rebuild at the end. Masks are built once per tile size and
/// kept. The canvas is changed in place; the tile is not.
class TilePaster {
 public:
  TilePaster(const NodeState& SELF, int64_t feather_mask, int64_t crop_margin);
  ~TilePaster();
  TilePaster(TilePaster&&) noexcept;

  /// `tile` pasted at (spec.x_start, spec.y_start) through the mask of its
  /// size and position (feathered left unless in column 0, top unless in row 0).
  void paste(at::Tensor& canvas, const at::Tensor& tile, const GridSpec& spec);

 private:
  struct MaskSets;
  const NodeState& SELF_;
  int64_t feather_mask_, crop_margin_;
  std::unique_ptr<MaskSets> masks_;
};

/// Pastes the regular tiles, in list order, onto a private copy of
/// `output_image`, each at (x_start, y_start) through a mask feathered on its
/// left edge unless it is in column 0 and on its top edge unless it is in
/// row 0 (right and bottom edges never):
///
///            col 0          col > 0
///   row 0    no feather     left
///   row > 0  top            left and top
///
/// Masks come from create_custom_tile_overlay_mask with composite_blur_margin
/// = feather_mask and inpaint_border_margin = crop_margin, built once per
/// distinct tile size and position. With PARAMS.Debug_Grid_Overlay each tile
/// first gets its band lines drawn. Logs "Rebuilding tile i/total" per tile.
/// Returns the canvas cut to `image`'s height and width, and a separate copy
/// of it. An empty list: ValueError; a regular tile without a picture: ValueError.
TileRebuild rebuild_tiles(const NodeState& SELF, const std::vector<GridSpec>& grid_spec_tile,
                          const std::vector<OptionalImage>& output_images, const at::Tensor& output_image,
                          const at::Tensor& image, int64_t total, const std::string& iteration,
                          int64_t feather_mask, int64_t crop_margin);

/// (order, picture, prompt) of every regular tile, then of every segment tile
/// that has a picture, each kind in GridSpec order; prompts missing from
/// grid_prompts are "". A position beyond output_images: IndexError.
std::vector<TileOrderEntry> rebuild_tile_order(const std::vector<OptionalImage>& output_images,
                                               const std::vector<GridSpec>& grid_specs,
                                               const std::vector<std::string>& grid_prompts);

/// The full picture of a pass: regular tiles pasted onto `image`
/// (rebuild_tiles, margins from SIZE.composite_blur_margin and
/// set_mask_constants), then, unless `nosegments`, every segment tile with a
/// picture pasted at its crop_region through its compositing_mask. A segment
/// whose paste fails prints "Segment skipped. Error during image compositing:
/// <error>" and leaves the picture as it was. With PARAMS.Fast_1_Tile_Preview
/// nothing is pasted and both pictures are `image` itself.
/// upscale_scale, rows_qty, cols_qty and upscale_method have no effect;
/// segs_scales and segms_cropped_masks need an entry per pasted segment.
FinalRebuild rebuild_final_image(NodeState& SELF, const std::string& iteration,
                                 const std::vector<OptionalImage>& output_images, const at::Tensor& image,
                                 const std::vector<GridSpec>& grid_specs, const std::string& upscale_scale,
                                 int64_t rows_qty, int64_t cols_qty, const std::vector<std::string>& grid_prompts,
                                 const std::vector<double>& segs_scales,
                                 const std::vector<std::pair<at::Tensor, at::Tensor>>& segms_cropped_masks,
                                 const SegmentList& segms_new, const std::string& upscale_method,
                                 bool nosegments = false);

/// The regenerated segment pasted at (0, 0) of its crop of the finished
/// picture through the segment's upscaled mask, the second element of
/// SEGMENTS.segms_cropped_masks at position index - (number of
/// OUTPUTS.grid_images). Result: a new picture of the crop's size. A position
/// outside the list (including an index below the regular tiles): IndexError.
at::Tensor composite_segment_with_generation(const NodeState& SELF, const at::Tensor& cropped_segment_from_finalimage,
                                             const at::Tensor& original_segment, int64_t index);

}  // namespace quorv::reassembly

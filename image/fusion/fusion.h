// Tile fusion: blending a freshly generated tile into its finished
// neighbours, strip by strip and corner by corner, as the fusion service's
// reply directs.
//
// Weights: 1 means the neighbour's pixel, 0 the tile's own pixel. Every blend
// only reads its inputs and returns a new strip or corner, which the fusion
// updates paste into their private copy of the tile.
#pragma once

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/image_tensor.h"
#include "host/node_state.h"
#include "image/grid_spec.h"
#include "image/measure/measure.h"
#include "image/service/service.h"

namespace quorv::fusion {

/// The overlap strip of one edge of `combined` with the neighbour faded in.
///
///   "top":  rows 0 .. cropmargin-1 of the tile, the last cropmargin rows of
///           the neighbour; weight per row, from the tile's outer edge:
///
///           1 1 1 ... 1 | 1 ............ 0 | 0 ... 0
///           pure neighbour  ramp (feather_margin) zero band (full_border_margin)
///
///   "left": the same along columns; "bottom", "right": the mirror image
///   (zero band at the first rows/columns, the ramp rising 0 -> 1).
///
/// full_border_margin = max(SIZE.inpaint_border_margin - SIZE.inpaint_blur_margin
/// - SIZE.shift, 0); a feather_margin <= 0, or one that leaves no room for the
/// band, is raised to 4; the zero band is dropped when ramp and band do not
/// fit, the ramp too when it alone does not fit (weight all 1). Ramps are
/// linspace values with both ends included. Weights are created on `device`.
///
/// Result [B, cropmargin, W, C] (top, bottom) or [B, H, cropmargin, C] (left,
/// right); any other `side` (compared exactly) returns `neighbor_img` itself.
/// cropmargin <= 0: ValueError. A strip that does not fit the tile or the
/// neighbour, or pictures whose other axis, batch or channels differ: Error.
at::Tensor blend_neighbor_tensor(const NodeState& SELF, const at::Tensor& combined,
                                 const at::Tensor& neighbor_img, int64_t cropmargin, const std::string& side,
                                 int64_t feather_margin, const at::Device& device);

/// The top-right crop_y x crop_x corner of `combined` mixed with the
/// neighbour's bottom-left corner (its last crop_y rows, first crop_x columns).
/// feather_margin_x > 0: columns 0 .. feather_margin_x-1 of the corner fall
/// 1 -> 0, later columns weigh 1. feather_margin_y > 0: the last
/// feather_margin_y rows fall 1 -> 0, earlier rows weigh 1. Both: the product.
/// Both <= 0: the neighbour corner alone. A ramp longer than its axis: Error.
at::Tensor blend_topright_tensor(const NodeState& SELF, const at::Tensor& combined, const at::Tensor& neighbor_img,
                                 int64_t crop_x, int64_t crop_y, int64_t feather_margin_x,
                                 int64_t feather_margin_y, const at::Device& device);

/// The bottom-right crop_y x crop_x corner of `combined` mixed with the
/// neighbour's top-left corner; weight feather_y[r] * feather_x[c], both
/// ramps 0 -> 1 over the first feather_margin rows and columns, then 1:
///
///   0 0 0 0 0
///   0 . . . .     0 along the corner's first row and column (toward the
///   0 . . 1 1     tile's interior), 1 where both ramps are passed
///
/// feather_margin <= 0: the neighbour corner alone. A ramp longer than either
/// axis: Error.
at::Tensor blend_bottomright_tensor(const NodeState& SELF, const at::Tensor& combined,
                                    const at::Tensor& neighbor_img, int64_t crop_x, int64_t crop_y,
                                    int64_t feather_margin, const at::Device& device);

/// Alternative top-right blend: ramps 1 -> 0 over the first feather_margin
/// columns and the first feather_margin rows, multiplied. feather_margin <= 0
/// or not below both crop sizes: the neighbour corner alone.
at::Tensor blend_topright_tensor_perpv1(const NodeState& SELF, const at::Tensor& combined,
                                        const at::Tensor& neighbor_img, int64_t crop_x, int64_t crop_y,
                                        int64_t feather_margin, const at::Device& device);

/// The fusion step for the tile at `index` of `grid_specs`: asks the fusion
/// service for its finished neighbours, blends the top, top-right and left
/// ones into a copy of the tile (with `blend_all` also right, bottom and
/// bottom-right, guarded: an error there prints "Quorv Tile fusion shape
/// mismatch BottomRight: <error>" and keeps the writes made before it), and
/// composites the blended copy with the untouched tile through the tile's own
/// weight in the top and left strips. Neighbour pictures come from
/// output_images, or OUTPUTS.grid_images_all where that entry is absent.
///
/// Reply entries are read leniently: "crop_x"/"crop_y" default to 0, and a
/// top or left strip is crop_x wide when crop_x is not 0, else crop_y.
/// Segment tiles (order >= 8000) come back as an exact copy without asking
/// the service; a failed service call leaves the tile as generated. Reply
/// values are untrusted: a member that is not an integer is a ValueError, an
/// "index" outside output_images an IndexError, a crop that is negative or
/// larger than the tile or the neighbour a ValueError naming the direction
/// and sizes. Result: a new
/// picture of the tile's shape; nothing given is changed.
at::Tensor add_last_generated_to_base_image(const NodeState& SELF, const std::string& iteration,
                                            const at::Tensor& thisindexTile, const std::vector<GridSpec>& grid_specs,
                                            int64_t index, const std::vector<OptionalImage>& output_images,
                                            bool blend_all, const service::Json& upscalemultiplier = 1);

/// The accumulating form of the fusion step: the same blends, read strictly
/// ("index", and "crop_x" and/or "crop_y" as each direction needs them, must
/// be present: KeyError otherwise), with the own-weight map accumulated from
/// the top and left strips.
at::Tensor add_last_generated_to_base_image_V1(const NodeState& SELF, const std::string& iteration,
                                               const at::Tensor& thisindexTile,
                                               const std::vector<GridSpec>& grid_specs, int64_t index,
                                               const std::vector<OptionalImage>& output_images, bool blend_all,
                                               const service::Json& upscalemultiplier = 1);

/// The service call of one fusion update as its caller sees it: the limits it
/// chooses, and how the exchange ended (written by the update).
struct ServiceCall {
  service::ClientOptions options;
  service::FusionOutcome outcome;
};

/// Which of the two fusion updates fusion_update runs.
enum class FusionForm { Base, Accumulating };

/// add_last_generated_to_base_image (Base) or add_last_generated_to_base_image_V1
/// (Accumulating), with the service call's limits taken from `call` and its
/// outcome written into `call.outcome`. The service's warning lines are not
/// printed: a caller that asks for the outcome reports it itself. A failed
/// exchange leaves the tile as generated, as in the two updates.
at::Tensor fusion_update(FusionForm form, const NodeState& SELF, const at::Tensor& thisindexTile,
                         const std::vector<GridSpec>& grid_specs, int64_t index,
                         const std::vector<OptionalImage>& output_images, bool blend_all,
                         const service::Json& upscalemultiplier, ServiceCall& call);

/// fusion_update written into `tile` itself, which the caller owns and no
/// one else reads while it runs (not a view of a picture, not a neighbour in
/// `output_images`). Instead of copying the tile it copies only the bands the
/// first blends overwrite and the composite reads again; a caller fusing
/// many tiles passes `scratch`, the memory those copies reuse from one call
/// to the next (grown when too small), so they do not churn the heap.
/// Exceptions are those of fusion_update; when one is thrown the tile is unchanged.
void fusion_update_in_place(FusionForm form, const NodeState& SELF, at::Tensor& tile,
                            const std::vector<GridSpec>& grid_specs, int64_t index,
                            const std::vector<OptionalImage>& output_images, bool blend_all,
                            const service::Json& upscalemultiplier, ServiceCall& call,
                            at::Tensor* scratch = nullptr);

/// What match_tile_tone did to one tile.
struct ToneMatch {
  at::Tensor tile;              ///< the corrected tile; the tile given, unchanged, when skipped
  bool applied = false;
  std::string reason;           ///< why it was skipped, or what it matched ("2 neighbours")
  std::vector<double> gain;     ///< per channel; 1 when skipped or when only the offset was fitted
  std::vector<double> offset;   ///< per channel, in picture units (1 = white); 0 when skipped
  int64_t neighbours = 0;       ///< finished tiles overlapping the tile
  int64_t overlap_pixels = 0;   ///< pixels they share with it, counted once per neighbour
  double error_before = 0;      ///< mean |tile - neighbour| over those pixels (every other row and column), 1 = white
  double error_after = 0;       ///< the same with the correction (equal to before when skipped)
};

/// Brings a processed tile's tone to that of its finished neighbours before
/// it is fused: per channel, the gain and offset that give the tile's pixels
/// in the overlaps the mean and spread of the neighbours' pixels there
/// (offset only where either side is flat or the two hardly correlate, so
/// that differing content never flattens a tile).
///
/// Finished neighbours are the entries of `finished` that hold a picture, are
/// not the tile itself, and overlap it in `grid_specs`. The correction is
/// applied in full over the overlap with every finished side and fades
/// linearly to none at the far edge of a side whose neighbour is still to
/// come, so that tile meets this one close to its own tone; a picture edge
/// does not fade. For a tile with finished left and top neighbours:
///
///     1 1 1 1 1 1        weight of the correction: 1 - (1 - fx)(1 - fy),
///     1 1 . . . .        fx falling 1 -> 0 from the left overlap to the
///     1 . . . . .        right one, fy alike from top to bottom
///     1 . . . . 0
///
/// Then what one gain and offset cannot follow (tone drifting along a side,
/// two sides that want different corrections) is evened out side by side:
/// along each finished side, the difference between the level wanted and
/// the tile's, averaged over 49 pixels along it, is added in full next to the
/// side and fading like the gain and offset beyond. Without `originals` the
/// level wanted is the neighbour's mean over the overlap, line for line the
/// same. With `originals` (the tiles as they were before processing, by
/// grid position, such as crops of the enlarged picture) it is the shift the
/// neighbour's processing made, read just outside the tile, and the tile's
/// lines next to the side (the overlap and 32 more) take it line by line:
/// masks bring the original back at a tile's edges, so the overlaps
/// themselves show more of the original than of either tile's tone.
///
/// Skipped, with the reason, and the tile returned as given: a segment tile,
/// no finished neighbour, fewer than 256 shared pixels, a gain outside 0.5 ..
/// 2 (with `originals`, only the gain and offset are skipped then), or
/// neither step changing the tile by a quarter of a grey level while
/// lowering the mean difference in the overlaps. Values are clamped to 0 .. 1.
///
/// `tile`: [B, H, W, C] float32 of grid_specs[index]'s size; a finished
/// neighbour, and an original, must have the tile's batch and channels and
/// its own spec's size. ValueError / IndexError otherwise. Nothing given is changed.
/// How far outside its tile match_tile_tone reads the neighbours' originals:
/// lines of an original farther from the tile than this are never read.
constexpr int64_t kToneMatchReach = 32;

ToneMatch match_tile_tone(const at::Tensor& tile, const std::vector<GridSpec>& grid_specs, int64_t index,
                          const std::vector<OptionalImage>& finished, const std::vector<at::Tensor>& originals = {});

/// match_tile_tone written into `tile` itself, which the caller owns and no
/// one else reads while it runs (not a view of a picture another tile shares,
/// not an entry of `finished`). The returned ToneMatch's tile is `tile`;
/// when the match is skipped, or an exception is thrown, the tile is unchanged.
ToneMatch match_tile_tone_in_place(at::Tensor& tile, const std::vector<GridSpec>& grid_specs, int64_t index,
                                   const std::vector<OptionalImage>& finished,
                                   const std::vector<at::Tensor>& originals = {});

/// What blend_kept_band_in_tone did.
struct KeptBandTone {
  at::Tensor tile;             ///< the processed tile put back through its mask
  bool applied = false;        ///< whether the kept pixels were brought to the processed tone
  std::string reason;          ///< why not, or empty
  std::vector<double> gain;    ///< per channel; 1 when skipped or when only the offset was fitted
  std::vector<double> offset;  ///< per channel, in picture units (1 = white); 0 when skipped
};

/// Puts a processed tile back through its inpaint mask, tile = lerp(original,
/// processed, mask), with the pixels the mask kept (mask < 1) in the tone the
/// processing gave the rest of the tile:
///
///     tile = lerp(clamp(gain x original + offset, 0, 1), processed, mask)
///
/// A processor that shifts a tile's tone leaves its kept band at the
/// original's: a step inside the tile that fusion and tone matching would
/// otherwise read as the tile's tone at its edges. Per channel, gain and
/// offset are the least-squares fit of processed to original over the means
/// of the 8 x 8 blocks the mask regenerates in full (block means follow tone,
/// not the detail a processor adds); only the offset where the original's
/// blocks are flat (spread under one grey level) or the two hardly correlate
/// (below 0.5), or the gain falls outside 0.5 .. 2. The kept pixels keep
/// their detail; only their tone moves.
///
/// Skipped, with the reason, and the plain lerp returned: a mask that keeps
/// no pixel, fewer than 16 such blocks, or a correction under a quarter of a
/// grey level.
///
/// `original`, `processed`: [B, H, W, C] float32 of one shape; `mask`: [1 or
/// B, H, W, 1] in 0..1, as the processor saw it. ValueError otherwise.
/// Nothing given is changed.
KeptBandTone blend_kept_band_in_tone(const at::Tensor& original, const at::Tensor& processed, const at::Tensor& mask);

/// One border refix_seams re-blended, with its figure before and after.
struct RefixedBorder {
  measure::SeamBorder before;
  double after = 1.0;
};

/// What refix_seams did.
struct SeamRefix {
  at::Tensor picture;                  ///< the result with its visible borders re-blended (the result itself when none)
  measure::SeamVisibility before;      ///< of the result as given
  measure::SeamVisibility after;       ///< of `picture`
  std::vector<RefixedBorder> borders;  ///< those above the threshold, in the order measured
};

/// Re-fuses, once, the borders of a rebuilt picture that stand out: every
/// border whose measure::seam_borders figure is above `threshold` gets the
/// step the processing put across it spread over a window of the overlap and
/// `reach` = max(48, 1.5 x overlap) lines on each side:
///
///          reach      overlap      reach
///      |-----------|===========|-----------|
///      e(first)   smooth step of the excess    e(last)
///
/// In the window, result - reference averaged over 33 pixels along the border
/// (each line on its own across it) is replaced by a smoothstep from its
/// value at the window's first line to its value at the last: the picture is
/// unchanged at the window's ends and what varies along the border (texture)
/// is kept. Values are clamped to 0 .. 1. Borders are then measured again;
/// windows of nearby borders overlap, so when some rose, a second try from
/// `result` leaves them out, and a picture whose figure rose is not kept
/// (`picture` is `result`, no border listed).
///
/// `result`, `reference` (the enlarged picture before tile work): [B, H, W, C]
/// float32 of one shape, else ValueError; a threshold below 1 or not finite:
/// ValueError. `visibility` (such as alpha) weighs the pixels when borders
/// are measured, as in measure::seam_visibility. Nothing given is changed.
SeamRefix refix_seams(const at::Tensor& result, const at::Tensor& reference, const std::vector<GridSpec>& grid_specs,
                      double threshold = measure::kVisibleSeam, const at::Tensor& visibility = {});

}  // namespace quorv::fusion

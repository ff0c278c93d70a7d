// Pieces shared by the blends and the two fusion updates (module-internal).
#pragma once

#include <ATen/core/Tensor.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/image_tensor.h"
#include "host/node_state.h"
#include "image/service/service.h"

namespace quorv::fusion::detail {

enum class Side { Top, Left, Bottom, Right };

/// "top", "left", "bottom", "right" (exact); nullopt for anything else.
std::optional<Side> parse_side(const std::string& side);

/// Axis of the picture a strip of `side` runs across: 1 (rows) or 2 (columns).
inline int64_t strip_axis(Side side) { return side == Side::Top || side == Side::Bottom ? 1 : 2; }

/// The neighbour weight of a strip, [1, cropmargin, 1, 1] or [1, 1, cropmargin, 1]
/// float32 on `device`, exactly as blend_neighbor_tensor weighs it.
at::Tensor strip_weight(const NodeState& SELF, int64_t cropmargin, Side side, int64_t feather_margin,
                        const at::Device& device);

/// The tile's strip of `side` (its first rows or columns for top and left,
/// its last for bottom and right) and the neighbour's matching strip.
at::Tensor tile_strip(const at::Tensor& tile, Side side, int64_t cropmargin);
at::Tensor neighbour_strip(const at::Tensor& neighbour, Side side, int64_t cropmargin);

/// Error unless both pictures hold a strip of `cropmargin` and agree across it.
void require_strip(const at::Tensor& combined, const at::Tensor& neighbor_img, int64_t cropmargin, Side side,
                   const std::string& side_name);

/// Rethrows the exception being handled, of the same kind, with SELF's token
/// masked in its text: reply values may be anything, the token included.
[[noreturn]] void rethrow_without_token(const NodeState& SELF);

/// Corners: rows 0..crop_y-1 or the last crop_y rows, and the first or last crop_x columns.
at::Tensor top_right_of(const at::Tensor& t, int64_t crop_x, int64_t crop_y);
at::Tensor bottom_right_of(const at::Tensor& t, int64_t crop_x, int64_t crop_y);
at::Tensor bottom_left_of(const at::Tensor& t, int64_t crop_x, int64_t crop_y);
at::Tensor top_left_of(const at::Tensor& t, int64_t crop_x, int64_t crop_y);

/// ValueError for crops <= 0; Error unless both pictures hold the corner and
/// agree in batch and channels, or when they are not on `device`.
void require_corner(const at::Tensor& combined, const at::Tensor& neighbor_img, int64_t crop_x, int64_t crop_y,
                    const at::Device& device, const char* op);

/// Neighbour weights of the corner blends ([1, crop_y, crop_x, 1] or a
/// broadcastable factor of it); undefined when the blend takes the
/// neighbour's corner as it is. A ramp longer than its axis: Error.
at::Tensor topright_weight(int64_t crop_x, int64_t crop_y, int64_t feather_margin_x, int64_t feather_margin_y,
                           const at::Device& device);
at::Tensor bottomright_weight(int64_t crop_x, int64_t crop_y, int64_t feather_margin, const at::Device& device);

/// feather * neighbour + (1 - feather) * area, written into `area` (a view of
/// a picture the caller owns) without a temporary of its size; `feather`
/// undefined copies the neighbour. Where the weight is exactly 0 or 1 the
/// area keeps its value or takes the neighbour's; only ramps are mixed.
void blend_into(at::Tensor area, const at::Tensor& neighbour_area, const at::Tensor& feather);

/// A float32 [B, H, W, C] picture on the CPU whose pixels are packed:
/// channels adjacent, pixels `C` floats apart; rows and batches may be strided.
bool pixels_packed(const at::Tensor& t);

/// blend_into for float32 CPU pictures whose pixels are packed (channels
/// adjacent, pixels `channels` apart; rows may be strided), `area` and
/// `neighbour_area` of one shape and apart in memory. `weights` is the host
/// map [weight_rows, weight_cols], each 1 or the area's extent. False, with
/// nothing written, when the pictures are not of that kind.
bool blend_into_cpu(at::Tensor& area, const at::Tensor& neighbour_area, const float* weights, int64_t weight_rows,
                    int64_t weight_cols);

/// The tone correction t + w * (t * (gain - 1) + offset), clamped to 0 .. 1,
/// with w = 1 - keep_y[row] * keep_x[column], from `tile` into `out` (which
/// may be `tile` itself) for float32 CPU pictures with packed pixels, rows
/// possibly strided. False, with nothing written, for any other kind of
/// picture, or when a profile's length or the channels do not match.
bool apply_tone_cpu(const at::Tensor& tile, at::Tensor& out, const std::vector<float>& gain,
                    const std::vector<float>& offset, const std::vector<float>& keep_y,
                    const std::vector<float>& keep_x);

/// Appends the pixels of every other row and column of `area` (float32
/// [B, H, W, C] on the CPU, any strides), channels adjacent, to `out`.
void append_every_other_pixel(const at::Tensor& area, std::vector<float>& out);

/// The mean of `band` (float32 [B, H, W, C] on the CPU, any strides) over
/// its lines across `across_axis` (1: rows, 2: columns): [B, along, C] in
/// double. NaN when the band has no lines.
at::Tensor mean_across(const at::Tensor& band, int64_t across_axis);

/// What processing did to lines first .. first + count - 1 across a side
/// (rows of a top or bottom side when `horizontal`, else columns), at
/// positions along_start .. along_start + length - 1 along it: tile -
/// original as [count][B][length][C]. Both float32 [B, H, W, C] of one
/// shape; the caller checks that the lines and positions lie inside them.
std::vector<float> band_shift(const at::Tensor& tile, const at::Tensor& original, bool horizontal, int64_t first,
                              int64_t count, int64_t along_start, int64_t length);

/// One finished side of a tile, as even_out_local_tone reads it. Across the
/// side, lines are counted in tile coordinates; along it, positions
/// along_start .. along_start + length - 1 are measured.
struct SideBand {
  bool horizontal;      ///< a top or bottom side: positions along are columns
  bool far_side;        ///< bottom or right
  bool hold;            ///< full weight through the tile (the opposite side is a picture edge or finished)
  int64_t along_start;
  int64_t full_lines;   ///< lines from the side with the full correction (the overlap and the bands)
  int64_t own_from, own_lines;  ///< the tile's band: lines own_from .. own_from + own_lines - 1
  at::Tensor target;    ///< [B, length, C] double on the CPU: the level the tile's band should have
  at::Tensor own_reference;  ///< [B, length, C] like target, subtracted from the band's mean; may be undefined
  at::Tensor original;  ///< the tile before processing, or undefined; when given, the full_lines nearest
                        ///< the side are evened out line by line, against target + original
};

/// Adds to `tile` (float32 [B, H, W, C]), per side in the order given,
/// target - (mean of the tile's band - own_reference), smoothed along the
/// side, in full over full_lines and fading linearly to none at the far edge
/// unless held (with an original, each of the full_lines takes target + its
/// original's line instead); values clamped to 0 .. 1. Each side is measured
/// after the earlier ones are added. Written into `tile` itself when
/// `in_place` (the caller owns it), else into a new copy; returns what was
/// written, or an undefined tensor, with nothing written, when no profile
/// reaches a quarter of a grey level. IndexError when a band does not fit the tile.
at::Tensor even_out_local_tone(const at::Tensor& tile, const std::vector<SideBand>& sides, bool in_place);

/// Ramp lengths of a fusion update, derived from the tile's margins.
struct FusionMargins {
  int64_t full_border_margin;  ///< max(border + blur + shift, 0)
  int64_t feather_ratio;       ///< min(full_border_margin, 32): top and left ramps
  int64_t margin_test;         ///< int(full_border_margin * 2 * PARAMS.Tile_Fusion_Blend)
  int64_t feather_margin;      ///< max(margin_test, 4): own-weight, right and bottom ramps
};
FusionMargins fusion_margins(const NodeState& SELF);

/// How reply entries are read: missing crops as 0, or as a KeyError.
enum class Reading { Lenient, Strict };

/// One existing neighbour of the reply, checked.
struct Neighbour {
  int64_t index;
  int64_t crop_x;
  int64_t crop_y;
  at::Tensor picture;
};

/// The neighbour named `direction` in `blend_info`, or nullopt when the reply
/// has none. "index" is required; "crop_x"/"crop_y" are read as `reading`
/// says (Strict reads only those marked needed). Values must be integers,
/// crops not negative; the picture comes from output_images or, where that
/// entry is absent, OUTPUTS.grid_images_all.
std::optional<Neighbour> read_neighbour(const service::Json& blend_info, const char* direction, Reading reading,
                                        bool needs_crop_x, bool needs_crop_y, const NodeState& SELF,
                                        const std::vector<OptionalImage>& output_images);

/// ValueError naming `direction` unless 0 < crop <= both extents.
void require_crop_fits(const char* direction, const char* what, int64_t crop, int64_t tile_extent,
                       int64_t neighbour_extent);

/// The tile as it came, where a fusion update's composite reads it once the
/// first blends have written over it: the tile itself (when they write into
/// a copy), or copies of its rows [0, top_rows) and columns [0, left_cols)
/// (when they write into the tile). The copies go into `scratch` when it is
/// large enough, and `scratch` is then the memory they use.
class TileBefore {
 public:
  static TileBefore whole(const at::Tensor& tile);
  static TileBefore bands(const at::Tensor& tile, int64_t top_rows, int64_t left_cols, at::Tensor* scratch);

  /// Rows [row, row + rows) and columns [col, col + cols) of the tile as it
  /// came; AssertionError when they lie outside what was kept.
  at::Tensor region(int64_t row, int64_t rows, int64_t col, int64_t cols) const;

 private:
  at::Tensor whole_, top_, left_;
};

/// The tile's own weight (1 = keep the tile's pixel) in the top and left
/// strips; exactly 1 everywhere else. Kept as a row profile for the top
/// strip, a column profile for the left strip and the block where both meet:
///
///         lx
///   +-----+-----------+
///   |corner  top(r)   |  ty rows
///   +-----+-----------+
///   |left |    1      |
///   | (c) |           |
///   +-----+-----------+
class OwnWeight {
 public:
  OwnWeight(int64_t height, int64_t width, const at::Device& device);

  /// Own weight of rows 0 .. cropmargin-1 becomes (1 - feather) x its old
  /// value where that is not exactly 1 (the strip blend of an all-ones tile
  /// with an all-zeros neighbour). Called at most once, before add_left.
  void add_top(const at::Tensor& feather);
  /// The same for columns 0 .. cropmargin-1; called at most once.
  void add_left(const at::Tensor& feather);

  /// combined <- w' * tile + (1 - w') * combined, w' the weight normalised to
  /// 0..1 by its minimum and maximum, NaN and infinities to 0. Where w' is 1
  /// the tile comes back exactly, so only the strips are blended and the
  /// rectangles in `written` (corners blended outside the strips) restored.
  void composite(at::Tensor& combined, const TileBefore& tile,
                 const std::vector<std::array<int64_t, 4>>& written) const;

  /// Whether composite changes anything (a top or left strip was added).
  bool composites() const { return top_rows() > 0 || left_cols() > 0; }
  /// Whether composite blends the whole tile, not only the strips: where the
  /// normalised weight outside them is not exactly 1.
  bool blends_everywhere() const;

  /// The whole map [height, width].
  at::Tensor materialise() const;

 private:
  int64_t top_rows() const { return top_.defined() ? top_.size(0) : 0; }
  int64_t left_cols() const { return left_.defined() ? left_.size(0) : 0; }
  /// Minimum and maximum over the whole map, as 0-d tensors.
  std::pair<at::Tensor, at::Tensor> range() const;
  /// Whether a weight of 1 (outside the strips) normalises to anything but 1 over `range`.
  static bool outside_strips_blend(const std::pair<at::Tensor, at::Tensor>& range);

  int64_t height_, width_;
  at::Device device_;
  at::Tensor top_;     // [top rows]: right of the left strip
  at::Tensor left_;    // [left columns]: below the top strip
  at::Tensor corner_;  // [top rows, left columns]
};

/// (map - min) / (max - min) when max > min, clamped to 0..1, NaN and
/// infinities replaced by 0; min and max given as 0-d tensors. A new tensor.
at::Tensor normalise_weight(const at::Tensor& map, const at::Tensor& min, const at::Tensor& max);

}  // namespace quorv::fusion::detail

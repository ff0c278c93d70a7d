#include <ATen/ATen.h>

#include <algorithm>
#include <functional>

#include "host/errors.h"
#include "image/fusion/fusion.h"
#include "image/fusion/fusion_internal.h"
#include "image/module.h"

namespace quorv::fusion {
namespace {

using detail::Neighbour;
using detail::Reading;
using detail::Side;

// One fusion update of one tile, in two phases. The top, top-right and left
// blends are all read and checked before the first pixel is written, so a
// reply that cannot be blended leaves the tile as it was; then they write
// into `combined` and the composite with the tile's own weight brings back
// the tile as it was where that weight is 1. The right and bottom blends
// follow, each on its own.
class FusionRun {
 public:
  FusionRun(const NodeState& SELF, at::Tensor combined, const service::Json& blend_info,
            const std::vector<OptionalImage>& output_images, Reading reading)
      : self_(SELF),
        blend_info_(blend_info),
        output_images_(output_images),
        reading_(reading),
        combined_(std::move(combined)),
        device_(combined_.device()),
        margins_(detail::fusion_margins(SELF)),
        weight_(combined_.size(1), combined_.size(2), device_) {}

  // Checks the top, top-right and left neighbours and queues their blends.
  void plan_first_blends() {
    plan_top();
    plan_top_right("topright");
    plan_top_right("toprightright");
    plan_left();
  }

  // Runs the queued blends and the composite. `before` is the tile as it
  // came, where the composite reads it (see tile_before).
  void blend_first(const detail::TileBefore& before) {
    for (const auto& blend : first_blends_) blend();
    weight_.composite(combined_, before, corners_);
  }

  // What the composite will read of the tile as it came, copied before the
  // first blends overwrite it: the rows and columns they write, or the whole
  // tile when the composite blends everywhere. Nothing when it reads nothing.
  detail::TileBefore tile_before(at::Tensor* scratch) const {
    if (!weight_.composites()) return detail::TileBefore::bands(combined_, 0, 0, scratch);
    if (weight_.blends_everywhere()) return detail::TileBefore::bands(combined_, height(), 0, scratch);
    int64_t rows = top_rows_;
    for (const auto& corner : corners_) rows = std::max(rows, corner[1]);
    return detail::TileBefore::bands(combined_, rows, left_cols_, scratch);
  }

  void right() {
    if (const auto n = fitting_strip(Side::Right)) blend_strip(*n, Side::Right, n->crop_x, margins_.feather_margin);
  }

  void bottom() {
    if (const auto n = fitting_strip(Side::Bottom)) blend_strip(*n, Side::Bottom, n->crop_y, margins_.feather_margin);
  }

  void bottom_right(const char* direction) {
    const auto n = neighbour(direction, true, true);
    if (!n) return;
    require_corner_fits(direction, *n);
    const at::Tensor feather = detail::bottomright_weight(n->crop_x, n->crop_y, margins_.feather_margin, device_);
    detail::blend_into(detail::bottom_right_of(combined_, n->crop_x, n->crop_y),
                       detail::top_left_of(n->picture, n->crop_x, n->crop_y), feather);
  }

  at::Tensor result() && { return std::move(combined_); }

 private:
  // Rows 0 .. crop_y-1, with ramps of feather_ratio; the own weight with feather_margin.
  void plan_top() {
    const auto n = neighbour("top", false, true);
    if (!n) return;
    // Read leniently, a top strip is crop_x wide when crop_x is set; it must still fill crop_y rows.
    const int64_t strip = reading_ == Reading::Lenient && n->crop_x != 0 ? n->crop_x : n->crop_y;
    detail::require_crop_fits("top", "crop_y", n->crop_y, height(), n->picture.size(1));
    if (strip != n->crop_y)
      throw Error("fusion reply: the \"top\" strip of " + std::to_string(strip) + " rows cannot replace " +
                  std::to_string(n->crop_y) + " rows");
    require_strip(*n, Side::Top, strip);
    queue_strip(*n, Side::Top, strip, margins_.feather_ratio);
    weight_.add_top(detail::strip_weight(self_, strip, Side::Top, margins_.feather_margin, device_));
    top_rows_ = strip;
  }

  void plan_left() {
    // With crop_x 0 a lenient read would make a crop_y-wide strip for zero columns: rejected here.
    const auto n = fitting_strip(Side::Left);
    if (!n) return;
    queue_strip(*n, Side::Left, n->crop_x, margins_.feather_ratio);
    weight_.add_left(detail::strip_weight(self_, n->crop_x, Side::Left, margins_.feather_margin, device_));
    left_cols_ = n->crop_x;
  }

  // Top-right corners, ramped along x only.
  void plan_top_right(const char* direction) {
    const auto n = neighbour(direction, true, true);
    if (!n) return;
    require_corner_fits(direction, *n);
    const at::Tensor feather = detail::topright_weight(n->crop_x, n->crop_y, margins_.feather_ratio, 0, device_);
    first_blends_.emplace_back([this, n = *n, feather] {
      detail::blend_into(detail::top_right_of(combined_, n.crop_x, n.crop_y),
                         detail::bottom_left_of(n.picture, n.crop_x, n.crop_y), feather);
    });
    corners_.push_back({0, n->crop_y, width() - n->crop_x, width()});
  }

  void queue_strip(const Neighbour& n, Side side, int64_t cropmargin, int64_t feather_margin) {
    first_blends_.emplace_back(
        [this, n, side, cropmargin, feather_margin] { blend_strip(n, side, cropmargin, feather_margin); });
  }

  int64_t height() const { return combined_.size(1); }
  int64_t width() const { return combined_.size(2); }

  std::optional<Neighbour> neighbour(const char* direction, bool needs_crop_x, bool needs_crop_y) const {
    return detail::read_neighbour(blend_info_, direction, reading_, needs_crop_x, needs_crop_y, self_, output_images_);
  }

  void require_corner_fits(const char* direction, const Neighbour& n) const {
    detail::require_crop_fits(direction, "crop_x", n.crop_x, width(), n.picture.size(2));
    detail::require_crop_fits(direction, "crop_y", n.crop_y, height(), n.picture.size(1));
    detail::require_corner(combined_, n.picture, n.crop_x, n.crop_y, device_, direction);
  }

  // The left, right or bottom neighbour, its crop across the strip checked to fit both pictures.
  std::optional<Neighbour> fitting_strip(Side side) const {
    const bool columns = detail::strip_axis(side) == 2;
    const auto n = neighbour(side_name(side), columns, !columns);
    if (!n) return n;
    const int64_t crop = columns ? n->crop_x : n->crop_y;
    detail::require_crop_fits(side_name(side), columns ? "crop_x" : "crop_y", crop, columns ? width() : height(),
                              n->picture.size(columns ? 2 : 1));
    require_strip(*n, side, crop);
    return n;
  }

  void require_strip(const Neighbour& n, Side side, int64_t cropmargin) const {
    detail::require_strip(combined_, n.picture, cropmargin, side, side_name(side));
  }

  // The strip blend of blend_neighbor_tensor, written straight into the working copy.
  void blend_strip(const Neighbour& n, Side side, int64_t cropmargin, int64_t feather_margin) {
    detail::blend_into(detail::tile_strip(combined_, side, cropmargin), detail::neighbour_strip(n.picture, side, cropmargin),
                       detail::strip_weight(self_, cropmargin, side, feather_margin, device_));
  }

  static const char* side_name(Side side) {
    switch (side) {
      case Side::Top: return "top";
      case Side::Left: return "left";
      case Side::Bottom: return "bottom";
      case Side::Right: return "right";
    }
    return "";
  }

  const NodeState& self_;
  const service::Json& blend_info_;
  const std::vector<OptionalImage>& output_images_;
  const Reading reading_;
  at::Tensor combined_;
  const at::Device device_;
  const detail::FusionMargins margins_;
  detail::OwnWeight weight_;
  std::vector<std::function<void()>> first_blends_;
  int64_t top_rows_ = 0, left_cols_ = 0;
  std::vector<std::array<int64_t, 4>> corners_;  // rows [0], [1), columns [2], [3) written by corner blends
};

// One update: the reply fetched, then the blends written into `tile` itself
// when `in_place`, into a copy of it otherwise.
at::Tensor fuse(const NodeState& SELF, const at::Tensor& tile, bool in_place, const std::vector<GridSpec>& grid_specs,
                int64_t index, const std::vector<OptionalImage>& output_images, bool blend_all,
                const service::Json& upscalemultiplier, Reading reading, ServiceCall* call,
                at::Tensor* scratch = nullptr) {
  require_image(tile, "thisindexTile");
  require_index(index, grid_specs.size(), "grid_specs");
  if (call) call->outcome = service::FusionOutcome{};
  // Segment tiles are not part of the grid: nothing to fuse, and no service call.
  if (grid_specs.at(static_cast<size_t>(index)).is_segment()) return in_place ? tile : tile.clone();

  const service::Json payload = service::prepare_neuro_generative_fusion(grid_specs, index, upscalemultiplier);
  service::Json blend_info;
  if (call) {
    service::FusionReply reply = service::fetch_blend_info(payload, SELF, call->options);
    call->outcome = std::move(reply.outcome);
    blend_info = std::move(reply.blend_info);
  } else {
    blend_info = service::api_nuero_generative_fusion_tiles(payload, SELF);
  }
  try {
    FusionRun run(SELF, in_place ? tile : tile.clone(at::MemoryFormat::Contiguous), blend_info, output_images,
                  reading);
    run.plan_first_blends();
    run.blend_first(in_place ? run.tile_before(scratch) : detail::TileBefore::whole(tile));
    if (blend_all) {
      try {
        run.right();
        run.bottom();
        run.bottom_right("bottomright");
        run.bottom_right("bottomrightright");
      } catch (const std::exception& e) {
        const std::string token = SELF.API.token.is_set() ? SELF.API.token.get() : std::string();
        print_line(std::string("Quorv Tile fusion shape mismatch BottomRight: ") + service::without_token(e.what(), token));
      }
    }
    return std::move(run).result();
  } catch (const Error&) {
    detail::rethrow_without_token(SELF);
  }
}

}  // namespace

at::Tensor add_last_generated_to_base_image(const NodeState& SELF, const std::string&, const at::Tensor& thisindexTile,
                                            const std::vector<GridSpec>& grid_specs, int64_t index,
                                            const std::vector<OptionalImage>& output_images, bool blend_all,
                                            const service::Json& upscalemultiplier) {
  return fuse(SELF, thisindexTile, false, grid_specs, index, output_images, blend_all, upscalemultiplier,
              Reading::Lenient, nullptr);
}

at::Tensor add_last_generated_to_base_image_V1(const NodeState& SELF, const std::string&,
                                               const at::Tensor& thisindexTile,
                                               const std::vector<GridSpec>& grid_specs, int64_t index,
                                               const std::vector<OptionalImage>& output_images, bool blend_all,
                                               const service::Json& upscalemultiplier) {
  return fuse(SELF, thisindexTile, false, grid_specs, index, output_images, blend_all, upscalemultiplier,
              Reading::Strict, nullptr);
}

at::Tensor fusion_update(FusionForm form, const NodeState& SELF, const at::Tensor& thisindexTile,
                         const std::vector<GridSpec>& grid_specs, int64_t index,
                         const std::vector<OptionalImage>& output_images, bool blend_all,
                         const service::Json& upscalemultiplier, ServiceCall& call) {
  return fuse(SELF, thisindexTile, false, grid_specs, index, output_images, blend_all, upscalemultiplier,
              form == FusionForm::Base ? Reading::Lenient : Reading::Strict, &call);
}

void fusion_update_in_place(FusionForm form, const NodeState& SELF, at::Tensor& tile,
                            const std::vector<GridSpec>& grid_specs, int64_t index,
                            const std::vector<OptionalImage>& output_images, bool blend_all,
                            const service::Json& upscalemultiplier, ServiceCall& call, at::Tensor* scratch) {
  fuse(SELF, tile, true, grid_specs, index, output_images, blend_all, upscalemultiplier,
       form == FusionForm::Base ? Reading::Lenient : Reading::Strict, &call, scratch);
}

}  // namespace quorv::fusion

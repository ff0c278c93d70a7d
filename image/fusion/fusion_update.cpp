#include <ATen/ATen.h>

#include "host/errors.h"
#include "image/fusion/fusion.h"
#include "image/fusion/fusion_internal.h"
#include "image/module.h"

namespace quorv::fusion {
namespace {

using detail::Neighbour;
using detail::Reading;
using detail::Side;

// One fusion update of one tile: the blends write into `combined`, a private
// copy of the tile, while the own weight of the top and left strips builds up.
class FusionRun {
 public:
  FusionRun(const NodeState& SELF, const at::Tensor& tile, const service::Json& blend_info,
            const std::vector<OptionalImage>& output_images, Reading reading)
      : self_(SELF),
        tile_(tile),
        blend_info_(blend_info),
        output_images_(output_images),
        reading_(reading),
        combined_(tile.clone(at::MemoryFormat::Contiguous)),
        device_(combined_.device()),
        margins_(detail::fusion_margins(SELF)),
        weight_(tile.size(1), tile.size(2), device_) {}

  // Rows 0 .. crop_y-1, with ramps of feather_ratio; the own weight with feather_margin.
  void top() {
    const auto n = neighbour("top", false, true);
    if (!n) return;
    // Read leniently, a top strip is crop_x wide when crop_x is set; it must still fill crop_y rows.
    const int64_t strip = reading_ == Reading::Lenient && n->crop_x != 0 ? n->crop_x : n->crop_y;
    detail::require_crop_fits("top", "crop_y", n->crop_y, height(), n->picture.size(1));
    if (strip != n->crop_y)
      throw Error("fusion reply: the \"top\" strip of " + std::to_string(strip) + " rows cannot replace " +
                  std::to_string(n->crop_y) + " rows");
    blend_strip(*n, Side::Top, strip, margins_.feather_ratio);
    weight_.add_top(detail::strip_weight(self_, strip, Side::Top, margins_.feather_margin, device_));
  }

  void left() {
    const auto n = neighbour("left", true, false);
    if (!n) return;
    // With crop_x 0 a lenient read would make a crop_y-wide strip for zero columns: rejected here.
    detail::require_crop_fits("left", "crop_x", n->crop_x, width(), n->picture.size(2));
    blend_strip(*n, Side::Left, n->crop_x, margins_.feather_ratio);
    weight_.add_left(detail::strip_weight(self_, n->crop_x, Side::Left, margins_.feather_margin, device_));
  }

  // Top-right corners, ramped along x only.
  void top_right(const char* direction) {
    const auto n = neighbour(direction, true, true);
    if (!n) return;
    require_corner_fits(direction, *n);
    const at::Tensor feather = detail::topright_weight(n->crop_x, n->crop_y, margins_.feather_ratio, 0, device_);
    detail::blend_into(detail::top_right_of(combined_, n->crop_x, n->crop_y),
                       detail::bottom_left_of(n->picture, n->crop_x, n->crop_y), feather);
    corners_.push_back({0, n->crop_y, width() - n->crop_x, width()});
  }

  void composite() { weight_.composite(combined_, tile_, corners_); }

  void right() {
    const auto n = neighbour("right", true, false);
    if (!n) return;
    detail::require_crop_fits("right", "crop_x", n->crop_x, width(), n->picture.size(2));
    blend_strip(*n, Side::Right, n->crop_x, margins_.feather_margin);
  }

  void bottom() {
    const auto n = neighbour("bottom", false, true);
    if (!n) return;
    detail::require_crop_fits("bottom", "crop_y", n->crop_y, height(), n->picture.size(1));
    blend_strip(*n, Side::Bottom, n->crop_y, margins_.feather_margin);
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

  // The strip blend of blend_neighbor_tensor, written straight into the working copy.
  void blend_strip(const Neighbour& n, Side side, int64_t cropmargin, int64_t feather_margin) {
    detail::require_strip(combined_, n.picture, cropmargin, side, side_name(side));
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
  const at::Tensor& tile_;
  const service::Json& blend_info_;
  const std::vector<OptionalImage>& output_images_;
  const Reading reading_;
  at::Tensor combined_;
  const at::Device device_;
  const detail::FusionMargins margins_;
  detail::OwnWeight weight_;
  std::vector<std::array<int64_t, 4>> corners_;  // rows [0], [1), columns [2], [3) written by corner blends
};

at::Tensor fuse(const NodeState& SELF, const at::Tensor& thisindexTile, const std::vector<GridSpec>& grid_specs,
                int64_t index, const std::vector<OptionalImage>& output_images, bool blend_all,
                const service::Json& upscalemultiplier, Reading reading, ServiceCall* call) {
  require_image(thisindexTile, "thisindexTile");
  require_index(index, grid_specs.size(), "grid_specs");
  if (call) call->outcome = service::FusionOutcome{};
  // Segment tiles are not part of the grid: nothing to fuse, and no service call.
  if (grid_specs.at(static_cast<size_t>(index)).is_segment()) return thisindexTile.clone();

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
    FusionRun run(SELF, thisindexTile, blend_info, output_images, reading);
    run.top();
    run.top_right("topright");
    run.top_right("toprightright");
    run.left();
    run.composite();
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
  return fuse(SELF, thisindexTile, grid_specs, index, output_images, blend_all, upscalemultiplier, Reading::Lenient,
              nullptr);
}

at::Tensor add_last_generated_to_base_image_V1(const NodeState& SELF, const std::string&,
                                               const at::Tensor& thisindexTile,
                                               const std::vector<GridSpec>& grid_specs, int64_t index,
                                               const std::vector<OptionalImage>& output_images, bool blend_all,
                                               const service::Json& upscalemultiplier) {
  return fuse(SELF, thisindexTile, grid_specs, index, output_images, blend_all, upscalemultiplier, Reading::Strict,
              nullptr);
}

at::Tensor fusion_update(FusionForm form, const NodeState& SELF, const at::Tensor& thisindexTile,
                         const std::vector<GridSpec>& grid_specs, int64_t index,
                         const std::vector<OptionalImage>& output_images, bool blend_all,
                         const service::Json& upscalemultiplier, ServiceCall& call) {
  return fuse(SELF, thisindexTile, grid_specs, index, output_images, blend_all, upscalemultiplier,
              form == FusionForm::Base ? Reading::Lenient : Reading::Strict, &call);
}

}  // namespace quorv::fusion

#include <ATen/ATen.h>

#include <algorithm>
#include <limits>

#include "host/checked_math.h"
#include "host/errors.h"
#include "image/fusion/fusion_internal.h"

namespace quorv::fusion::detail {
namespace {

// A reply value for a message: never the whole of a huge one.
std::string excerpt(const service::Json& value) {
  std::string text = value.dump();
  return text.size() > 60 ? text.substr(0, 60) + "..." : text;
}

std::string where(const char* direction, const char* key) {
  return std::string("fusion reply: \"") + direction + "\" member \"" + key + "\"";
}

// An integer member; `fallback` when absent (nullopt: absence is a KeyError).
int64_t integer_member(const service::Json& entry, const char* direction, const char* key,
                       std::optional<int64_t> fallback) {
  const auto it = entry.find(key);
  if (it == entry.end()) {
    if (fallback) return *fallback;
    throw KeyError(where(direction, key) + " is missing");
  }
  if (!it->is_number_integer())
    throw ValueError(where(direction, key) + " must be an integer, got " + excerpt(*it));
  if (it->is_number_unsigned() && it->get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
    throw ValueError(where(direction, key) + " is out of range: " + excerpt(*it));
  return it->get<int64_t>();
}

at::Tensor neighbour_picture(const NodeState& SELF, const std::vector<OptionalImage>& output_images, int64_t index,
                             const char* direction) {
  const std::string what = where(direction, "index") + " " + std::to_string(index);
  if (index < 0 || static_cast<uint64_t>(index) >= output_images.size())
    throw IndexError(what + " is outside output_images (" + std::to_string(output_images.size()) + " entries)");
  const OptionalImage& entry = output_images.at(static_cast<size_t>(index));
  if (entry && entry->defined()) return *entry;
  const std::vector<at::Tensor>& all = SELF.OUTPUTS.grid_images_all.get();
  if (static_cast<uint64_t>(index) >= all.size())
    throw IndexError(what + ": no picture in output_images and OUTPUTS.grid_images_all has only " +
                     std::to_string(all.size()) + " entries");
  if (!all.at(static_cast<size_t>(index)).defined())
    throw ValueError(what + ": neither output_images nor OUTPUTS.grid_images_all holds a picture");
  return all.at(static_cast<size_t>(index));
}

}  // namespace

void rethrow_without_token(const NodeState& SELF) {
  const std::string token = SELF.API.token.is_set() ? SELF.API.token.get() : std::string();
  try {
    throw;
  } catch (const KeyError& e) {
    throw KeyError(service::without_token(e.what(), token));
  } catch (const IndexError& e) {
    throw IndexError(service::without_token(e.what(), token));
  } catch (const ValueError& e) {
    throw ValueError(service::without_token(e.what(), token));
  } catch (const ZeroDivisionError& e) {
    throw ZeroDivisionError(service::without_token(e.what(), token));
  } catch (const AssertionError& e) {
    throw AssertionError(service::without_token(e.what(), token));
  } catch (const Error& e) {
    throw Error(service::without_token(e.what(), token));
  }
}

FusionMargins fusion_margins(const NodeState& SELF) {
  FusionMargins m{};
  m.full_border_margin = std::max<int64_t>(
      checked_add(checked_add(SELF.SIZE.inpaint_border_margin.get(), SELF.SIZE.inpaint_blur_margin.get(),
                              "full_border_margin"),
                  SELF.SIZE.shift.get(), "full_border_margin"),
      0);
  m.feather_ratio = m.full_border_margin >= 32 ? 32 : m.full_border_margin;
  m.margin_test = truncate_to_int(static_cast<double>(checked_mul(m.full_border_margin, 2, "margin_test")) *
                                      SELF.PARAMS.Tile_Fusion_Blend.get(),
                                  "margin_test (full_border_margin * 2 * PARAMS.Tile_Fusion_Blend)");
  m.feather_margin = std::max<int64_t>(m.margin_test, 4);
  return m;
}

std::optional<Neighbour> read_neighbour(const service::Json& blend_info, const char* direction, Reading reading,
                                        bool needs_crop_x, bool needs_crop_y, const NodeState& SELF,
                                        const std::vector<OptionalImage>& output_images) {
  const std::optional<service::Json> entry = service::neighbour(blend_info, direction);
  if (!entry) return std::nullopt;
  Neighbour n{};
  n.index = integer_member(*entry, direction, "index", std::nullopt);
  const bool lenient = reading == Reading::Lenient;
  if (lenient || needs_crop_x) n.crop_x = integer_member(*entry, direction, "crop_x", lenient ? std::optional<int64_t>(0) : std::nullopt);
  if (lenient || needs_crop_y) n.crop_y = integer_member(*entry, direction, "crop_y", lenient ? std::optional<int64_t>(0) : std::nullopt);
  if (n.crop_x < 0 || n.crop_y < 0)
    throw ValueError(std::string("fusion reply: \"") + direction + "\" crops must not be negative, got crop_x " +
                     std::to_string(n.crop_x) + " and crop_y " + std::to_string(n.crop_y));
  n.picture = neighbour_picture(SELF, output_images, n.index, direction);
  return n;
}

void require_crop_fits(const char* direction, const char* what, int64_t crop, int64_t tile_extent,
                       int64_t neighbour_extent) {
  if (crop <= 0 || crop > tile_extent || crop > neighbour_extent)
    throw ValueError(std::string("fusion reply: \"") + direction + "\" " + what + " " + std::to_string(crop) +
                     " must lie in 1.." + std::to_string(std::min(tile_extent, neighbour_extent)) + " (tile " +
                     std::to_string(tile_extent) + ", neighbour " + std::to_string(neighbour_extent) + ")");
}

}  // namespace quorv::fusion::detail

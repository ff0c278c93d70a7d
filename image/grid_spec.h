// GridSpec: one tile's placement in the full picture.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace quorv {

/// Records with `order` at or above this mark are segment tiles, below it
/// regular grid tiles.
constexpr int64_t kSegmentOrder = 8000;

/// Grid row and column (from 0, rows top-down), tile number, top-left corner
/// in picture pixels, tile width and height.
struct GridSpec {
  int64_t row = 0;
  int64_t col = 0;
  int64_t order = 0;
  int64_t x_start = 0;
  int64_t y_start = 0;
  int64_t width_inc = 0;
  int64_t height_inc = 0;

  bool is_segment() const { return order >= kSegmentOrder; }
  friend bool operator==(const GridSpec& a, const GridSpec& b) {
    return a.row == b.row && a.col == b.col && a.order == b.order && a.x_start == b.x_start &&
           a.y_start == b.y_start && a.width_inc == b.width_inc && a.height_inc == b.height_inc;
  }
  friend bool operator!=(const GridSpec& a, const GridSpec& b) { return !(a == b); }
};

/// "[row, col, order, x_start, y_start, width_inc, height_inc]", as progress lines write it.
std::string to_string(const GridSpec& spec);
inline std::ostream& operator<<(std::ostream& out, const GridSpec& spec) { return out << to_string(spec); }

}  // namespace quorv

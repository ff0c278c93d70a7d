#include "image/grid_spec.h"

namespace quorv {

std::string to_string(const GridSpec& s) {
  return "[" + std::to_string(s.row) + ", " + std::to_string(s.col) + ", " + std::to_string(s.order) +
         ", " + std::to_string(s.x_start) + ", " + std::to_string(s.y_start) + ", " +
         std::to_string(s.width_inc) + ", " + std::to_string(s.height_inc) + "]";
}

}  // namespace quorv

// Brings a picture to sizes divisible by 8 with the module and writes it.
//
//   divby8_example INPUT OUTPUT [SCALE]
//
// SCALE (default 1) first enlarges the picture with the host's lanczos resize,
// as the upscaler does before it builds its tile grid.
#include <cmath>
#include <iostream>
#include <string>

#include "host/nodes/image_scale.h"

#include "host/errors.h"
#include "image/quorv_image.h"
#include "tools/image_io/image_io.h"

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::cerr << "usage: " << argv[0] << " INPUT OUTPUT [SCALE]\n";
    return 2;
  }
  try {
    const double scale = argc == 4 ? std::stod(argv[3]) : 1.0;
    if (!(scale > 0 && scale <= 16)) throw quorv::ValueError("SCALE must be in (0, 16]");
    const auto picture = quorv::io::read_picture(argv[1]);
    at::Tensor enlarged = picture.rgb;
    if (scale != 1.0) {
      const auto w = static_cast<int64_t>(std::lround(picture.rgb.size(2) * scale));
      const auto h = static_cast<int64_t>(std::lround(picture.rgb.size(1) * scale));
      enlarged = std::get<0>(quorv::host::ImageScale::upscale(picture.rgb, "lanczos", w, h, "disabled"));
    }
    const auto [image, width, height, is_dviby8] = quorv::Quorv_Image::format_2_divby8(enlarged);
    quorv::io::write_picture(argv[2], image);
    std::cout << argv[1] << ": " << picture.rgb.size(2) << "x" << picture.rgb.size(1) << " enlarged to "
              << enlarged.size(2) << "x" << enlarged.size(1) << " -> " << width
              << "x" << height << (is_dviby8 ? " (already divisible by 8)" : " (resized, lanczos)")
              << "\nwrote " << argv[2] << "\n";
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << "\n";
    return 2;
  }
  return 0;
}

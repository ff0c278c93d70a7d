// Picture files into the tool's reader: its header reader and the format's
// own decoder (libvips' PNG, JPEG, TIFF and WebP loaders and the libraries
// under them) give a picture or a ValueError, within the memory budget.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "tools/image_io/image_io.h"

namespace {
// Well inside the -rss_limit_mb scripts/fuzz.sh gives this target: a file
// declaring a larger picture must be refused from its header, not decoded.
constexpr int64_t kDecodeBudget = int64_t{256} << 20;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  quorv::fuzz::expect_result_or_error("read_header", [&] {
    const quorv::io::PictureHeader header = quorv::io::read_header(bytes, "fuzzed input");
    if (header.width < 1 || header.height < 1 || header.channels < 1 || header.channels > 4) std::abort();
  });
  quorv::fuzz::expect_result_or_error("decode_picture", [&] {
    const auto picture = quorv::io::decode_picture(bytes, "fuzzed input", kDecodeBudget);
    if (picture.rgb.dim() != 4 || picture.rgb.size(3) != 3) std::abort();
    if (picture.alpha && picture.alpha->sizes() != picture.rgb.narrow(3, 0, 1).sizes()) std::abort();
  });
  return 0;
}

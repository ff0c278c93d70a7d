// Picture files into the command-line tool's reader: a picture or a ValueError.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "tools/image_io/image_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  quorv::fuzz::expect_result_or_error("decode_picture", [&] {
    const auto picture = quorv::io::decode_picture(bytes, "fuzzed input");
    if (picture.rgb.dim() != 4 || picture.rgb.size(3) != 3) std::abort();
  });
  return 0;
}

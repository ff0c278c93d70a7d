// Any bytes, cut into streams and pieces, through the PNG writer's run coder:
// zlib must inflate exactly the bytes back.
#include <fuzzer/FuzzedDataProvider.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tools/image_io/fast_deflate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const int streams = in.ConsumeIntegralInRange<int>(1, 3);
  std::vector<unsigned char> coded, expected;
  for (int s = 0; s < streams; ++s) {
    quorv::io::detail::FastDeflate stream;
    const int pieces = in.ConsumeIntegralInRange<int>(0, 4);
    for (int p = 0; p < pieces; ++p) {
      // Long runs are cheap to ask for: a length and a byte.
      std::vector<unsigned char> piece = in.ConsumeBool()
                                             ? std::vector<unsigned char>(in.ConsumeIntegralInRange<size_t>(0, 70000),
                                                                          in.ConsumeIntegral<unsigned char>())
                                             : in.ConsumeBytes<unsigned char>(in.ConsumeIntegralInRange<size_t>(0, 4096));
      stream.add(piece.data(), piece.size());
      expected.insert(expected.end(), piece.begin(), piece.end());
    }
    const std::vector<unsigned char> part = stream.finish(s + 1 == streams);
    coded.insert(coded.end(), part.begin(), part.end());
  }
  std::vector<unsigned char> back(expected.size() + 1);
  z_stream z{};
  inflateInit2(&z, -15);
  z.next_in = coded.data();
  z.avail_in = static_cast<uInt>(coded.size());
  z.next_out = back.data();
  z.avail_out = static_cast<uInt>(back.size());
  const int status = inflate(&z, Z_FINISH);
  const bool same = status == Z_STREAM_END && z.avail_in == 0 && z.total_out == expected.size() &&
                    std::equal(expected.begin(), expected.end(), back.begin());
  inflateEnd(&z);
  if (!same) {
    std::fprintf(stderr, "run coder: inflate gave status %d, %lu of %zu bytes back\n", status, z.total_out, expected.size());
    std::abort();
  }
  return 0;
}

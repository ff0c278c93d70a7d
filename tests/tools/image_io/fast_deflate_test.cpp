// The run coder: whatever it is fed, zlib inflates the bytes back, also
// when streams are laid end to end as a PNG's bands are.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

#include "tools/image_io/fast_deflate.h"

namespace quorv::io::detail {
namespace {

using Bytes = std::vector<unsigned char>;

// Each stream coded in the given pieces (runs may cross them); all but the last left open.
Bytes code_streams(const std::vector<std::vector<Bytes>>& streams) {
  Bytes coded;
  for (size_t s = 0; s < streams.size(); ++s) {
    FastDeflate stream;
    for (const Bytes& piece : streams[s]) stream.add(piece.data(), piece.size());
    const Bytes part = stream.finish(s + 1 == streams.size());
    coded.insert(coded.end(), part.begin(), part.end());
  }
  return coded;
}

Bytes inflate_all(const Bytes& coded, size_t expected) {
  Bytes back(expected + 1);
  z_stream z{};
  EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
  z.next_in = const_cast<unsigned char*>(coded.data());
  z.avail_in = static_cast<uInt>(coded.size());
  z.next_out = back.data();
  z.avail_out = static_cast<uInt>(back.size());
  const int status = inflate(&z, Z_FINISH);
  EXPECT_EQ(status, Z_STREAM_END) << (z.msg ? z.msg : "");
  EXPECT_EQ(z.avail_in, 0u) << "bytes after the end of the stream";
  back.resize(z.total_out);
  inflateEnd(&z);
  return back;
}

Bytes concatenated(const std::vector<std::vector<Bytes>>& streams) {
  Bytes all;
  for (const auto& stream : streams)
    for (const Bytes& piece : stream) all.insert(all.end(), piece.begin(), piece.end());
  return all;
}

TEST(ImageIo_FastDeflate, EveryKindOfInputInflatesBack) {
  std::mt19937 random(7);
  auto noise = [&](size_t n, int spread) {
    Bytes b(n);
    std::normal_distribution<double> d(0, spread);
    for (auto& v : b) v = static_cast<unsigned char>(static_cast<int>(d(random)));
    return b;
  };
  // Runs of every length around the coder's limits (2, 3, 258, 259), with
  // the byte before a run sometimes at the end of the previous piece.
  Bytes runs;
  for (int length : {1, 2, 3, 4, 257, 258, 259, 516, 517, 1000})
    runs.insert(runs.end(), static_cast<size_t>(length), static_cast<unsigned char>(length % 251));
  // Counts that grow like Fibonacci numbers: an unlimited Huffman code would
  // need codes far longer than deflate's 15 bits. No two neighbours are equal, so no runs hide them.
  Bytes skewed;
  for (int symbol = 0, a = 1, b = 1; symbol < 26; ++symbol, b = a + b, a = b - a)
    for (int k = 0; k < a; ++k) skewed.push_back(static_cast<unsigned char>(symbol));
  std::shuffle(skewed.begin(), skewed.end(), random);
  for (size_t i = 1; i < skewed.size(); ++i)
    if (skewed[i] == skewed[i - 1]) skewed[i] = static_cast<unsigned char>(200 + i % 50);

  const std::vector<std::vector<std::vector<Bytes>>> cases = {
      {{}},                                         // an empty stream
      {{Bytes{5}}},                                 // one byte
      {{Bytes(1000, 0)}},                           // one byte value only: a run from the second byte
      {{Bytes(2, 9), Bytes(300, 9)}},               // a run that starts in the piece before
      {{runs}},
      {{noise(300000, 3)}},                         // more than one block
      {{skewed}},
      {{noise(5000, 40), Bytes(600, 1)}, {Bytes(600, 1), noise(7000, 2)}, {Bytes{1}}},  // three streams end to end
  };
  for (size_t c = 0; c < cases.size(); ++c) {
    const Bytes expected = concatenated(cases[c]);
    EXPECT_EQ(inflate_all(code_streams(cases[c]), expected.size()), expected) << "case " << c;
  }
}

TEST(ImageIo_FastDeflate, RunsAndSkewedBytesAreCompressed) {
  Bytes flat(100000, 0);
  EXPECT_LT(code_streams({{flat}}).size(), 1000u);
  Bytes two_values(100000);
  for (size_t i = 0; i < two_values.size(); ++i) two_values[i] = static_cast<unsigned char>((i * 2654435761u >> 7) & 1);
  EXPECT_LT(code_streams({{two_values}}).size(), two_values.size() / 4);  // under two bits a byte
}

}  // namespace
}  // namespace quorv::io::detail

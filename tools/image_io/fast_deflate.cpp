// Each block: the bytes become tokens (a literal byte, or a run of 3 to 258
// copies of the byte before, which deflate codes as a match at distance 1),
// counted as they are made; a Huffman code is built from the counts and the
// tokens are written with it, two at a time into a 64-bit word whose
// completed bytes are stored at once.
#include "tools/image_io/fast_deflate.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

namespace quorv::io::detail {
namespace {

constexpr size_t kMaxBlockBytes = size_t{1} << 17;  // a block's own codes pay off well within this
constexpr int kMaxRun = 258, kMinRun = 3;
constexpr int kLiteralCodes = 286, kEndOfBlock = 256;

// Matches of each length: their symbol's first length and its extra bits.
constexpr std::array<int, 29> kLengthBase = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                             31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<int, 29> kLengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                              2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
// The order in which the code-length code's own lengths are sent.
constexpr std::array<int, 19> kCodeLengthOrder = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// The symbol (index into the tables above) of each match length.
struct LengthSymbols {
  std::array<uint8_t, kMaxRun + 1> of{};
  constexpr LengthSymbols() {
    int s = 0;
    for (int length = kMinRun; length <= kMaxRun; ++length) {
      while (s + 1 < 29 && kLengthBase[static_cast<size_t>(s + 1)] <= length) ++s;
      of[static_cast<size_t>(length)] = static_cast<uint8_t>(s);
    }
  }
};
constexpr LengthSymbols kLengthSymbol;

// Bits go out lowest first. Every put stores the whole pending word and
// moves on by the bytes it completed, so there is no branch per code; the
// caller leaves 8 bytes of room past the last one.
struct BitSink {
  unsigned char* at;
  uint64_t pending;
  int count;  // < 8 between puts
  void put(uint64_t bits, int n) {  // n <= 56
    pending |= bits << count;
    count += n;
    store(pending);
    at += count >> 3;
    pending >>= count & ~7;
    count &= 7;
  }
  void store(uint64_t word) {  // lowest byte first
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(at, &word, 8);
#else
    for (int i = 0; i < 8; ++i) at[i] = static_cast<unsigned char>(word >> (8 * i));
#endif
  }
  void align() {  // pads with zero bits to a byte boundary
    if (count > 0) *at++ = static_cast<unsigned char>(pending);
    count = 0;
    pending = 0;
  }
};

// Code lengths of an optimal prefix code for `freq` (two queues over the
// sorted counts), 0 for unused symbols. Returns the longest. One used symbol
// gets a partner, so that the code is complete as decoders require.
int huffman_lengths(const uint32_t* freq, int n, uint8_t* lengths) {
  std::fill(lengths, lengths + n, uint8_t{0});
  std::vector<std::pair<uint32_t, int>> leaves;
  for (int s = 0; s < n; ++s)
    if (freq[s] > 0) leaves.emplace_back(freq[s], s);
  if (leaves.empty()) return 0;
  if (leaves.size() == 1) {
    lengths[leaves[0].second] = 1;
    lengths[leaves[0].second == 0 ? 1 : 0] = 1;
    return 1;
  }
  std::sort(leaves.begin(), leaves.end());
  const int m = static_cast<int>(leaves.size());
  std::vector<uint64_t> weight(static_cast<size_t>(2 * m - 1));
  std::vector<int> parent(static_cast<size_t>(2 * m - 1), 0), depth(static_cast<size_t>(2 * m - 1), 0);
  for (int i = 0; i < m; ++i) weight[static_cast<size_t>(i)] = leaves[static_cast<size_t>(i)].first;
  int leaf = 0, inner = m;
  for (int made = m; made < 2 * m - 1; ++made) {
    auto lightest = [&] {  // the next leaf or the next node made, whichever weighs less
      if (leaf < m && (inner >= made || weight[static_cast<size_t>(leaf)] <= weight[static_cast<size_t>(inner)]))
        return leaf++;
      return inner++;
    };
    const int a = lightest(), b = lightest();
    weight[static_cast<size_t>(made)] = weight[static_cast<size_t>(a)] + weight[static_cast<size_t>(b)];
    parent[static_cast<size_t>(a)] = parent[static_cast<size_t>(b)] = made;
  }
  int longest = 0;
  for (int node = 2 * m - 3; node >= 0; --node) {
    depth[static_cast<size_t>(node)] = depth[static_cast<size_t>(parent[static_cast<size_t>(node)])] + 1;
    if (node < m) {
      lengths[leaves[static_cast<size_t>(node)].second] = static_cast<uint8_t>(depth[static_cast<size_t>(node)]);
      longest = std::max(longest, depth[static_cast<size_t>(node)]);
    }
  }
  return longest;
}

// As above, no code longer than `limit`: the counts are halved (a used
// symbol keeps at least 1) until the tree is shallow enough. Rarely needed,
// and it costs a fraction of a bit per symbol when it is.
void limited_lengths(const uint32_t* freq, int n, int limit, uint8_t* lengths) {
  std::vector<uint32_t> counts(freq, freq + n);
  while (huffman_lengths(counts.data(), n, lengths) > limit)
    for (uint32_t& c : counts)
      if (c > 0) c = (c + 1) / 2;
}

// The canonical code of each symbol, bit-reversed so that it goes out lowest bit first.
void canonical_codes(const uint8_t* lengths, int n, uint32_t* codes) {
  std::array<uint32_t, 16> count{}, next{};
  for (int s = 0; s < n; ++s) ++count[lengths[s]];
  count[0] = 0;
  uint32_t code = 0;
  for (size_t bits = 1; bits < 16; ++bits) next[bits] = code = (code + count[bits - 1]) << 1;
  for (int s = 0; s < n; ++s) {
    const int length = lengths[s];
    if (length == 0) continue;
    const uint32_t c = next[static_cast<size_t>(length)]++;
    uint32_t reversed = 0;
    for (int b = 0; b < length; ++b) reversed |= ((c >> b) & 1u) << (length - 1 - b);
    codes[s] = reversed;
  }
}

// The header of a block with its own codes: literal and length code
// lengths, then the two distance codes (only distance 1 is used; both get
// one bit, so the code is complete), all run-length coded with the
// code-length code, whose own lengths come first.
void put_block_header(BitSink& bits, const uint8_t* literal_lengths) {
  int literal_count = kLiteralCodes;
  while (literal_count > 257 && literal_lengths[literal_count - 1] == 0) --literal_count;
  std::vector<uint8_t> sequence(literal_lengths, literal_lengths + literal_count);
  sequence.push_back(1);
  sequence.push_back(1);

  // Code-length symbols: 0..15 a length, 16 the one before 3-6 times, 17 3-10 zeros, 18 11-138 zeros.
  std::vector<std::pair<uint8_t, uint8_t>> symbols;  // symbol, value of its extra bits
  for (size_t i = 0; i < sequence.size();) {
    const uint8_t value = sequence[i];
    size_t run = 1;
    while (i + run < sequence.size() && sequence[i + run] == value) ++run;
    i += run;
    if (value == 0) {
      for (; run >= 11; run -= std::min<size_t>(run, 138))
        symbols.emplace_back(18, static_cast<uint8_t>(std::min<size_t>(run, 138) - 11));
      if (run >= 3) symbols.emplace_back(17, static_cast<uint8_t>(run - 3)), run = 0;
    } else {
      symbols.emplace_back(value, 0), --run;
      for (; run >= 3; run -= std::min<size_t>(run, 6))
        symbols.emplace_back(16, static_cast<uint8_t>(std::min<size_t>(run, 6) - 3));
    }
    for (; run > 0; --run) symbols.emplace_back(value, 0);
  }
  std::array<uint32_t, 19> freq{};
  for (const auto& s : symbols) ++freq[s.first];
  std::array<uint8_t, 19> lengths{};
  std::array<uint32_t, 19> codes{};
  limited_lengths(freq.data(), 19, 7, lengths.data());
  canonical_codes(lengths.data(), 19, codes.data());
  int sent = 19;
  while (sent > 4 && lengths[static_cast<size_t>(kCodeLengthOrder[static_cast<size_t>(sent - 1)])] == 0) --sent;

  bits.put(0, 1);  // not the last block
  bits.put(2, 2);  // with its own codes
  bits.put(static_cast<uint64_t>(literal_count - 257), 5);
  bits.put(1, 5);  // two distance codes
  bits.put(static_cast<uint64_t>(sent - 4), 4);
  for (int k = 0; k < sent; ++k) bits.put(lengths[static_cast<size_t>(kCodeLengthOrder[static_cast<size_t>(k)])], 3);
  for (const auto& [symbol, extra] : symbols) {
    bits.put(codes[symbol], lengths[symbol]);
    if (symbol == 16) bits.put(extra, 2);
    if (symbol == 17) bits.put(extra, 3);
    if (symbol == 18) bits.put(extra, 7);
  }
}

}  // namespace

FastDeflate::FastDeflate(std::vector<unsigned char> prefix, size_t expected_bytes) : out_(std::move(prefix)) {
  out_.reserve(out_.size() + expected_bytes / 2 + 64);
}

void FastDeflate::add(const unsigned char* data, size_t size) {
  for (size_t done = 0; done < size;) {
    const size_t piece = std::min(kMaxBlockBytes, size - done);
    code_block(data + done, piece);
    done += piece;
  }
}

void FastDeflate::code_block(const unsigned char* data, size_t size) {
  // Tokens: a byte as itself, a run of n as 256 + n.
  if (tokens_size_ < size) tokens_.reset(new uint16_t[tokens_size_ = size]);
  uint16_t* token = tokens_.get();
  std::array<uint32_t, kLiteralCodes> freq{};
  int before = previous_byte_;
  // A run starts where the next three bytes repeat the one before. They are
  // compared as one word: away from runs that is one test a byte, rarely true on photos.
  auto starts_run = [&](size_t i) {
    if (before < 0 || i + kMinRun > size) return false;
    const uint32_t three = uint32_t{data[i]} | uint32_t{data[i + 1]} << 8 | uint32_t{data[i + 2]} << 16;
    return three == static_cast<uint32_t>(before) * 0x010101u;
  };
  for (size_t i = 0; i < size;) {
    if (starts_run(i)) {
      const size_t most = std::min<size_t>(kMaxRun, size - i);
      size_t run = kMinRun;
      while (run < most && data[i + run] == before) ++run;
      *token++ = static_cast<uint16_t>(256 + run);
      ++freq[257 + kLengthSymbol.of[run]];
      i += run;
      continue;
    }
    const unsigned char b = data[i];
    *token++ = b;
    ++freq[b];
    before = b;
    ++i;
  }
  previous_byte_ = before;
  freq[kEndOfBlock] = 1;

  std::array<uint8_t, kLiteralCodes> lengths{};
  std::array<uint32_t, kLiteralCodes> codes{};
  limited_lengths(freq.data(), kLiteralCodes, 15, lengths.data());
  canonical_codes(lengths.data(), kLiteralCodes, codes.data());
  // Each token's bits and their number, the number in the top byte: a
  // literal's code, or a length's code, its extra bits and the one-bit code of distance 1.
  std::array<uint32_t, 256 + kMaxRun + 1> coded{};
  for (int b = 0; b < 256; ++b) coded[static_cast<size_t>(b)] = codes[static_cast<size_t>(b)] | uint32_t{lengths[b]} << 24;
  for (int run = kMinRun; run <= kMaxRun; ++run) {
    const size_t s = kLengthSymbol.of[static_cast<size_t>(run)];
    const int length = lengths[257 + s], extra = kLengthExtra[s];
    const uint32_t bits = codes[257 + s] | static_cast<uint32_t>(run - kLengthBase[s]) << length;
    coded[static_cast<size_t>(256 + run)] = bits | static_cast<uint32_t>(length + extra + 1) << 24;
  }

  // Room for the header and 15 bits a byte, the most any token costs per
  // byte it stands for, and 8 bytes for the last store.
  if (scratch_size_ < 1032 + size * 2) scratch_.reset(new unsigned char[scratch_size_ = 1032 + size * 2]);
  BitSink bits{scratch_.get(), pending_, pending_count_};
  put_block_header(bits, lengths.data());
  // Two tokens a put (at most 21 bits each): half the chain of dependent shifts.
  const uint16_t* t = tokens_.get();
  for (; token - t >= 2; t += 2) {
    const uint32_t first = coded[t[0]], second = coded[t[1]];
    const int first_bits = static_cast<int>(first >> 24);
    bits.put((first & 0xffffffu) | uint64_t{second & 0xffffffu} << first_bits, first_bits + static_cast<int>(second >> 24));
  }
  if (t != token) bits.put(coded[*t] & 0xffffffu, static_cast<int>(coded[*t] >> 24));
  bits.put(codes[kEndOfBlock], lengths[kEndOfBlock]);
  out_.insert(out_.end(), scratch_.get(), bits.at);
  pending_ = bits.pending;
  pending_count_ = bits.count;
}

std::vector<unsigned char> FastDeflate::finish(bool last) {
  unsigned char tail[32];
  BitSink bits{tail, pending_, pending_count_};
  if (last) {
    bits.put(1, 1);  // the last block: fixed codes, nothing but its end (seven zero bits)
    bits.put(1, 2);
    bits.put(0, 7);
    bits.align();
  } else {
    bits.put(0, 3);  // an empty stored block: its length 0 and the length's complement, on a byte boundary
    bits.align();
    for (unsigned char b : {0x00, 0x00, 0xff, 0xff}) *bits.at++ = b;
  }
  out_.insert(out_.end(), tail, bits.at);
  pending_ = 0;
  pending_count_ = 0;
  previous_byte_ = -1;
  return std::exchange(out_, {});
}

}  // namespace quorv::io::detail

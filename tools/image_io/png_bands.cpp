// A PNG's rows are filtered and deflated band by band on every core. Each
// band is a raw deflate stream ended on a byte boundary (a sync flush), the
// last one finished; laid end to end they are one deflate stream, which a
// zlib header and the Adler-32 of all rows (combined from the bands') wrap.
// Every band is its own IDAT chunk, so its checksum is taken where it was
// made. Bands start with an empty dictionary: at a few hundred rows each,
// that costs well under a percent of size.
#include <ATen/ATen.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "host/errors.h"
#include "tools/image_io/fast_deflate.h"
#include "tools/image_io/png_bands.h"

namespace quorv::io::detail {
namespace {

// Rows of one band: enough that each deflate stream warms up, few enough
// that two cores share a picture of a few hundred rows. Bands do not depend
// on the number of cores, so a picture makes the same file on every machine.
constexpr int64_t kBandRows = 64;
// Uncompressed bytes of a band stay below this, so its IDAT chunk stays far below 2^31.
constexpr int64_t kMaxBandBytes = int64_t{64} << 20;
// Filtered rows are handed to the run coder in pieces of about this many bytes, one block each.
constexpr size_t kRunCoderPiece = size_t{64} << 10;

enum Filter : unsigned char { kNone = 0, kSub = 1, kUp = 2, kAverage = 3, kPaeth = 4 };

void put32(std::vector<unsigned char>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(v >> shift));
}

// A chunk: length, type, data, CRC of type and data.
void put_chunk(std::vector<unsigned char>& out, const char* type, const unsigned char* data, size_t length) {
  put32(out, static_cast<uint32_t>(length));
  const size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  if (length > 0) out.insert(out.end(), data, data + length);
  put32(out, static_cast<uint32_t>(crc32(0L, out.data() + start, static_cast<uInt>(length + 4))));
}

// One row of samples as the file's big-endian levels.
void quantise_row(const float* in, int64_t count, int bit_depth, unsigned char* out) {
  const float top = bit_depth == 16 ? 65535.f : 255.f;
  // Adding and taking away 2^23 rounds a float below 2^23 to an integer,
  // half to even, without a call per value. max(0, NaN) is 0. One loop per
  // depth keeps the depth's test out of the loop.
  constexpr float kRounder = 8388608.f;
  auto level = [top](float x) {
    return static_cast<int32_t>(std::min(std::max(0.f, x * top), top) + kRounder - kRounder);
  };
  if (bit_depth == 16) {
    for (int64_t i = 0; i < count; ++i) {
      const int32_t v = level(in[i]);
      out[2 * i] = static_cast<unsigned char>(v >> 8);
      out[2 * i + 1] = static_cast<unsigned char>(v);
    }
  } else {
    for (int64_t i = 0; i < count; ++i) out[i] = static_cast<unsigned char>(level(in[i]));
  }
}

// Branch-free: selects, not short-circuits.
int paeth(int a, int b, int c) {
  const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);  // |p - a|, |p - b|, |p - c|
  const int b_or_c = pb <= pc ? b : c;
  return (pa <= pb) & (pa <= pc) ? a : b_or_c;
}

template <Filter filter>
int predict(int left, int above, int above_left) {
  if constexpr (filter == kSub) return left;
  if constexpr (filter == kUp) return above;
  if constexpr (filter == kAverage) return (left + above) / 2;
  if constexpr (filter == kPaeth) return paeth(left, above, above_left);
  return 0;
}

// Bytes [begin, end) of `row` filtered against `prior`, from the second
// pixel on (begin >= bpp: no test in the loop, so the compiler can vectorise
// it), into `out`. Returns the usual heuristic's figure:
// the output read as signed bytes, summed by magnitude.
template <Filter filter>
uint64_t filter_span(const unsigned char* row, const unsigned char* prior, int64_t begin, int64_t end, int64_t bpp,
                     unsigned char* out) {
  // Summed in 32 bits over pieces short enough not to overflow (128 a byte
  // at most): adding to 64 bits in the loop would widen every byte eightfold.
  constexpr int64_t kPiece = int64_t{1} << 24;
  uint64_t sum = 0;
  for (int64_t piece = begin; piece < end; piece += kPiece) {
    uint32_t piece_sum = 0;
    for (int64_t i = piece, stop = std::min(end, piece + kPiece); i < stop; ++i) {
      const auto filtered = static_cast<unsigned char>(row[i] - predict<filter>(row[i - bpp], prior[i], prior[i - bpp]));
      out[i] = filtered;
      piece_sum += static_cast<uint32_t>(std::abs(static_cast<signed char>(filtered)));
    }
    sum += piece_sum;
  }
  return sum;
}

// `row` filtered against `prior` (zeros above the first row) into `out`, with its figure.
template <Filter filter>
uint64_t filter_row(const unsigned char* row, const unsigned char* prior, int64_t bytes, int64_t bpp,
                    unsigned char* out) {
  uint64_t sum = 0;
  const int64_t head = std::min(bpp, bytes);  // the first pixel: no left neighbour, nor one above-left
  for (int64_t i = 0; i < head; ++i) {
    out[i] = static_cast<unsigned char>(row[i] - predict<filter>(0, prior[i], 0));
    sum += static_cast<uint64_t>(std::abs(static_cast<signed char>(out[i])));
  }
  return sum + filter_span<filter>(row, prior, head, bytes, bpp, out);
}

uint64_t filter_row(Filter filter, const unsigned char* row, const unsigned char* prior, int64_t bytes, int64_t bpp,
                    unsigned char* out) {
  switch (filter) {
    case kSub: return filter_row<kSub>(row, prior, bytes, bpp, out);
    case kUp: return filter_row<kUp>(row, prior, bytes, bpp, out);
    case kAverage: return filter_row<kAverage>(row, prior, bytes, bpp, out);
    case kPaeth: return filter_row<kPaeth>(row, prior, bytes, bpp, out);
    case kNone: break;
  }
  return filter_row<kNone>(row, prior, bytes, bpp, out);
}

struct Band {
  int64_t first_row = 0, rows = 0;
  std::vector<unsigned char> chunk;  // the whole IDAT chunk
  uLong adler = 1;
  int64_t raw_bytes = 0;
  std::string error;
};

void encode_band(const at::Tensor& samples, int bit_depth, int level, bool last, Band& band) {
  const int64_t width = samples.size(1), channels = samples.size(2);
  const int64_t bpp = channels * (bit_depth / 8), row_bytes = width * bpp;
  const float* data = samples.data_ptr<float>();
  const int64_t row_stride = samples.stride(0);
  std::vector<unsigned char> prior(static_cast<size_t>(row_bytes), 0), row(static_cast<size_t>(row_bytes));
  std::vector<unsigned char> chosen_row(static_cast<size_t>(row_bytes)), trial(static_cast<size_t>(row_bytes));
  if (band.first_row > 0) quantise_row(data + (band.first_row - 1) * row_stride, width * channels, bit_depth, prior.data());

  // Length and type first; the length is filled in at the end.
  band.chunk.assign({0, 0, 0, 0, 'I', 'D', 'A', 'T'});
  // Level 1 is our own run coder; the other levels are zlib's. Rows are
  // handed to the run coder a few at a time, so that each block gets its own codes.
  const bool own_coder = level == 1;
  FastDeflate fast(band.chunk, own_coder ? static_cast<size_t>(band.rows * (row_bytes + 1)) : 0);
  // Filtered lines (filter byte, then the row) gather here: one line for
  // zlib, a piece of about kRunCoderPiece bytes for the run coder.
  const size_t line_bytes = static_cast<size_t>(row_bytes + 1);
  std::vector<unsigned char> lines(own_coder ? kRunCoderPiece + line_bytes : line_bytes);
  size_t used = 0;
  z_stream z{};
  // At zlib's fast levels, runs alone: half the time of a full match search
  // on 16-bit rows (whose low bytes barely repeat) and no larger on filtered 8-bit ones.
  const int strategy = level <= 3 ? Z_RLE : Z_DEFAULT_STRATEGY;
  if (!own_coder && deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy) != Z_OK) {
    band.error = "zlib would not start";
    return;
  }
  if (!own_coder)
    band.chunk.reserve(static_cast<size_t>(deflateBound(&z, static_cast<uLong>(band.rows * (row_bytes + 1))) + 16));
  std::vector<unsigned char> out(own_coder ? 0 : 1 << 16);
  auto drain = [&](int flush) {
    do {
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      const int status = deflate(&z, flush);
      if (status == Z_STREAM_ERROR) return false;
      band.chunk.insert(band.chunk.end(), out.data(), out.data() + (out.size() - z.avail_out));
    } while (z.avail_out == 0);
    return true;
  };
  bool ok = true;
  for (int64_t r = band.first_row; r < band.first_row + band.rows && ok; ++r) {
    quantise_row(data + r * row_stride, width * channels, bit_depth, row.data());
    Filter chosen = level == 0 ? kNone : bit_depth == 16 ? kUp : kNone;
    if (level > 0 && bit_depth == 8) {
      // Each candidate is filtered into the spare row and swapped in when it is better.
      uint64_t best = filter_row(kNone, row.data(), prior.data(), row_bytes, bpp, chosen_row.data());
      for (Filter f : {kSub, kUp, kAverage, kPaeth}) {
        const uint64_t sum = filter_row(f, row.data(), prior.data(), row_bytes, bpp, trial.data());
        if (sum < best) best = sum, chosen = f, std::swap(chosen_row, trial);
      }
    } else {
      filter_row(chosen, row.data(), prior.data(), row_bytes, bpp, chosen_row.data());
    }
    unsigned char* line = lines.data() + used;
    line[0] = chosen;
    std::memcpy(line + 1, chosen_row.data(), chosen_row.size());
    band.adler = adler32(band.adler, line, static_cast<uInt>(line_bytes));
    if (own_coder) {
      used += line_bytes;
      if (used >= kRunCoderPiece) fast.add(lines.data(), used), used = 0;
    } else {
      z.next_in = line;
      z.avail_in = static_cast<uInt>(line_bytes);
      ok = drain(Z_NO_FLUSH);
    }
    std::swap(prior, row);
  }
  if (own_coder) {
    // Either coder ends a band on a byte boundary without ending the stream (a sync flush); the last band ends it.
    fast.add(lines.data(), used);
    band.chunk = fast.finish(last);
  } else {
    if (ok) ok = drain(last ? Z_FINISH : Z_SYNC_FLUSH);
    deflateEnd(&z);
  }
  if (!ok) {
    band.error = "zlib failed";
    return;
  }
  band.raw_bytes = band.rows * (row_bytes + 1);
  const auto length = static_cast<uint32_t>(band.chunk.size() - 8);
  for (int i = 0; i < 4; ++i) band.chunk[static_cast<size_t>(i)] = static_cast<unsigned char>(length >> (24 - 8 * i));
  put32(band.chunk, static_cast<uint32_t>(crc32(0L, band.chunk.data() + 4, static_cast<uInt>(length + 4))));
}

}  // namespace

std::vector<unsigned char> encode_png_in_bands(const at::Tensor& samples, int bit_depth, int level) {
  if (!samples.defined() || samples.dim() != 3 || samples.scalar_type() != at::kFloat || !samples.device().is_cpu() ||
      samples.size(2) < 1 || samples.size(2) > 4 || samples.size(0) < 1 || samples.size(1) < 1 ||
      samples.stride(2) != 1 || samples.stride(1) != samples.size(2) || samples.stride(0) < samples.size(1) * samples.size(2))
    throw ValueError("encode_png_in_bands: samples must be float32 [H, W, 1..4] on the CPU, each row's pixels packed");
  if (bit_depth != 8 && bit_depth != 16) throw ValueError("PNG bit depth must be 8 or 16");
  if (level < 0 || level > 9) throw ValueError("PNG compression must be 0 to 9, got " + std::to_string(level));
  const int64_t height = samples.size(0), width = samples.size(1), channels = samples.size(2);
  const int64_t row_bytes = width * channels * (bit_depth / 8) + 1;
  if (width > 0x7fffffff || height > 0x7fffffff || row_bytes > kMaxBandBytes)
    throw ValueError("cannot write a PNG of " + std::to_string(width) + " x " + std::to_string(height) +
                     ": rows this long are not supported");

  const int64_t band_rows = std::max<int64_t>(1, std::min(kBandRows, kMaxBandBytes / row_bytes));
  const int64_t band_count = (height + band_rows - 1) / band_rows;
  std::vector<Band> bands(static_cast<size_t>(band_count));
  for (int64_t b = 0; b < band_count; ++b) {
    bands[static_cast<size_t>(b)].first_row = b * band_rows;
    bands[static_cast<size_t>(b)].rows = std::min(band_rows, height - b * band_rows);
  }
  // Nothing may leave a parallel region by an exception: a band records what went wrong.
#pragma omp parallel for schedule(dynamic, 1)
  for (int64_t b = 0; b < band_count; ++b) {
    Band& band = bands[static_cast<size_t>(b)];
    try {
      encode_band(samples, bit_depth, level, b == band_count - 1, band);
    } catch (const std::exception& e) {
      band.error = e.what();
    }
  }

  size_t encoded = 0;
  for (const Band& band : bands) encoded += band.chunk.size();
  std::vector<unsigned char> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  png.reserve(encoded + 128);  // signature, header, zlib header and trailer, end
  std::vector<unsigned char> header;
  put32(header, static_cast<uint32_t>(width));
  put32(header, static_cast<uint32_t>(height));
  static constexpr unsigned char kColourType[] = {0, 0, 4, 2, 6};  // by channel count
  header.insert(header.end(), {static_cast<unsigned char>(bit_depth), kColourType[channels], 0, 0, 0});
  put_chunk(png, "IHDR", header.data(), header.size());
  // The zlib header: deflate with a 32 KiB window, no dictionary (0x78 0x01 passes the check bits).
  const unsigned char zlib_header[] = {0x78, 0x01};
  put_chunk(png, "IDAT", zlib_header, sizeof zlib_header);
  uLong adler = 1;
  for (Band& band : bands) {
    if (!band.error.empty()) throw Error("cannot encode a picture as .png: " + band.error);
    png.insert(png.end(), band.chunk.begin(), band.chunk.end());
    adler = adler32_combine(adler, band.adler, static_cast<z_off_t>(band.raw_bytes));
    std::vector<unsigned char>().swap(band.chunk);
  }
  std::vector<unsigned char> trailer;
  put32(trailer, static_cast<uint32_t>(adler));
  put_chunk(png, "IDAT", trailer.data(), trailer.size());
  put_chunk(png, "IEND", nullptr, 0);
  return png;
}

}  // namespace quorv::io::detail

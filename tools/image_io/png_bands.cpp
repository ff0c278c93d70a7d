// A PNG's rows are filtered and deflated band by band on every core. Each
// band is a raw deflate stream ended on a byte boundary (a sync flush), the
// last one finished; laid end to end they are one deflate stream, which a
// zlib header and the Adler-32 of all rows (combined from the bands') wrap.
// Every band is its own IDAT chunk, so its checksum is taken where it was
// made. Bands start with an empty dictionary: at a few hundred rows each,
// that costs well under a percent of size.
#include <ATen/ATen.h>
#include <omp.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "host/errors.h"
#include "tools/image_io/png_bands.h"

namespace quorv::io::detail {
namespace {

// Rows of one band: enough that each deflate stream warms up, few enough
// that two cores share a picture of a few hundred rows.
constexpr int64_t kMinBandRows = 64;
// Uncompressed bytes of a band stay below this, so its IDAT chunk stays far below 2^31.
constexpr int64_t kMaxBandBytes = int64_t{64} << 20;

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
  // half to even, without a call per value; NaN fails the first test and becomes 0.
  constexpr float kRounder = 8388608.f;
  for (int64_t i = 0; i < count; ++i) {
    const float x = in[i] * top;
    const float level = (x > 0.f ? (x < top ? x : top) : 0.f) + kRounder - kRounder;
    const auto v = static_cast<uint32_t>(level);
    if (bit_depth == 16) {
      out[2 * i] = static_cast<unsigned char>(v >> 8);
      out[2 * i + 1] = static_cast<unsigned char>(v);
    } else {
      out[i] = static_cast<unsigned char>(v);
    }
  }
}

unsigned char paeth(int a, int b, int c) {
  const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  return static_cast<unsigned char>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// `row` filtered against `prior` (zeros above the first row) into `out`;
// returns the usual heuristic's figure: the output read as signed bytes,
// summed by magnitude (the filter with the smallest is kept).
template <Filter filter>
uint64_t filter_row(const unsigned char* row, const unsigned char* prior, int64_t bytes, int64_t bpp,
                    unsigned char* out) {
  uint64_t sum = 0;
  for (int64_t i = 0; i < bytes; ++i) {
    const int a = i >= bpp ? row[i - bpp] : 0, b = prior[i];
    int predicted = 0;
    if constexpr (filter == kSub) predicted = a;
    if constexpr (filter == kUp) predicted = b;
    if constexpr (filter == kAverage) predicted = (a + b) / 2;
    if constexpr (filter == kPaeth) predicted = paeth(a, b, i >= bpp ? prior[i - bpp] : 0);
    out[i] = static_cast<unsigned char>(row[i] - predicted);
    sum += static_cast<uint64_t>(std::abs(static_cast<signed char>(out[i])));
  }
  return sum;
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
  std::vector<unsigned char> line(static_cast<size_t>(row_bytes + 1)), trial(static_cast<size_t>(row_bytes));
  if (band.first_row > 0) quantise_row(data + (band.first_row - 1) * row_stride, width * channels, bit_depth, prior.data());

  z_stream z{};
  // At the fast levels, runs alone: half the time of a full match search on
  // 16-bit rows (whose low bytes barely repeat) and no larger on filtered 8-bit ones.
  const int strategy = level <= 3 ? Z_RLE : Z_DEFAULT_STRATEGY;
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy) != Z_OK) {
    band.error = "zlib would not start";
    return;
  }
  // Length and type first; the length is filled in at the end.
  band.chunk.assign({0, 0, 0, 0, 'I', 'D', 'A', 'T'});
  band.chunk.reserve(static_cast<size_t>(deflateBound(&z, static_cast<uLong>(band.rows * (row_bytes + 1))) + 16));
  std::vector<unsigned char> out(1 << 16);
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
      // Each candidate is filtered into the line or the spare row, the better one kept in the line.
      uint64_t best = filter_row(kNone, row.data(), prior.data(), row_bytes, bpp, line.data() + 1);
      for (Filter f : {kSub, kUp, kAverage, kPaeth}) {
        const uint64_t sum = filter_row(f, row.data(), prior.data(), row_bytes, bpp, trial.data());
        if (sum < best) {
          best = sum, chosen = f;
          std::memcpy(line.data() + 1, trial.data(), static_cast<size_t>(row_bytes));
        }
      }
    } else {
      filter_row(chosen, row.data(), prior.data(), row_bytes, bpp, line.data() + 1);
    }
    line[0] = chosen;
    band.adler = adler32(band.adler, line.data(), static_cast<uInt>(line.size()));
    z.next_in = line.data();
    z.avail_in = static_cast<uInt>(line.size());
    ok = drain(Z_NO_FLUSH);
    std::swap(prior, row);
  }
  // A sync flush ends the band on a byte boundary without ending the stream; the last band ends it.
  if (ok) ok = drain(last ? Z_FINISH : Z_SYNC_FLUSH);
  deflateEnd(&z);
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

  const int64_t threads = std::max(1, omp_get_max_threads());
  int64_t band_rows = std::max<int64_t>(kMinBandRows, (height + 4 * threads - 1) / (4 * threads));
  band_rows = std::max<int64_t>(1, std::min(band_rows, kMaxBandBytes / row_bytes));
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

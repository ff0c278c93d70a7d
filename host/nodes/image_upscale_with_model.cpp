#include <ATen/ATen.h>

#include <algorithm>
#include <cmath>

#include "host/checked_math.h"
#include "host/errors.h"
#include "host/image_tensor.h"
#include "host/memory.h"
#include "host/nodes/upscale_model_internal.h"

namespace quorv::host {
namespace {

// Bytes one input pixel is taken to cost in a model pass: two live 64-channel
// feature maps at the input's size and one at the result's (s^2 pixels), float32.
int64_t bytes_per_input_pixel(int64_t scale) { return 4 * 64 * (2 + scale * scale); }
// The default budget for one piece's activations.
constexpr int64_t kMaxBudget = int64_t{2} << 30;
// Scale assumed for the budget before the model has shown its own.
constexpr int64_t kAssumedScale = 4;
// The smallest kept centre of a piece: smaller pieces spend nearly all their work on the overlap.
constexpr int64_t kMinCore = 16;

// Where one piece lies on one axis: the model sees [start, start + length)
// and its result is kept for [keep_begin, keep_end).
struct Span {
  int64_t start, length, keep_begin, keep_end;
};

// Pieces of at most `size` that keep [begin, end) of an axis of `length`
// pixels, each kept part at least `overlap` pixels from its piece's border (or
// on the picture's edge). Pieces are evenly spaced and cut at the middle of their overlaps.
std::vector<Span> spans(int64_t begin, int64_t end, int64_t length, int64_t size, int64_t overlap) {
  const int64_t lo = std::max<int64_t>(0, begin - overlap), hi = std::min(length, end + overlap);
  if (hi - lo <= size) return {{lo, hi - lo, begin, end}};
  const int64_t step = size - 2 * overlap;  // > 0: checked by the caller
  const int64_t gaps = (hi - lo - size + step - 1) / step;
  // As many pieces as `size` needs, each no larger than that count needs: less work spent twice.
  size = (hi - lo + 2 * overlap * gaps + gaps) / (gaps + 1);
  const int64_t room = hi - lo - size;
  std::vector<Span> out;
  int64_t keep = begin;
  for (int64_t i = 0; i <= gaps; ++i) {
    const int64_t start = lo + i * room / gaps;
    const int64_t keep_end = i == gaps ? end : (start + size + lo + (i + 1) * room / gaps) / 2;
    out.push_back({start, size, keep, keep_end});
    keep = keep_end;
  }
  return out;
}

// One model pass over one picture of the batch, piece by piece.
class TiledRun {
 public:
  TiledRun(const UpscaleModel::Module& module, const std::string& name, const UpscaleOptions& options,
           ModelFacts facts, int64_t size)
      : module_(module), name_(name), options_(options), facts_(facts), size_(size) {}

  // `picture` is item `item` of `batch`, [1, C, H, W]; the kept results land
  // in the canvas ([batch, sH, sW, C]), clamped.
  void run(const at::Tensor& picture, int64_t item, int64_t batch) {
    picture_ = picture;
    item_ = item;
    batch_ = batch;
    run_region(0, picture.size(2), 0, picture.size(3), size_, /*retry=*/false);
  }

  const at::Tensor& canvas() const { return canvas_; }

 private:
  void run_region(int64_t y0, int64_t y1, int64_t x0, int64_t x1, int64_t size, bool retry) {
    const int64_t overlap = facts_.receptive_field;
    const std::vector<Span> ys = spans(y0, y1, picture_.size(2), size, overlap);
    const std::vector<Span> xs = spans(x0, x1, picture_.size(3), size, overlap);
    total_ += static_cast<int64_t>(ys.size() * xs.size()) - (retry ? 1 : 0);
    for (const Span& y : ys) {
      for (const Span& x : xs) {
        const int64_t half = size / 2;
        if (size >= too_large_ && half >= 2 * overlap + kMinCore) {
          run_region(y.keep_begin, y.keep_end, x.keep_begin, x.keep_end, half, true);
          continue;
        }
        const at::Tensor piece = picture_.narrow(2, y.start, y.length).narrow(3, x.start, x.length).contiguous();
        at::Tensor out;
        try {
          out = run_model_piece(module_, name_, piece, piece_name(y, x));
        } catch (const ModelOutOfMemory& e) {
          if (half < 2 * overlap + kMinCore)
            throw ValueError("upscale model '" + name_ + "' ran out of memory even on tiles of " +
                             std::to_string(size) + " pixels: " + e.what());
          too_large_ = std::min(too_large_, size);
          run_region(y.keep_begin, y.keep_end, x.keep_begin, x.keep_end, half, true);
          continue;
        }
        keep(out, y, x);
        ++done_;
        if (options_.progress) options_.progress(done_, total_);
      }
    }
  }

  std::string piece_name(const Span& y, const Span& x) const {
    return "tile " + std::to_string(done_ + 1) + " of " + std::to_string(total_) + " at x " +
           std::to_string(x.start) + ", y " + std::to_string(y.start) +
           (item_ > 0 ? " of picture " + std::to_string(item_) : "");
  }

  void keep(const at::Tensor& out, const Span& y, const Span& x) {
    const int64_t s = out.size(2) / y.length;
    if (facts_.scale == 0) facts_.scale = s;
    if (s != facts_.scale)
      throw ValueError("upscale model '" + name_ + "' enlarged " + piece_name(y, x) + " " + std::to_string(s) +
                       " times, expected " + std::to_string(facts_.scale) + " times");
    if (!canvas_.defined()) {
      const int64_t h = checked_mul(picture_.size(2), s, "upscaled height");
      const int64_t w = checked_mul(picture_.size(3), s, "upscaled width");
      const int64_t values = checked_mul(checked_mul(h, w, "upscaled size"), picture_.size(1) * batch_, "upscaled size");
      require_memory_for(float_bytes(values, "the upscaled picture"), "the upscaled picture");
      canvas_ = at::empty({batch_, h, w, picture_.size(1)}, at::kFloat);
    }
    const at::Tensor kept = out.narrow(2, (y.keep_begin - y.start) * s, (y.keep_end - y.keep_begin) * s)
                                .narrow(3, (x.keep_begin - x.start) * s, (x.keep_end - x.keep_begin) * s);
    canvas_.select(0, item_)
        .unsqueeze(0)
        .narrow(1, y.keep_begin * s, kept.size(2))
        .narrow(2, x.keep_begin * s, kept.size(3))
        .copy_(kept.permute({0, 2, 3, 1}))
        .clamp_(0.0, 1.0);
  }

  const UpscaleModel::Module& module_;
  const std::string& name_;
  const UpscaleOptions& options_;
  ModelFacts facts_;
  int64_t size_;
  int64_t too_large_ = INT64_MAX;  // pieces this size or larger ran out of memory
  int64_t done_ = 0, total_ = 0, item_ = 0, batch_ = 1;
  at::Tensor picture_;
  at::Tensor canvas_;
};

int64_t piece_size(const UpscaleOptions& options, const ModelFacts& facts) {
  const int64_t smallest = 2 * facts.receptive_field + kMinCore;
  if (options.tile_size > 0) {
    if (options.tile_size < smallest)
      throw ValueError("model tile size " + std::to_string(options.tile_size) + " leaves no room inside an overlap of " +
                       std::to_string(facts.receptive_field) + " pixels on each side; use at least " +
                       std::to_string(smallest));
    return options.tile_size;
  }
  const int64_t budget =
      options.memory_budget > 0 ? options.memory_budget : std::min(kMaxBudget, available_memory_bytes() / 4);
  const int64_t per_pixel = bytes_per_input_pixel(facts.scale > 0 ? facts.scale : kAssumedScale);
  const auto side = static_cast<int64_t>(std::sqrt(static_cast<double>(budget / per_pixel))) / 8 * 8;
  return std::max(smallest, side);
}

}  // namespace

std::tuple<at::Tensor> ImageUpscaleWithModel::upscale(const UpscaleModel& upscale_model, const at::Tensor& image) {
  return upscale(upscale_model, image, UpscaleOptions{});
}

std::tuple<at::Tensor> ImageUpscaleWithModel::upscale(const UpscaleModel& upscale_model, const at::Tensor& image,
                                                      const UpscaleOptions& options) {
  require_image(image, "ImageUpscaleWithModel image");
  if (!upscale_model.module_) throw ValueError("ImageUpscaleWithModel: no model loaded");
  if (image.size(0) == 0 || image.size(1) == 0 || image.size(2) == 0 || image.size(3) == 0)
    throw ValueError("ImageUpscaleWithModel image has no pixels: " + shape_string(image));
  if (options.tile_size < 0) throw ValueError("model tile size must not be negative, got " + std::to_string(options.tile_size));
  ModelFacts facts = upscale_model.facts();
  if (options.overlap >= 0) facts.receptive_field = options.overlap;
  TiledRun run(*upscale_model.module_, upscale_model.name(), options, facts, piece_size(options, facts));
  for (int64_t b = 0; b < image.size(0); ++b)
    run.run(image.select(0, b).unsqueeze(0).permute({0, 3, 1, 2}).to(at::kCPU), b, image.size(0));
  return {run.canvas().to(image.device())};
}

}  // namespace quorv::host

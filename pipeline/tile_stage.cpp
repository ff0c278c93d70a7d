#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include <future>
#include <map>
#include <tuple>

#include "host/image_tensor.h"
#include "host/nodes/image_scale.h"
#include "host/threads.h"
#include "image/fusion/fusion.h"
#include "image/masks/masks.h"
#include "image/module.h"
#include "image/quorv_image.h"
#include "image/reassembly/reassembly.h"
#include "pipeline/road_internal.h"

namespace quorv::pipeline {
namespace {

// The tile's inpaint mask as [1, h, w, 1] at the tile's own size.
at::Tensor inpaint_mask(const UpscaleOptions& o, const NodeState& SELF, const GridSpec& spec, const at::Tensor& tile) {
  at::Tensor mask = Quorv_Image::get_inpaint_mask(
      SELF, tile.size(1), tile.size(2), SELF.PARAMS.cols_qty.get(), SELF.PARAMS.rows_qty.get(), spec,
      static_cast<double>(o.inpaint_blur_margin), static_cast<double>(o.shift),
      static_cast<double>(o.inpaint_border_margin), o.detail, o.inpaint_max);
  // With a detail factor the mask comes at the enlarged tile's size, its bands scaled alike.
  if (mask.size(2) != tile.size(1) || mask.size(3) != tile.size(2))
    mask = at::upsample_bilinear2d(mask, {tile.size(1), tile.size(2)}, /*align_corners=*/false);
  return mask.permute({0, 2, 3, 1});
}

// A tile's mask depends only on its size and on whether it lies in the first
// or last row or column, so tiles alike in these share one. A mask leaves the
// cache with the last tile that asks for it: only the kinds of the rows at
// hand stay (at 1024-pixel tiles each is 4.5 MiB).
class MaskCache {
 public:
  MaskCache(const NodeState& SELF, const std::vector<GridSpec>& grid, const std::vector<at::Tensor>& tiles) {
    for (size_t i = 0; i < grid.size() && i < tiles.size(); ++i) last_[key_of(SELF, grid[i], tiles[i])] = i;
  }

  at::Tensor mask(const UpscaleOptions& o, const NodeState& SELF, const GridSpec& spec, const at::Tensor& tile,
                  size_t index) {
    const Key key = key_of(SELF, spec, tile);
    auto found = masks_.find(key);
    if (found == masks_.end()) found = masks_.emplace(key, inpaint_mask(o, SELF, spec, tile)).first;
    at::Tensor mask = found->second;
    const auto last = last_.find(key);
    if (last != last_.end() && last->second <= index) masks_.erase(found);
    return mask;
  }

 private:
  using Key = std::tuple<bool, bool, bool, bool, int64_t, int64_t>;
  static Key key_of(const NodeState& SELF, const GridSpec& spec, const at::Tensor& tile) {
    const int64_t last_row = SELF.PARAMS.rows_qty.get() - 1, last_col = SELF.PARAMS.cols_qty.get() - 1;
    return {spec.row == 0, spec.row == last_row, spec.col == 0, spec.col == last_col, tile.size(2), tile.size(1)};
  }
  std::map<Key, at::Tensor> masks_;
  std::map<Key, size_t> last_;  // the last tile of each kind
};

at::Tensor resized(const at::Tensor& picture, int64_t width, int64_t height) {
  return std::get<0>(host::ImageScale::upscale(picture, "lanczos", width, height, "disabled"));
}

// A processed tile, and what became of the pixels its mask kept.
struct Regenerated {
  at::Tensor tile;
  KeptBandStatus kept_band;
};

// The processor's version of one tile, applied through the tile's mask; with
// tone matching the kept pixels take the processed tone. Reads only the
// tile, its mask and the settings: tiles may go through here on several
// threads at once.
Regenerated regenerated(TileProcessor& processor, const UpscaleOptions& o, const NodeState& SELF,
                       const std::vector<GridSpec>& grid, int64_t index, const at::Tensor& tile,
                       const at::Tensor& mask) {
  int64_t x = 0, y = 0, w = tile.size(2), h = tile.size(1);
  if (o.kontext) {
    const auto [k_w, k_h, crop_kontext_x, crop_kontext_y] = Quorv_Image::get_kontext_crop(SELF, tile, grid, index);
    x = crop_kontext_x, y = crop_kontext_y, w = k_w, h = k_h;
  }
  const at::Tensor picture = tile.narrow(1, y, h).narrow(2, x, w);
  const at::Tensor region_mask = mask.narrow(1, y, h).narrow(2, x, w);
  TileJob job{index, grid[static_cast<size_t>(index)], picture, region_mask};
  if (o.detail != 1.0) {
    const int64_t dw = std::max<int64_t>(1, static_cast<int64_t>(static_cast<double>(w) * o.detail));
    const int64_t dh = std::max<int64_t>(1, static_cast<int64_t>(static_cast<double>(h) * o.detail));
    job.picture = resized(picture, dw, dh);
    job.mask = at::upsample_bilinear2d(region_mask.permute({0, 3, 1, 2}), {dh, dw}, false).permute({0, 2, 3, 1});
  }
  at::Tensor out = processor.process(job);
  if (!out.defined() || out.sizes() != job.picture.sizes())
    throw ValueError(tile_name(job) + ": the processor returned " + shape_string(out) + ", expected " +
                     shape_string(job.picture));
  if (o.detail != 1.0) out = resized(out, w, h);
  Regenerated result;
  if (o.match_tone) {
    fusion::KeptBandTone toned = fusion::blend_kept_band_in_tone(picture, out, region_mask);
    result = {std::move(toned.tile), {toned.applied, toned.reason, toned.gain, toned.offset}};
  } else {
    // lerp keeps the original pixel exactly where the mask is 0.
    result.tile = picture.lerp(out, region_mask);
  }
  if (!o.kontext) return result;
  at::Tensor whole = tile.clone();
  whole.narrow(1, y, h).narrow(2, x, w).copy_(result.tile);
  result.tile = whole;
  return result;
}

// With keep_going, a tile the processor failed on stays as it was: the
// failure is printed and recorded, in grid order.
void record_unprocessed(const Error& e, const GridSpec& spec, int64_t index, std::vector<SkippedTile>& unprocessed) {
  print_line(std::string("Warning: ") + e.what() + " (kept going: the tile stays unprocessed)");
  // The list names the tile already.
  std::string reason = e.what();
  const std::string name = tile_name({index, spec, {}, {}}) + ": ";
  if (reason.rfind(name, 0) == 0) reason.erase(0, name.size());
  unprocessed.push_back({index, spec.row, spec.col, reason});
}

// Finished tiles wait for their last reader in slots that are used again
// once they are let go. Otherwise each lives among the short-lived
// temporaries of the tiles after it, and the holes those leave fragment the
// heap: a third of a canvas at 4096 x 4096.
class TileSlots {
 public:
  // `tile` copied into a free slot of its shape, or into a new slot when
  // there is none: allocated now, after the tile's temporaries are gone, a
  // slot sits below them in the heap instead of among them (a tenth of a
  // canvas at 4096 x 4096, against keeping the tile itself).
  at::Tensor keep(const at::Tensor& tile) {
    for (auto it = free_.begin(); it != free_.end(); ++it)
      if (it->sizes() == tile.sizes() && it->scalar_type() == tile.scalar_type() && it->device() == tile.device()) {
        at::Tensor slot = std::move(*it);
        free_.erase(it);
        return slot.copy_(tile);
      }
    return tile.clone();
  }

  // A tile let go: its memory becomes a free slot when nothing else holds it
  // (a view of the enlarged picture, or a tile still shared, is simply dropped).
  void give_back(at::Tensor tile) {
    if (!tile.defined() || !tile.is_contiguous() || tile.storage_offset() != 0 || tile.use_count() != 1 ||
        tile.storage().use_count() != 1 ||
        tile.storage().nbytes() != static_cast<size_t>(tile.numel()) * tile.element_size())
      return;
    free_.push_back(std::move(tile));
  }

 private:
  std::vector<at::Tensor> free_;
};

void report(const ProgressCallback& progress, ProgressEvent::Kind kind, int64_t done, int64_t total) {
  if (progress) progress({kind, "tiles", done, total});
}

}  // namespace

TileStage process_tiles(TileProcessor& processor, const UpscaleOptions& o, const NodeState& SELF,
                        const std::vector<GridSpec>& grid, const std::vector<at::Tensor>& tiles, at::Tensor& canvas,
                        FusionTracker* fusion, const ProgressCallback& progress, RowStream* rows) {
  using Kind = ProgressEvent::Kind;
  TileStage stage;
  stage.finished.resize(tiles.size());
  const size_t count = o.fast_preview ? std::min<size_t>(1, tiles.size()) : tiles.size();
  // A fast preview processes one tile and pastes nothing: the other tiles stay as they came.
  for (size_t i = count; i < tiles.size(); ++i) stage.finished[i] = tiles[i];
  // Only fusion and tone matching read finished tiles; without them each goes as soon as it is pasted.
  const bool read_later = fusion != nullptr || o.match_tone;
  const std::vector<size_t> last_reader = last_readers(grid);
  std::vector<std::vector<size_t>> release_after(tiles.size());
  for (size_t j = 0; j < tiles.size(); ++j) release_after[read_later ? last_reader[j] : j].push_back(j);
  NodeState constants_state = SELF;  // reading the constants writes them into the state
  reassembly::TilePaster paster(SELF, SELF.SIZE.composite_blur_margin.get(),
                                masks::set_mask_constants(constants_state).inpaint_margin);
  MaskCache masks_by_position(SELF, grid, tiles);
  TileSlots slots;
  const bool changes = processor.changes_tiles();

  // Tiles fan out to workers while this thread fuses and pastes in grid order;
  // a processor that is not thread-safe gets one worker. Work runs at most
  // 2 x jobs tiles ahead, which bounds the processed tiles waiting here.
  std::unique_ptr<WorkerPool> pool;
  if (o.jobs > 1 && changes && count > 1) {
    const int workers = processor.thread_safe() ? o.jobs : 1;
    pool = std::make_unique<WorkerPool>(workers, std::max(1, at::get_num_threads() / workers));
  }
  const size_t ahead = pool ? 2 * static_cast<size_t>(o.jobs) : 0;
  std::vector<std::future<Regenerated>> pending(count);
  size_t submitted = 0;

  Stopwatch watch;
  report(progress, Kind::start, 0, static_cast<int64_t>(count));
  for (size_t i = 0; i < count; ++i) {
    const auto index = static_cast<int64_t>(i);
    // The processor gets every core; the rest is many small operations on strips.
    std::optional<host::ThreadLimit> serial(std::in_place, 1);
    at::Tensor mask;
    if (pool) {
      for (; submitted < std::min(count, i + ahead); ++submitted) {
        const at::Tensor tile_mask = masks_by_position.mask(o, SELF, grid[submitted], tiles[submitted], submitted);
        const auto job_index = static_cast<int64_t>(submitted);
        pending[submitted] = pool->submit([&processor, &o, &SELF, &grid, &tiles, job_index, tile_mask] {
          return regenerated(processor, o, SELF, grid, job_index, tiles[static_cast<size_t>(job_index)], tile_mask);
        });
      }
    } else {
      mask = masks_by_position.mask(o, SELF, grid[i], tiles[i], i);
    }
    stage.masks += watch.lap();
    serial.reset();
    at::Tensor tile = tiles[i];
    KeptBandStatus kept_band{false, "the tile was not processed", {}, {}};
    if (changes) {
      try {
        Regenerated made = pool ? pending[i].get() : regenerated(processor, o, SELF, grid, index, tiles[i], mask);
        tile = std::move(made.tile);
        kept_band = std::move(made.kept_band);
      } catch (const Error& e) {
        if (!o.keep_going) throw;
        record_unprocessed(e, grid[i], index, stage.unprocessed);
      }
    }
    stage.processing += watch.lap();
    serial.emplace(1);
    if (o.match_tone && !changes) {
      // Every tile is the enlarged picture's own: no tone to bring together.
      const auto channels = static_cast<size_t>(tile.size(3));
      stage.tone_matches.push_back({index, false, "the processor leaves tiles as they are",
                                    std::vector<double>(channels, 1.0), std::vector<double>(channels, 0.0),
                                    {false, "the processor leaves tiles as they are", {}, {}}});
    } else if (o.match_tone) {
      // A tile the processor made is this loop's own; a view of the enlarged picture is shared with its neighbours.
      const bool own = !tile.storage().is_alias_of(tiles[i].storage());
      serial.reset();  // the correction is a pass over the whole tile
      fusion::ToneMatch matched = own ? fusion::match_tile_tone_in_place(tile, grid, index, stage.finished, tiles)
                                      : fusion::match_tile_tone(tile, grid, index, stage.finished, tiles);
      serial.emplace(1);
      tile = matched.tile;
      stage.tone_matches.push_back(
          {index, matched.applied, matched.reason, matched.gain, matched.offset, std::move(kept_band)});
      stage.tone_matching += watch.lap();
    }
    // Later tiles read this one from a slot. A tile the processor made is
    // fused in place and copied there after, once its temporaries are gone;
    // a view of the enlarged picture is copied there first, and fused in the slot.
    const bool in_slot = read_later && tile.is_same(tiles[i]);
    if (in_slot) tile = slots.keep(tile);
    if (fusion) fusion->fuse(SELF, tile, grid, index, stage.finished);
    stage.fusing += watch.lap();
    if (rows) rows->before_paste(i);
    if (!o.fast_preview) paster.paste(canvas, tile, grid[i]);
    stage.finished[i] = read_later && !in_slot ? slots.keep(tile) : tile;
    tile.reset();
    if (!o.keep_tiles)
      for (size_t j : release_after[i])
        if (stage.finished[j]) {
          // Slots are taken only by tiles something reads later; otherwise memory goes back at once.
          if (read_later) slots.give_back(std::move(*stage.finished[j]));
          stage.finished[j].reset();
        }
    if (rows) rows->done(i);
    stage.pasting += watch.lap();
    report(progress, Kind::advance, index + 1, static_cast<int64_t>(count));
  }
  report(progress, Kind::end, static_cast<int64_t>(count), static_cast<int64_t>(count));
  return stage;
}

}  // namespace quorv::pipeline

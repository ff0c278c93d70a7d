// The steps of the road that Upscaler::run strings together; not for callers.
#pragma once

#include <ATen/core/Tensor.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "pipeline/upscaler.h"

namespace quorv::pipeline {

/// Threads that run tile work, each under a limit of `threads_each` tensor
/// threads so that the workers together do not oversubscribe the cores.
/// Work starts in the order it was submitted. Going away, the pool drops work
/// not yet started and waits for the work under way.
class WorkerPool {
 public:
  WorkerPool(int workers, int threads_each);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  /// The work's result (or exception) comes through the future.
  template <class Work>
  auto submit(Work work) -> std::future<decltype(work())> {
    auto task = std::make_shared<std::packaged_task<decltype(work())()>>(std::move(work));
    auto result = task->get_future();
    enqueue([task] { (*task)(); });
    return result;
  }

 private:
  void enqueue(std::function<void()> task);
  void serve(int threads_each);

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

/// A result filled row by row from the enlarged picture just before the
/// first tile pastes into them, while the enlarged picture's rows go back to
/// the system as soon as no tile left reads them: the two hold about one
/// canvas and a row of tiles between them, not two canvases. The source's
/// pages must be the caller's alone (host::pages_are_ours but for the
/// caller's own views): its discarded rows read as 0 after.
class RowStream {
 public:
  /// `source`: contiguous [B, H, W, C]; `result`: of its shape, not yet
  /// written. The first `count` tiles of `grid` are pasted, in grid order.
  RowStream(at::Tensor source, at::Tensor result, const std::vector<GridSpec>& grid, size_t count);

  /// Before tile i is pasted: the result's rows up to its bottom are filled.
  void before_paste(size_t i);
  /// Tile i is done: the source rows no later tile reads (its processing,
  /// the tone match's originals, the rows the result still lacks) go.
  void done(size_t i);
  /// After the last tile: the rest of the result filled, the whole source gone.
  void finish();

 private:
  at::Tensor source_, result_;
  std::vector<int64_t> paste_end_;    // result rows that must be filled before tile i is pasted
  std::vector<int64_t> needed_from_;  // the first source row tile i + 1 or a later one reads
  int64_t filled_ = 0, discarded_ = 0;
};

/// What the tile stage leaves behind.
struct TileStage {
  std::vector<OptionalImage> finished;   ///< by grid position; let go once no later tile needs them
  std::vector<SkippedTile> unprocessed;  ///< tiles the processor failed on (keep_going)
  std::vector<ToneMatchStatus> tone_matches;
  Lap masks, processing, tone_matching, fusing, pasting;
};

/// Every tile in grid order: its mask, the processor's version, tone
/// matching and fusion into the tiles finished before it, then pasted into
/// `canvas` at once, in the order and through the masks of a rebuild. A
/// finished tile is kept only as long as a later tile may read it (about two
/// rows), unless `o.keep_tiles`. Processing runs `o.jobs` tiles at a time
/// (one at a time for a processor that is not thread-safe), never more than
/// 2 x jobs ahead of the tile being fused. With `rows`, `canvas` is filled
/// and the tiles' picture let go as the tiles go by.
TileStage process_tiles(TileProcessor& processor, const UpscaleOptions& o, const NodeState& SELF,
                        const std::vector<GridSpec>& grid, const std::vector<at::Tensor>& tiles, at::Tensor& canvas,
                        FusionTracker* fusion, const ProgressCallback& progress, RowStream* rows = nullptr);

}  // namespace quorv::pipeline

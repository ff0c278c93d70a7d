#pragma once

namespace quorv::host {

/// Limits the tensor operations the calling thread starts to `threads`
/// threads while it lives, and restores the previous limit after.
///
/// Narrow strips, masks and per-tile bookkeeping are hundreds of small
/// operations: waking the other cores for each costs more than it gives, so
/// such stages run under `ThreadLimit(1)` while the heavy passes (resampling,
/// a model's forward pass) keep every core. Only the calling thread is
/// affected; without OpenMP this does nothing.
class ThreadLimit {
 public:
  explicit ThreadLimit(int threads);
  ~ThreadLimit();
  ThreadLimit(const ThreadLimit&) = delete;
  ThreadLimit& operator=(const ThreadLimit&) = delete;

 private:
  int previous_;
};

/// Sets how many threads the tensor operations of the calling thread use
/// (0: one per core), after the library's own lazy set-up has run, so that
/// the set-up cannot undo it later. Returns the number in effect.
int use_threads(int threads);

}  // namespace quorv::host

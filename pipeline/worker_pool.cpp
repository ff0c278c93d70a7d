#include <ATen/Parallel.h>

#include "host/threads.h"
#include "pipeline/road_internal.h"

namespace quorv::pipeline {

WorkerPool::WorkerPool(int workers, int threads_each) {
  if (workers < 1) throw ValueError("WorkerPool: workers must be at least 1, got " + std::to_string(workers));
  for (int i = 0; i < workers; ++i) threads_.emplace_back([this, threads_each] { serve(threads_each); });
}

WorkerPool::~WorkerPool() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    queue_.clear();
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void WorkerPool::enqueue(std::function<void()> task) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void WorkerPool::serve(int threads_each) {
  // The library's lazy per-thread set-up would later undo a limit set before it.
  at::internal::lazy_init_num_threads();
  const host::ThreadLimit limit(threads_each);
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      task = std::move(queue_.front());
      queue_.pop_front();
    }
    task();
  }
}

}  // namespace quorv::pipeline

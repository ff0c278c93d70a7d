#include "host/threads.h"

#include <ATen/Parallel.h>

#include <algorithm>
#include <thread>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "host/errors.h"

namespace quorv::host {

// The tensor library reads the OpenMP limit of the calling thread on every
// parallel operation, so setting that limit is all a scope needs (the
// library's own set_num_threads also resizes other pools: too heavy per tile).
ThreadLimit::ThreadLimit(int threads) : previous_(at::get_num_threads()) {
  if (threads < 1) throw ValueError("ThreadLimit: threads must be at least 1, got " + std::to_string(threads));
#ifdef _OPENMP
  omp_set_num_threads(std::min(threads, previous_));
#endif
}

ThreadLimit::~ThreadLimit() {
#ifdef _OPENMP
  omp_set_num_threads(previous_);
#endif
}

int use_threads(int threads) {
  if (threads < 0) throw ValueError("threads must be 0 (one per core) or more, got " + std::to_string(threads));
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  // Runs the lazy set-up now: run later, it would reset the count chosen here.
  at::internal::lazy_init_num_threads();
  at::set_num_threads(threads == 0 ? cores : threads);
  return at::get_num_threads();
}

}  // namespace quorv::host

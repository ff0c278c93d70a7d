#include <time.h>

#include "host/memory.h"
#include "pipeline/upscaler.h"

namespace quorv::pipeline {

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

Lap Stopwatch::lap() {
  const auto now = std::chrono::steady_clock::now();
  const double cpu = cpu_seconds();
  const Lap lap{std::chrono::duration<double>(now - last_).count(), cpu - last_cpu_};
  last_ = now;
  last_cpu_ = cpu;
  return lap;
}

void StageTimes::add(const std::string& stage, const Lap& lap) {
  wall.emplace_back(stage, lap.wall);
  cpu.emplace_back(stage, lap.cpu);
  peak_rss.emplace_back(stage, peak_rss_bytes());
}

void StageTimes::append(const StageTimes& later) {
  wall.insert(wall.end(), later.wall.begin(), later.wall.end());
  cpu.insert(cpu.end(), later.cpu.begin(), later.cpu.end());
  peak_rss.insert(peak_rss.end(), later.peak_rss.begin(), later.peak_rss.end());
}

}  // namespace quorv::pipeline

#include <ATen/ATen.h>

#include <algorithm>

#include "host/errors.h"
#include "host/image_tensor.h"
#include "host/page_release.h"
#include "image/fusion/fusion.h"
#include "pipeline/road_internal.h"

namespace quorv::pipeline {

RowStream::RowStream(at::Tensor source, at::Tensor result, const std::vector<GridSpec>& grid, size_t count)
    : source_(std::move(source)), result_(std::move(result)) {
  if (!source_.defined() || !result_.defined() || source_.sizes() != result_.sizes() || source_.dim() != 4 ||
      !source_.is_contiguous())
    throw ValueError("RowStream: the source must be a contiguous [B, H, W, C] picture of the result's shape, got " +
                     shape_string(source_) + " and " + shape_string(result_));
  const int64_t h = source_.size(1);
  count = std::min(count, grid.size());
  paste_end_.resize(count);
  needed_from_.assign(count, h);
  // A tile reads its own rows, and its neighbours' originals a little above it.
  const auto first_read = [&](size_t i) {
    return std::clamp<int64_t>(grid[i].y_start - fusion::kToneMatchReach, 0, h);
  };
  for (size_t i = 0; i < count; ++i)
    paste_end_[i] = std::clamp<int64_t>(grid[i].y_start + grid[i].height_inc, 0, h);
  for (size_t i = count; i-- > 1;) needed_from_[i - 1] = std::min(needed_from_[i], first_read(i));
}

void RowStream::before_paste(size_t i) {
  const int64_t end = paste_end_.at(i);
  if (end <= filled_) return;
  result_.narrow(1, filled_, end - filled_).copy_(source_.narrow(1, filled_, end - filled_));
  filled_ = end;
}

void RowStream::done(size_t i) {
  // Rows not yet copied into the result are still read, by the copy.
  const int64_t until = std::min(needed_from_.at(i), filled_);
  if (until <= discarded_) return;
  host::discard_rows(source_, discarded_, until);
  discarded_ = until;
}

void RowStream::finish() {
  const int64_t h = source_.size(1);
  if (filled_ < h) result_.narrow(1, filled_, h - filled_).copy_(source_.narrow(1, filled_, h - filled_));
  filled_ = h;
  host::discard_rows(source_, discarded_, h);
  discarded_ = h;
}

}  // namespace quorv::pipeline

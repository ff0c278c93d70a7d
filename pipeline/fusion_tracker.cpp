#include <ATen/ATen.h>

#include "image/fusion/fusion.h"
#include "image/module.h"
#include "pipeline/upscaler.h"

namespace quorv::pipeline {
namespace {

using service::FusionOutcome;

std::chrono::milliseconds millis(double seconds) {
  return std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000 + 0.5));
}

// What went wrong with the service, for the line that stops the run before any work.
std::string check_failure(const FusionOutcome& outcome, const std::string& address) {
  const std::string service = "the fusion service at " + address;
  switch (outcome.kind) {
    case FusionOutcome::Kind::FailedStatus:
      if (outcome.http_status == 401 || outcome.http_status == 403)
        return service + " refused the token (HTTP " + std::to_string(outcome.http_status) +
               "): check --token-file or $QUORV_TOKEN";
      return service + " answered HTTP " + std::to_string(outcome.http_status) + " to a test request";
    case FusionOutcome::Kind::TimedOut: return service + " did not answer: " + outcome.reason;
    case FusionOutcome::Kind::BadReply: return service + " sent a reply that is not a fusion reply: " + outcome.reason;
    default: return "cannot reach " + service + ": " + outcome.reason;
  }
}

}  // namespace

FusionTracker::FusionTracker(const UpscaleOptions& o) : options_(o) {
  client_.connect_timeout = millis(o.fusion_timeout);
  client_.data_timeout = millis(o.fusion_timeout);
  client_.total_timeout = 2 * millis(o.fusion_timeout);
}

void FusionTracker::check_service(const NodeState& SELF, const std::vector<GridSpec>& grid) const {
  if (grid.empty()) return;
  const service::FusionReply reply =
      service::fetch_blend_info(service::prepare_neuro_generative_fusion(grid, 0, options_.scale), SELF, client_);
  if (reply.outcome.replied()) return;
  const std::string why =
      check_failure(reply.outcome, options_.fusion_address) + "; nothing was processed (fusion \"none\" runs without the service)";
  const long status = reply.outcome.http_status;
  if (status == 401 || status == 403) throw SettingsError(why);
  throw Error(why);
}

void FusionTracker::fuse(const NodeState& SELF, at::Tensor& tile, const std::vector<GridSpec>& grid, int64_t index,
                         const std::vector<OptionalImage>& finished) {
  const GridSpec& spec = grid.at(static_cast<size_t>(index));
  if (!stopped_.empty()) {
    skip(spec, index, "not sent to the service, which had failed " + std::to_string(kFailuresBeforeStop) +
                          " tiles in a row");
    return;
  }
  fusion::ServiceCall call{client_, {}};
  try {
    // A failed exchange leaves the tile as it was.
    fusion::fusion_update_in_place(
        options_.fusion == "v1" ? fusion::FusionForm::Accumulating : fusion::FusionForm::Base, SELF, tile, grid, index,
        finished, options_.blend_all, service::Json(options_.scale), call, &scratch_);
  } catch (const Error& e) {
    // One corner the fusion cannot blend should not cost the whole picture; the tile is unchanged.
    failures_in_a_row_ = 0;
    skip(spec, index, std::string("the fusion could not blend it: ") + e.what());
    return;
  }
  const FusionOutcome& outcome = call.outcome;
  if (outcome.replied() || outcome.kind == FusionOutcome::Kind::NotAsked) {
    failures_in_a_row_ = 0;
    return;
  }
  failures_in_a_row_ = failures_in_a_row_ > 0 && outcome.same_cause(last_failure_) ? failures_in_a_row_ + 1 : 1;
  last_failure_ = outcome;
  skip(spec, index, outcome.reason);
  if (failures_in_a_row_ >= kFailuresBeforeStop) {
    stopped_ = "the fusion service at " + options_.fusion_address + " failed " + std::to_string(kFailuresBeforeStop) +
               " tiles in a row (" + outcome.reason + "); the remaining tiles were not sent to it";
    print_line("Warning: " + stopped_);
  }
}

void FusionTracker::skip(const GridSpec& spec, int64_t index, const std::string& reason) {
  SkippedTile skipped{index, spec.row, spec.col, reason};
  const std::string line = tile_name({index, spec, {}, {}}) + " was not fused: " + reason;
  if (options_.strict) throw Error(line + " (--strict: nothing written)");
  // After the stop one line says it for every remaining tile.
  if (stopped_.empty()) print_line("Warning: " + line);
  unfused_.push_back(std::move(skipped));
}

}  // namespace quorv::pipeline

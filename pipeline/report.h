// A finished run as JSON: what the road did to the picture, for the tool's
// --report file and the Python module's report alike. Files and formats
// (input, output, previews) are the caller's to add.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

#include "pipeline/upscaler.h"

namespace quorv::pipeline {

/// "lanczos", or "with model NAME".
std::string enlarge_method(const UpscaleOptions& options);

/// The road's report, members in this order: enlarged (size, scale,
/// method), working (padded for the grid), adjustments (what fitting to the
/// picture changed), grid (with the overlaps as laid), settings, processor,
/// fusion (the service, and every tile not fused with its reason),
/// unprocessed, complete, seam_score (relative to the enlarged picture, with
/// the worst border), tone_match and refix_seams when asked for, timings and
/// cpu_per_wall per stage of `report.stages` (a "total" among them is kept),
/// memory (the estimate, the process's peak and the peak after each stage).
nlohmann::ordered_json report_json(const Plan& plan, const UpscaleReport& report);

}  // namespace quorv::pipeline

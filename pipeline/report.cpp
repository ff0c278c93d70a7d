#include "pipeline/report.h"

#include <cmath>

#include "host/memory.h"

namespace quorv::pipeline {
namespace {

using Json = nlohmann::ordered_json;

Json grid_json(const Plan& plan) {
  const SizeState& size = plan.SELF.SIZE;
  return {{"rows", plan.SELF.PARAMS.rows_qty.get()},
          {"cols", plan.SELF.PARAMS.cols_qty.get()},
          {"tiles", plan.grid_specs.size()},
          {"tile_width", size.fullW.get()},
          {"tile_height", size.fullH.get()},
          {"step_x", plan.tile_grid_W},
          {"step_y", plan.tile_grid_H},
          // As laid: the smallest and largest overlap between neighbouring columns (rows).
          {"overlap_x", plan.overlap_x.first},
          {"overlap_y", plan.overlap_y.first},
          {"overlap_x_max", plan.overlap_x.second},
          {"overlap_y_max", plan.overlap_y.second},
          {"uneven_grid_tiles", plan.uneven_tiles},
          {"band", plan.band},
          {"mode", plan.SELF.PARAMS.Tile_Fusion_Mode.get()}};
}

Json settings_json(const UpscaleOptions& o) {
  return {{"inpaint_border_margin", o.inpaint_border_margin},
          {"inpaint_blur_margin", o.inpaint_blur_margin},
          {"shift", o.shift},
          {"shifttl", o.shifttl},
          {"composite_blur_margin", o.composite_blur_margin},
          {"inpaint_max", o.inpaint_max},
          {"blend", o.blend},
          {"kontext", o.kontext},
          {"detail", o.detail},
          {"debug_overlay", o.debug_overlay},
          {"fast_preview", o.fast_preview}};
}

Json skipped_json(const std::vector<SkippedTile>& tiles) {
  Json list = Json::array();
  for (const SkippedTile& t : tiles)
    list.push_back({{"tile", t.index}, {"row", t.row}, {"col", t.col}, {"reason", t.reason}});
  return list;
}

// "score" is relative to the enlarged picture on the same lines: 1.00 = as before processing.
Json seams_json(const measure::SeamVisibility& v, const std::vector<GridSpec>& grid) {
  Json seams = {{"score", v.relative}, {"vertical", v.vertical}, {"horizontal", v.horizontal}, {"borders", v.borders}};
  const measure::SeamBorder& b = v.worst;
  if (b.tile < 0 || b.tile >= static_cast<int64_t>(grid.size())) return seams;
  const GridSpec& s = grid[static_cast<size_t>(b.tile)];
  seams["worst"] = {{"score", b.relative},
                    {"tile", b.tile},
                    {"neighbour", b.neighbour},
                    {"row", s.row},
                    {"col", s.col},
                    {"edge", b.vertical ? "left" : "top"},
                    {"line", b.line},
                    {"start", b.start},
                    {"length", b.length}};
  return seams;
}

// The borders --refix-seams re-fused, each with its score before and after.
Json refix_json(const fusion::SeamRefix& refix, double threshold) {
  Json borders = Json::array();
  for (const fusion::RefixedBorder& b : refix.borders)
    borders.push_back({{"tile", b.before.tile},
                       {"neighbour", b.before.neighbour},
                       {"edge", b.before.vertical ? "left" : "top"},
                       {"before", b.before.relative},
                       {"after", b.after}});
  return {{"threshold", threshold},
          {"score_before", refix.before.relative},
          {"score_after", refix.after.relative},
          {"borders", borders}};
}

Json tone_match_json(const std::vector<ToneMatchStatus>& matches) {
  Json tiles = Json::array();
  int64_t applied = 0, bands = 0;
  for (const ToneMatchStatus& m : matches) {
    applied += m.applied ? 1 : 0;
    bands += m.kept_band.applied ? 1 : 0;
    const KeptBandStatus& k = m.kept_band;
    tiles.push_back({{"tile", m.tile},
                     {"applied", m.applied},
                     {"reason", m.reason},
                     {"gain", m.gain},
                     {"offset", m.offset},
                     {"kept_band", {{"applied", k.applied}, {"reason", k.reason}, {"gain", k.gain}, {"offset", k.offset}}}});
  }
  return {{"applied", applied},
          {"skipped", static_cast<int64_t>(matches.size()) - applied},
          {"kept_bands_toned", bands},
          {"tiles", tiles}};
}

}  // namespace

std::string enlarge_method(const UpscaleOptions& o) {
  if (!o.model.empty()) return "with model " + o.model;
  if (!o.upscale_model.empty()) return "with model " + o.upscale_model;
  return "lanczos";
}

Json report_json(const Plan& plan, const UpscaleReport& r) {
  const UpscaleOptions& o = plan.options;
  Json report;
  report["enlarged"] = {{"width", plan.enlarged.width},
                        {"height", plan.enlarged.height},
                        {"scale", o.scale},
                        {"method", enlarge_method(o)}};
  report["working"] = {{"width", plan.working.width}, {"height", plan.working.height}};
  report["adjustments"] = plan.notes;
  report["grid"] = grid_json(plan);
  std::vector<int64_t> skipped_tiles;
  for (const SkippedTile& t : r.unfused) skipped_tiles.push_back(t.index);
  report["settings"] = settings_json(o);
  report["processor"] = o.processor;
  report["fusion"] = {{"update", o.fusion},
                      {"blend_all", o.blend_all},
                      {"service", o.fusion == "none" ? std::string() : o.fusion_address},
                      {"skipped_tiles", skipped_tiles},
                      {"unfused", skipped_json(r.unfused)},
                      {"stopped_asking", r.fusion_stopped.empty() ? Json() : Json(r.fusion_stopped)}};
  report["unprocessed"] = skipped_json(r.unprocessed);
  report["complete"] = r.complete();
  report["seam_score"] = seams_json(r.seams, plan.grid_specs);
  if (o.match_tone) report["tone_match"] = tone_match_json(r.tone_matches);
  if (r.refix) report["refix_seams"] = refix_json(*r.refix, o.seam_threshold > 0 ? o.seam_threshold : measure::kVisibleSeam);
  const StageTimes& stages = r.stages;
  Json timings = Json::object();
  for (const auto& [stage, seconds] : stages.wall) timings[stage] = seconds;
  report["timings"] = timings;
  // How many cores each stage kept busy on average.
  Json cores = Json::object();
  for (size_t i = 0; i < stages.cpu.size() && i < stages.wall.size(); ++i) {
    const double wall = stages.wall[i].second;
    cores[stages.cpu[i].first] = wall > 0 ? std::round(100 * stages.cpu[i].second / wall) / 100 : 0.0;
  }
  report["cpu_per_wall"] = cores;
  report["memory"] = {{"estimated_peak_bytes", plan.estimated_peak_bytes}, {"peak_rss_bytes", peak_rss_bytes()}};
  // Where the peak was reached: the peak so far at the end of each stage.
  Json peaks = Json::object();
  for (const auto& [stage, bytes] : stages.peak_rss) peaks[stage] = bytes;
  report["memory"]["peak_rss_after"] = peaks;
  return report;
}

}  // namespace quorv::pipeline

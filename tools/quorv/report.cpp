#include <cstdio>
#include <sstream>

#include "tools/quorv/quorv_cli.h"

namespace quorv::cli {
namespace {

std::string fixed(double value, int digits) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", digits, value);
  return text;
}

std::string size_text(const Json& part) {
  return std::to_string(part["width"].get<int64_t>()) + " x " + std::to_string(part["height"].get<int64_t>());
}

Json grid_json(const Plan& plan) {
  const SizeState& size = plan.SELF.SIZE;
  return {{"rows", plan.SELF.PARAMS.rows_qty.get()},
          {"cols", plan.SELF.PARAMS.cols_qty.get()},
          {"tiles", plan.grid_specs.size()},
          {"tile_width", size.fullW.get()},
          {"tile_height", size.fullH.get()},
          {"step_x", plan.tile_grid_W},
          {"step_y", plan.tile_grid_H},
          {"overlap_x", size.fullW.get() - plan.tile_grid_W},
          {"overlap_y", size.fullH.get() - plan.tile_grid_H},
          {"band", plan.band},
          {"mode", plan.SELF.PARAMS.Tile_Fusion_Mode.get()}};
}

Json settings_json(const RunOptions& o) {
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

}  // namespace

Json report_json(const RunFacts& f) {
  const RunOptions& o = f.options;
  Json report;
  report["input"] = {{"path", o.input},
                     {"width", f.plan.input.width},
                     {"height", f.plan.input.height},
                     {"bit_depth", f.input_bit_depth},
                     {"alpha", f.input_alpha}};
  report["enlarged"] = {{"width", f.plan.enlarged.width},
                        {"height", f.plan.enlarged.height},
                        {"scale", o.scale},
                        {"method", enlarge_method(o)}};
  report["output"] = {{"path", o.output},
                      {"width", f.plan.enlarged.width},
                      {"height", f.plan.enlarged.height},
                      {"depth", o.depth},
                      {"alpha", f.output_alpha}};
  report["grid"] = grid_json(f.plan);
  report["settings"] = settings_json(o);
  report["processor"] = o.processor;
  report["fusion"] = {{"update", o.fusion},
                      {"blend_all", o.blend_all},
                      {"service", f.service_address},
                      {"skipped_tiles", f.unfused_tiles}};
  report["seam_score"] = {{"score", f.seams.score},
                          {"vertical", f.seams.vertical},
                          {"horizontal", f.seams.horizontal},
                          {"borders", f.seams.lines},
                          {"enlarged", f.reference.score}};
  Json stages = Json::object();
  for (const auto& [stage, seconds] : f.timings) stages[stage] = seconds;
  report["timings"] = stages;
  report["memory"] = {{"estimated_peak_bytes", f.plan.estimated_peak_bytes}, {"peak_rss_bytes", peak_rss_bytes()}};
  report["previews"] = f.previews;
  return report;
}

std::string summary_text(const Json& r) {
  const Json& grid = r["grid"];
  const Json& seams = r["seam_score"];
  const Json& timings = r["timings"];
  std::ostringstream out;
  out << "quorv upscale  " << r["input"]["path"].get<std::string>() << " (" << size_text(r["input"]) << ") -> "
      << r["output"]["path"].get<std::string>() << " (" << size_text(r["output"]) << ", "
      << r["output"]["depth"].get<int>() << "-bit" << (r["output"]["alpha"].get<bool>() ? ", alpha" : "") << ")\n"
      << "grid           " << grid["rows"].get<int64_t>() << " rows x " << grid["cols"].get<int64_t>() << " cols = "
      << grid["tiles"].get<int64_t>() << " tiles of " << grid["tile_width"].get<int64_t>() << " x "
      << grid["tile_height"].get<int64_t>() << ", overlap " << grid["overlap_x"].get<int64_t>() << " x "
      << grid["overlap_y"].get<int64_t>() << " (step " << grid["step_x"].get<int64_t>() << " x "
      << grid["step_y"].get<int64_t>() << "), band " << grid["band"].get<int64_t>() << ", mode "
      << grid["mode"].get<std::string>() << "\n"
      << "tiles          processor " << r["processor"].get<std::string>() << ", fusion "
      << r["fusion"]["update"].get<std::string>() << (r["fusion"]["blend_all"].get<bool>() ? " (blend all)" : "")
      << "\n"
      << "seam score     " << fixed(seams["score"].get<double>(), 3) << "  (vertical "
      << fixed(seams["vertical"].get<double>(), 3) << ", horizontal " << fixed(seams["horizontal"].get<double>(), 3)
      << ", " << seams["borders"].get<int64_t>() << " borders; 1.0 = like any other line of the picture)\n"
      << "               the enlarged picture on the same lines: " << fixed(seams["enlarged"].get<double>(), 3)
      << "\n";
  const size_t skipped = r["fusion"]["skipped_tiles"].size();
  if (skipped > 0) out << "               fusion skipped for " << skipped << " tile(s), see the warnings above\n";
  out << "stages\n";
  const double total = timings["total"].get<double>();
  for (const auto& [stage, seconds] : timings.items()) {
    if (stage == "total") continue;
    const double s = seconds.get<double>();
    char line[96];
    std::snprintf(line, sizeof line, "  %-12s %8.3f s  %5.1f%%\n", stage.c_str(), s, total > 0 ? 100 * s / total : 0);
    out << line;
  }
  char line[96];
  std::snprintf(line, sizeof line, "  %-12s %8.3f s\n", "total", total);
  out << line << "memory         peak " << human_bytes(r["memory"]["peak_rss_bytes"].get<int64_t>()) << " (estimated "
      << human_bytes(r["memory"]["estimated_peak_bytes"].get<int64_t>()) << ")\n";
  return out.str();
}

}  // namespace quorv::cli

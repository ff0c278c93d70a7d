#include <algorithm>
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

// "64", or "64..120" when the overlaps differ.
std::string overlap_text(const Json& grid, const char* axis) {
  const int64_t least = grid[std::string("overlap_") + axis].get<int64_t>();
  const int64_t most = grid[std::string("overlap_") + axis + "_max"].get<int64_t>();
  return least == most ? std::to_string(least) : std::to_string(least) + ".." + std::to_string(most);
}

std::string size_text(const Json& part) {
  return std::to_string(part["width"].get<int64_t>()) + " x " + std::to_string(part["height"].get<int64_t>());
}

// "tiles 3, 5-9": tile numbers, runs of consecutive ones joined.
std::string tile_list(const std::vector<int64_t>& tiles) {
  std::string text = tiles.size() == 1 ? "tile " : "tiles ";
  for (size_t i = 0; i < tiles.size();) {
    size_t j = i;
    while (j + 1 < tiles.size() && tiles[j + 1] == tiles[j] + 1) ++j;
    if (i > 0) text += ", ";
    text += std::to_string(tiles[i]);
    if (j > i) text += "-" + std::to_string(tiles[j]);
    i = j + 1;
  }
  return text;
}

// One line per reason, in the order the reasons first came up.
void list_skipped(std::ostringstream& out, const char* heading, const Json& skipped, int64_t total) {
  if (skipped.empty()) return;
  std::vector<std::pair<std::string, std::vector<int64_t>>> by_reason;
  for (const Json& t : skipped) {
    const std::string reason = t["reason"].get<std::string>();
    auto found = std::find_if(by_reason.begin(), by_reason.end(), [&](const auto& r) { return r.first == reason; });
    if (found == by_reason.end()) found = by_reason.insert(by_reason.end(), {reason, {}});
    found->second.push_back(t["tile"].get<int64_t>());
  }
  char head[32];
  std::snprintf(head, sizeof head, "%-15s", heading);
  out << head << skipped.size() << " of " << total << " tiles\n";
  for (const auto& [reason, tiles] : by_reason) out << "               " << tile_list(tiles) << ": " << reason << "\n";
}

// "3 no finished neighbour, 1 overlap too small": skip reasons of `tiles` (or of
// each entry's `part`) counted, details in brackets left out.
std::string skip_reasons(const Json& tiles, const char* part = nullptr) {
  std::vector<std::pair<std::string, int>> counts;
  for (const Json& entry : tiles) {
    const Json& t = part ? entry[part] : entry;
    if (t["applied"].get<bool>()) continue;
    std::string reason = t["reason"].get<std::string>();
    reason = reason.substr(0, reason.find(" ("));
    auto it = std::find_if(counts.begin(), counts.end(), [&](const auto& c) { return c.first == reason; });
    if (it == counts.end()) counts.emplace_back(reason, 1);
    else ++it->second;
  }
  std::string text;
  for (const auto& [reason, count] : counts) text += (text.empty() ? "" : ", ") + std::to_string(count) + " " + reason;
  return text;
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
  // The road's members, with the output after the adjustments.
  const Json road = pipeline::report_json(f.plan, f.road);
  for (const auto& [key, value] : road.items()) {
    report[key] = value;
    if (key != "adjustments") continue;
    report["output"] = {{"path", o.output},
                        {"width", f.plan.enlarged.width},
                        {"height", f.plan.enlarged.height},
                        {"depth", f.output_depth},
                        {"channels", f.output_channels},
                        {"alpha", f.output_alpha}};
    if (!f.composited_over.empty()) report["output"]["composited_over"] = f.composited_over;
  }
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
      << r["output"]["depth"].get<int>() << "-bit" << (r["output"]["channels"].get<int>() <= 2 ? ", grey" : "")
      << (r["output"]["alpha"].get<bool>() ? ", alpha" : "") << ")\n";
  if (r["output"].contains("composited_over"))
    out << "alpha          composited over " << r["output"]["composited_over"].get<std::string>()
        << ": the format of OUTPUT holds no alpha\n";
  out
      << "grid           " << grid["rows"].get<int64_t>() << " rows x " << grid["cols"].get<int64_t>() << " cols = "
      << grid["tiles"].get<int64_t>() << " tiles of " << grid["tile_width"].get<int64_t>() << " x "
      << grid["tile_height"].get<int64_t>() << ", overlap " << overlap_text(grid, "x") << " x "
      << overlap_text(grid, "y") << " (step " << grid["step_x"].get<int64_t>() << " x "
      << grid["step_y"].get<int64_t>() << "), band " << grid["band"].get<int64_t>() << ", mode "
      << grid["mode"].get<std::string>() << "\n"
      << "tiles          processor " << r["processor"].get<std::string>() << ", fusion "
      << r["fusion"]["update"].get<std::string>() << (r["fusion"]["blend_all"].get<bool>() ? " (blend all)" : "")
      << (r["complete"].get<bool>() ? "" : ", INCOMPLETE: some tiles not done as asked (below)") << "\n"
      << "seam score     " << fixed(seams["score"].get<double>(), 2) << "  (vertical "
      << fixed(seams["vertical"].get<double>(), 2) << ", horizontal " << fixed(seams["horizontal"].get<double>(), 2)
      << ", " << seams["borders"].get<int64_t>() << (seams["borders"].get<int64_t>() == 1 ? " border" : " borders")
      << "; 1.00 = as visible as before processing)\n";
  if (seams.contains("worst")) {
    const Json& w = seams["worst"];
    out << "               worst " << fixed(w["score"].get<double>(), 2) << ": " << w["edge"].get<std::string>()
        << " edge of tile " << w["tile"].get<int64_t>() << " (row " << w["row"].get<int64_t>() << ", col "
        << w["col"].get<int64_t>() << ") against tile " << w["neighbour"].get<int64_t>() << "\n";
  }
  if (r.contains("tone_match")) {
    const Json& t = r["tone_match"];
    out << "tone match     applied to " << t["applied"].get<int64_t>() << " of "
        << t["applied"].get<int64_t>() + t["skipped"].get<int64_t>() << " tiles";
    if (t["skipped"].get<int64_t>() > 0) out << "; skipped: " << skip_reasons(t["tiles"]);
    const auto bands = t["kept_bands_toned"].get<int64_t>();
    out << "\n               kept bands in the processed tone: " << bands << " of " << t["tiles"].size() << " tiles";
    if (bands < static_cast<int64_t>(t["tiles"].size())) out << "; not: " << skip_reasons(t["tiles"], "kept_band");
    out << "\n";
  }
  if (r.contains("refix_seams")) {
    const Json& x = r["refix_seams"];
    out << "refix seams    " << x["borders"].size() << " of " << seams["borders"].get<int64_t>()
        << " borders above " << fixed(x["threshold"].get<double>(), 2) << " re-fused; score "
        << fixed(x["score_before"].get<double>(), 2) << " -> " << fixed(x["score_after"].get<double>(), 2) << "\n";
    for (const Json& b : x["borders"])
      out << "               " << b["edge"].get<std::string>() << " edge of tile " << b["tile"].get<int64_t>()
          << " against tile " << b["neighbour"].get<int64_t>() << ": " << fixed(b["before"].get<double>(), 2)
          << " -> " << fixed(b["after"].get<double>(), 2) << "\n";
  }
  const int64_t tiles = grid["tiles"].get<int64_t>();
  list_skipped(out, "unprocessed", r["unprocessed"], tiles);
  list_skipped(out, "not fused", r["fusion"]["unfused"], tiles);
  if (r["fusion"]["stopped_asking"].is_string())
    out << "               " << r["fusion"]["stopped_asking"].get<std::string>() << "\n";
  out << "stages\n";
  const double total = timings["total"].get<double>();
  for (const auto& [stage, seconds] : timings.items()) {
    if (stage == "total") continue;
    const double s = seconds.get<double>();
    char line[128];
    std::snprintf(line, sizeof line, "  %-12s %8.3f s  %5.1f%%", stage.c_str(), s, total > 0 ? 100 * s / total : 0);
    out << line;
    const Json& cores = r["cpu_per_wall"];
    if (cores.contains(stage)) {
      std::snprintf(line, sizeof line, "  %4.1f cores", cores[stage].get<double>());
      out << line;
    }
    out << "\n";
  }
  char line[96];
  std::snprintf(line, sizeof line, "  %-12s %8.3f s          %4.1f cores\n", "total", total,
                r["cpu_per_wall"].value("total", 0.0));
  out << line << "memory         peak " << human_bytes(r["memory"]["peak_rss_bytes"].get<int64_t>()) << " (estimated "
      << human_bytes(r["memory"]["estimated_peak_bytes"].get<int64_t>()) << ")\n";
  return out.str();
}

}  // namespace quorv::cli

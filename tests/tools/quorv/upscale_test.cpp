// The whole road, run through the built program on small real pictures.
#include <gtest/gtest.h>

#include "host/nodes/image_scale.h"
#include "tests/tools/quorv/cli_support.h"

namespace quorv::test {
namespace {

// A 160 x 120 crop enlarged x2 with 128-pixel tiles: band 32, overlap 64,
// step 64, a grid of 3 rows x 4 columns.
const std::vector<std::string> kSmallGrid{"--tile-size", "128", "-q"};

std::vector<std::string> upscale(const TempFolder& dir, const std::string& output,
                                 std::vector<std::string> options) {
  std::vector<std::string> args{"upscale", dir / "in.png", "-o", dir / output};
  args.insert(args.end(), kSmallGrid.begin(), kSmallGrid.end());
  args.insert(args.end(), options.begin(), options.end());
  return args;
}

at::Tensor lanczos(const at::Tensor& picture, int64_t w, int64_t h) {
  return std::get<0>(host::ImageScale::upscale(picture, "lanczos", w, h, "disabled"));
}

// The 8-bit levels a file holds of a float picture (compared as levels: reading scales by 1/255 in float).
at::Tensor levels(const at::Tensor& picture) { return picture.clamp(0, 1).mul(255).round(); }

at::Tensor read(const std::string& path) { return io::read_picture(path).rgb; }

TEST(Quorv_Upscale, IdentityWithoutFusionReproducesTheEnlargedPicture) {
  TempFolder dir;
  const at::Tensor enlarged = lanczos(write_coffee_crop(dir / "in.png"), 320, 240);

  const ProgramRun run = run_quorv(upscale(dir, "out.png", {"--fusion", "none"}), dir);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");  // quiet
  EXPECT_TRUE(same_values(levels(read(dir / "out.png")), levels(enlarged)));

  ASSERT_EQ(run_quorv(upscale(dir, "out16.png", {"--fusion", "none", "--depth", "16"}), dir).status, 0);
  const io::LoadedPicture deep = io::read_picture(dir / "out16.png");
  EXPECT_EQ(deep.bit_depth, 16);
  EXPECT_LE(max_abs_diff(deep.rgb, enlarged), 0.5 / 65535 + 1e-7);
}

TEST(Quorv_Upscale, ProcessorsAndFusionModesKeepTheSizeAndDoTheirPart) {
  TempFolder dir;
  const at::Tensor input = write_coffee_crop(dir / "in.png");
  const at::Tensor enlarged = lanczos(input, 320, 240);

  // Fusing tiles cut from one picture blends equal pixels: nothing changes beyond rounding.
  ASSERT_EQ(run_quorv(upscale(dir, "identity_v1.png", {"--fusion", "v1"}), dir).status, 0);
  EXPECT_LE(max_abs_diff(levels(read(dir / "identity_v1.png")), levels(enlarged)), 1.0);

  // x1.5 gives exactly 240 x 180 (the grid works on it padded to 256 x 192). The model brightens by
  // 0.25 wherever a tile may be repainted; the top-left corner has no
  // neighbour on either side, so its mask is 1 there.
  const std::string brighten = "torchscript:" + test_model_folder() + "/brighten.pt";
  const ProgramRun model =
      run_quorv(upscale(dir, "brighten.png", {"--scale", "1.5", "--processor", brighten, "--fusion", "none"}), dir);
  ASSERT_EQ(model.status, 0) << model.err;
  const at::Tensor brightened = read(dir / "brighten.png");
  ASSERT_EQ(brightened.sizes(), (std::vector<int64_t>{1, 180, 240, 3}));
  const at::Tensor plain = lanczos(input, 240, 180);
  EXPECT_NEAR(brightened[0][0][0][0].item<float>(), std::min(1.0f, plain[0][0][0][0].item<float>() + 0.25f), 1.0 / 255);
  EXPECT_GT(brightened.mean().item<double>(), plain.mean().item<double>() + 0.1);

  const ProgramRun demo =
      run_quorv(upscale(dir, "demo_v0.png", {"--processor", "demo", "--fusion", "v0", "--blend-all"}), dir);
  ASSERT_EQ(demo.status, 0) << demo.err;
  const at::Tensor regenerated = read(dir / "demo_v0.png");
  ASSERT_EQ(regenerated.sizes(), enlarged.sizes());
  EXPECT_GT(max_abs_diff(regenerated, enlarged), 0.05);
}

TEST(Quorv_Upscale, FusionWithToneMatchingHidesTheBordersOfTheDemoProcessor) {
  // 240 x 160 enlarged x2 with 128-pixel tiles: 4 rows x 7 columns.
  TempFolder dir;
  write_small_coffee(dir / "in.png");
  const ProgramRun off = run_quorv(upscale(dir, "off.png", {"--processor", "demo", "--fusion", "none",
                                                            "--report", dir / "off.json"}), dir);
  ASSERT_EQ(off.status, 0) << off.err;
  const ProgramRun on = run_quorv(upscale(dir, "on.png", {"--processor", "demo", "--match-tone", "--report",
                                                          dir / "on.json", "--previews", dir / "previews"}), dir);
  ASSERT_EQ(on.status, 0) << on.err;
  const nlohmann::json without = read_json(dir / "off.json"), with = read_json(dir / "on.json");
  // Relative to the same lines of the enlarged picture: 1.00 = as before processing.
  const double score_off = without["seam_score"]["score"], score_on = with["seam_score"]["score"];
  const std::string scores = "unfused " + std::to_string(score_off) + ", fused " + std::to_string(score_on);
  EXPECT_GT(score_off, 1.5) << scores;
  EXPECT_LT(score_on, 0.75 * score_off) << scores;
  EXPECT_GT(without["seam_score"]["worst"]["score"].get<double>(), 1.5);
  // The worst border is named by its two tiles: left (one column back) or top (one row of 7 back).
  const int64_t gap = without["seam_score"]["worst"]["tile"].get<int64_t>() -
                      without["seam_score"]["worst"]["neighbour"].get<int64_t>();
  EXPECT_EQ(gap, without["seam_score"]["worst"]["edge"] == "left" ? 1 : 7);
  EXPECT_NE(on.out.find("seam score"), std::string::npos) << on.out;
  EXPECT_NE(on.out.find("worst"), std::string::npos) << on.out;

  // Tone matching: every tile but the first has a finished neighbour; none without the option.
  const nlohmann::json& tone = with["tone_match"];
  EXPECT_GE(tone["applied"].get<int>(), 20) << tone.dump();
  EXPECT_EQ(tone["tiles"][0]["reason"], "no finished neighbour");
  // The demo shifts every tile's tone, so every kept band is brought to it, the first tile's too.
  EXPECT_EQ(tone["kept_bands_toned"], 28) << tone.dump();
  EXPECT_TRUE(tone["tiles"][0]["kept_band"]["applied"].get<bool>());
  EXPECT_FALSE(without.contains("tone_match"));
  EXPECT_NE(on.out.find("tone match     applied to"), std::string::npos) << on.out;
  EXPECT_TRUE(with["timings"].contains("tone_match"));
  // Without previews finished tiles are let go as soon as no later tile reads
  // them: fusion and tone matching must see the same neighbours all the same.
  const ProgramRun streamed = run_quorv(upscale(dir, "streamed.png", {"--processor", "demo", "--match-tone"}), dir);
  ASSERT_EQ(streamed.status, 0) << streamed.err;
  EXPECT_TRUE(same_values(read(dir / "streamed.png"), read(dir / "on.png")));

  // The report carries the run's facts.
  EXPECT_EQ(with["output"]["width"], 480);
  EXPECT_EQ(with["output"]["height"], 320);
  const nlohmann::json& grid = with["grid"];
  EXPECT_EQ(grid["rows"], 4);
  EXPECT_EQ(grid["cols"], 7);
  EXPECT_EQ(grid["tiles"], 28);
  EXPECT_EQ(grid["tile_width"], 128);
  EXPECT_EQ(grid["overlap_x"], 64);
  EXPECT_EQ(grid["step_y"], 64);
  EXPECT_EQ(grid["band"], 32);
  EXPECT_EQ(with["fusion"]["update"], "v1");
  EXPECT_EQ(with["fusion"]["service"].get<std::string>().rfind("http://127.0.0.1:", 0), 0u);
  EXPECT_EQ(without["fusion"]["update"], "none");
  EXPECT_GT(with["seam_score"]["borders"].get<int>(), 0);
  for (const char* stage :
       {"read", "enlarge", "grid", "masks", "process", "fusion", "paste", "seam_score", "write", "total"})
    EXPECT_TRUE(with["timings"].contains(stage) && with["cpu_per_wall"].contains(stage)) << stage;
#ifndef __SANITIZE_ADDRESS__  // AddressSanitizer's shadow memory and quarantine are not the program's
  EXPECT_LE(with["memory"]["peak_rss_bytes"].get<int64_t>(), with["memory"]["estimated_peak_bytes"].get<int64_t>());
#endif

  // The grid preview shows the working picture: 480 wide padded to 128 + 6 x 64 for an even grid.
  EXPECT_EQ(read(dir / "previews/grid.png").sizes(), (std::vector<int64_t>{1, 320, 512, 3}));
  EXPECT_EQ(read(dir / "previews/mask_preview.png").sizes(), (std::vector<int64_t>{1, 128, 128, 3}));
  EXPECT_EQ(read(dir / "previews/tile_0_bands.png").sizes(), (std::vector<int64_t>{1, 128, 128, 3}));
  EXPECT_EQ(read(dir / "previews/seam_closeup.png").sizes(), (std::vector<int64_t>{1, 256, 516, 3}));
}

TEST(Quorv_Upscale, RefixSeamsReFusesTheVisibleBordersOnceAndListsThem) {
  TempFolder dir;
  write_small_coffee(dir / "in.png");
  const ProgramRun run = run_quorv(upscale(dir, "out.png", {"--processor", "demo", "--fusion", "none",
                                                            "--refix-seams", "--report", dir / "r.json"}), dir);
  ASSERT_EQ(run.status, 0) << run.err;
  const nlohmann::json report = read_json(dir / "r.json");
  const nlohmann::json& refix = report["refix_seams"];
  EXPECT_DOUBLE_EQ(refix["threshold"].get<double>(), 1.1);
  ASSERT_GT(refix["borders"].size(), 5u) << refix.dump();
  double worst_before = 0, worst_after = 0;
  for (const nlohmann::json& b : refix["borders"]) {
    EXPECT_GT(b["before"].get<double>(), 1.1) << b.dump();
    worst_before = std::max(worst_before, b["before"].get<double>());
    worst_after = std::max(worst_after, b["after"].get<double>());
  }
  EXPECT_LT(worst_after, 0.6 * worst_before) << refix.dump();
  // The headline score is the one after the re-fix.
  EXPECT_DOUBLE_EQ(report["seam_score"]["score"].get<double>(), refix["score_after"].get<double>());
  EXPECT_LT(refix["score_after"].get<double>(), refix["score_before"].get<double>());
  EXPECT_TRUE(report["timings"].contains("refix_seams"));
  EXPECT_NE(run.out.find("refix seams    "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(" -> "), std::string::npos) << run.out;

  // A threshold alone is a mistake; a high one re-fuses nothing.
  const ProgramRun alone = run_quorv(upscale(dir, "x.png", {"--seam-threshold", "1.5"}), dir);
  EXPECT_EQ(alone.status, 2);
  EXPECT_NE(alone.err.find("--seam-threshold applies to --refix-seams only"), std::string::npos) << alone.err;
  const ProgramRun high = run_quorv(upscale(dir, "high.png", {"--processor", "demo", "--fusion", "none",
                                                              "--refix-seams", "--seam-threshold", "1000",
                                                              "--report", dir / "high.json"}), dir);
  ASSERT_EQ(high.status, 0) << high.err;
  EXPECT_TRUE(read_json(dir / "high.json")["refix_seams"]["borders"].empty());
}

TEST(Quorv_Upscale, AlphaIsEnlargedAndReattachedWhereTheFormatKeepsIt) {
  TempFolder dir;
  const at::Tensor rgb = sample_picture("astronaut.png").narrow(1, 100, 96).narrow(2, 200, 128);
  const at::Tensor alpha = at::linspace(0, 1, 128).view({1, 1, 128, 1}).expand({1, 96, 128, 1});
  io::write_picture(dir / "in.png", at::cat({rgb, alpha}, 3).contiguous());

  ASSERT_EQ(run_quorv(upscale(dir, "out.png", {"--fusion", "none"}), dir).status, 0);
  const io::LoadedPicture out = io::read_picture(dir / "out.png");
  ASSERT_TRUE(out.alpha.has_value());
  const at::Tensor expected = lanczos(io::read_picture(dir / "in.png").alpha.value(), 256, 192);
  EXPECT_LE(max_abs_diff(*out.alpha, expected), 0.5 / 255 + 1e-6);

  ASSERT_EQ(run_quorv(upscale(dir, "out.jpg", {"--fusion", "none"}), dir).status, 0);
  EXPECT_FALSE(io::read_picture(dir / "out.jpg").alpha.has_value());
}

TEST(Quorv_Upscale, ModelKontextDetailOverlayAndFastPreviewTakeEffect) {
  TempFolder dir;
  const at::Tensor enlarged = lanczos(write_coffee_crop(dir / "in.png"), 320, 240);

  // 240 x 180 with 128-pixel tiles: the grid alone would push its last column
  // to 112, so that the tile in row 1, column 0 met the one above-right-right
  // by 16 columns only, too few for the corner ramp of 32, and stayed
  // unfused. The even grid (working 256 x 192, every step 64) fuses them all.
  const std::string model_file = test_model_folder() + "/double_nearest.pt";
  const ProgramRun model = run_quorv(upscale(dir, "model.png", {"--scale", "1.5", "--upscale-model", model_file,
                                                                "--report", dir / "model.json"}), dir);
  ASSERT_EQ(model.status, 0) << model.out << model.err;
  EXPECT_EQ(read(dir / "model.png").sizes(), (std::vector<int64_t>{1, 180, 240, 3}));
  EXPECT_EQ((model.out + model.err).find("was not fused"), std::string::npos) << model.out << model.err;
  const nlohmann::json grid = read_json(dir / "model.json")["grid"];
  EXPECT_EQ(grid["overlap_x"], 64);
  EXPECT_EQ(grid["overlap_x_max"], 64);
  EXPECT_EQ(grid["overlap_y_max"], 64);
  EXPECT_EQ(read_json(dir / "model.json")["working"]["width"], 256);

  const ProgramRun kontext =
      run_quorv(upscale(dir, "kontext.png", {"--processor", "demo", "--kontext", "--detail", "1.5"}), dir);
  ASSERT_EQ(kontext.status, 0) << kontext.err;
  EXPECT_EQ(read(dir / "kontext.png").sizes(), enlarged.sizes());

  // The fast preview processes one tile and leaves the picture as enlarged.
  ASSERT_EQ(run_quorv(upscale(dir, "fast.png", {"--processor", "demo", "--fast-preview"}), dir).status, 0);
  EXPECT_TRUE(same_values(levels(read(dir / "fast.png")), levels(enlarged)));

  // The inpaint border is drawn in pure green, 16 pixels inside every tile edge.
  ASSERT_EQ(run_quorv(upscale(dir, "overlay.png", {"--fusion", "none", "--debug-overlay"}), dir).status, 0);
  const at::Tensor overlay = read(dir / "overlay.png")[0];
  const at::Tensor green = overlay.select(2, 0).eq(0) & overlay.select(2, 1).eq(1) & overlay.select(2, 2).eq(0);
  EXPECT_TRUE(green.select(1, 16).all().item<bool>());
  EXPECT_TRUE(green.select(0, 16).all().item<bool>());
}

// Tiles processed three at a time are fused and pasted in grid order: the
// same file, byte for byte, as one at a time, tone matching and fusion through
// the tool's own service included.
TEST(Quorv_Upscale, JobsProcessTilesAtOnceAndGiveTheSameFile) {
  TempFolder dir;
  write_coffee_crop(dir / "in.png");
  const std::vector<std::string> demo{"--processor", "demo", "--match-tone", "--depth", "16"};
  std::vector<std::string> one = demo, three = demo;
  one.insert(one.end(), {"--jobs", "1", "--report", dir / "one.json"});
  three.insert(three.end(), {"--jobs", "3", "--report", dir / "three.json"});
  const ProgramRun sequential = run_quorv(upscale(dir, "one.png", one), dir);
  const ProgramRun parallel = run_quorv(upscale(dir, "three.png", three), dir);
  ASSERT_EQ(sequential.status, 0) << sequential.err;
  ASSERT_EQ(parallel.status, 0) << parallel.err;
  EXPECT_EQ(file_text(dir / "one.png"), file_text(dir / "three.png"));
  EXPECT_EQ(read_json(dir / "one.json")["tone_match"], read_json(dir / "three.json")["tone_match"]);
  EXPECT_TRUE(read_json(dir / "three.json")["complete"].get<bool>());

  const ProgramRun none = run_quorv(upscale(dir, "zero.png", {"--jobs", "0"}), dir);
  EXPECT_EQ(none.status, 2);
  EXPECT_NE(none.err.find("--jobs"), std::string::npos) << none.err;
}

}  // namespace
}  // namespace quorv::test

// The grid works on a padded picture; what comes out is the picture at its
// exact size, untouched where nothing was asked of it.
#include <gtest/gtest.h>

#include "host/nodes/image_scale.h"
#include "tests/tools/quorv/cli_support.h"
#include "tools/quorv/quorv_cli.h"

namespace quorv::test {
namespace {

TEST(Quorv_EdgePadding, RepeatsTheLastColumnAndRowAndKeepsTheInput) {
  const at::Tensor picture = sample_picture("coffee.png").narrow(1, 10, 5).narrow(2, 20, 7).contiguous();
  const at::Tensor before = picture.clone();
  const at::Tensor padded = cli::edge_padded(picture, {16, 8});
  ASSERT_EQ(padded.sizes(), (std::vector<int64_t>{1, 8, 16, 3}));
  EXPECT_TRUE(same_values(padded.narrow(1, 0, 5).narrow(2, 0, 7), picture));
  EXPECT_TRUE(same_values(padded.narrow(1, 0, 5).narrow(2, 7, 9), picture.narrow(2, 6, 1).expand({1, 5, 9, 3})));
  EXPECT_TRUE(same_values(padded.narrow(1, 5, 3), padded.narrow(1, 4, 1).expand({1, 3, 16, 3})));
  EXPECT_TRUE(same_values(padded[0][7][15], picture[0][4][6]));
  EXPECT_TRUE(same_values(picture, before));
  EXPECT_TRUE(cli::edge_padded(picture, {7, 5}).is_same(picture));
  EXPECT_THROW(cli::edge_padded(picture, {6, 8}), ValueError);
}

TEST(Quorv_EdgePadding, ScaleOneWithTheIdentityGivesBackTheInputBitForBit) {
  TempFolder dir;
  // An odd size, in 8 bits and, resampled so that it uses the 16-bit levels, in 16.
  write_coffee_crop(dir / "in8.png", 50, 40, 451, 301);
  const at::Tensor resampled =
      std::get<0>(host::ImageScale::upscale(sample_picture("coffee.png"), "lanczos", 451, 301, "disabled"));
  io::write_picture(dir / "in16.png", resampled, 16);
  for (const auto& [input, depth] : {std::pair{"in8.png", "8"}, std::pair{"in16.png", "16"}})
    for (const std::vector<std::string>& grid : std::vector<std::vector<std::string>>{{}, {"--tile-size", "128"}}) {
      std::vector<std::string> args{"upscale", dir / input, "-o", dir / "out.png", "--overwrite", "-q",
                                    "--scale", "1", "--depth", depth};
      args.insert(args.end(), grid.begin(), grid.end());
      const ProgramRun run = run_quorv(args, dir);
      ASSERT_EQ(run.status, 0) << run.err;
      const io::LoadedPicture in = io::read_picture(dir / input), out = io::read_picture(dir / "out.png");
      EXPECT_EQ(out.bit_depth, in.bit_depth);
      EXPECT_TRUE(at::equal(out.rgb, in.rgb)) << input << (grid.empty() ? "" : " in 128-pixel tiles") << ": "
                                              << max_abs_diff(out.rgb, in.rgb);
    }
}

TEST(Quorv_EdgePadding, OddSizesAreEnlargedExactlyNotStretched) {
  TempFolder dir;
  const at::Tensor input = write_coffee_crop(dir / "in.png", 50, 40, 451, 300);
  const ProgramRun run = run_quorv({"upscale", dir / "in.png", "-o", dir / "out.png", "-q", "--fusion", "none",
                                    "--tile-size", "256", "--report", dir / "report.json"},
                                   dir);
  ASSERT_EQ(run.status, 0) << run.err;
  const at::Tensor out = io::read_picture(dir / "out.png").rgb;
  ASSERT_EQ(out.sizes(), (std::vector<int64_t>{1, 600, 902, 3}));
  const at::Tensor enlarged = std::get<0>(host::ImageScale::upscale(input, "lanczos", 902, 600, "disabled"));
  EXPECT_LE(max_abs_diff(out, enlarged.clamp(0, 1)), 0.5 / 255 + 1e-6);
  const nlohmann::json report = read_json(dir / "report.json");
  EXPECT_EQ(report["output"]["width"], 902);
  // 256-pixel tiles stepping by 192: 256 + 4 x 192 across, 256 + 2 x 192 down.
  EXPECT_EQ(report["working"]["width"], 1024);
  EXPECT_EQ(report["working"]["height"], 640);

  const ProgramRun plan = run_quorv({"plan", dir / "in.png"}, dir);
  ASSERT_EQ(plan.status, 0) << plan.err;
  EXPECT_NE(plan.out.find("enlarged   902 x 600"), std::string::npos) << plan.out;
  EXPECT_NE(plan.out.find("working    960 x 704"), std::string::npos) << plan.out;
}

}  // namespace
}  // namespace quorv::test

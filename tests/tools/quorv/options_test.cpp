// Bad input: one line on standard error, exit status 2, nothing left at OUTPUT.
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "tests/tools/quorv/cli_support.h"

namespace quorv::test {
namespace {

struct BadCase {
  std::vector<std::string> args;
  std::string message;
};

void expect_refused(const TempFolder& dir, const BadCase& c, const std::string& output) {
  const ProgramRun run = run_quorv(c.args, dir);
  EXPECT_EQ(run.status, 2) << run.err;
  EXPECT_EQ(lines_of(run.err).size(), 1u) << run.err;
  EXPECT_EQ(run.err.rfind("quorv: error: ", 0), 0u) << run.err;
  EXPECT_NE(run.err.find(c.message), std::string::npos) << "expected '" << c.message << "' in: " << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_FALSE(std::filesystem::exists(output)) << output;
}

TEST(Quorv_Options, BadInputIsOneLineAndExitStatusTwo) {
  TempFolder dir;
  write_coffee_crop(dir / "in.png");
  std::ofstream(dir / "text.png") << "not a picture\n";
  cv::imwrite(dir / "float.tiff", cv::Mat(8, 8, CV_32FC3, cv::Scalar(0.5, 0.5, 0.5)));
  const std::string out = dir / "out.png";
  auto upscale = [&](const std::string& input, std::vector<std::string> options, const std::string& output = "") {
    std::vector<std::string> args{"upscale", input, "-o", output.empty() ? out : output, "-q"};
    args.insert(args.end(), options.begin(), options.end());
    return args;
  };
  const std::vector<BadCase> cases{
      {upscale(dir / "missing.png", {}), "cannot read picture " + (dir / "missing.png")},
      {upscale(dir / "text.png", {}), "cannot read picture " + (dir / "text.png")},
      {upscale(dir / "float.tiff", {}), "only 8- and 16-bit pictures are supported"},
      {upscale(dir / "in.png", {"--scale", "0"}), "--scale must be a number above 0, got '0'"},
      {upscale(dir / "in.png", {"--scale", "two"}), "--scale must be a number above 0, got 'two'"},
      // x40 in 64-pixel tiles: 150 rows, more tiles than a grid can number.
      {upscale(dir / "in.png", {"--tile-size", "64", "--scale", "40", "--force"}), "choose a larger --tile-size"},
      {upscale(dir / "in.png", {"--depth", "16"}, dir / "out.jpg"), "--depth 16 needs a PNG or TIFF OUTPUT"},
      {upscale(dir / "in.png", {"--fusion-url", "http://127.0.0.1:9/"}), "needs a token"},
      {upscale(dir / "in.png", {"--scale", "1000"}), "--force tries anyway"},
  };
  for (const BadCase& c : cases) expect_refused(dir, c, out);
  EXPECT_FALSE(std::filesystem::exists(dir / "out.jpg"));
}

TEST(Quorv_Options, OutputIsCheckedBeforeAnyWorkAndReplacedOnlyWithOverwrite) {
  TempFolder dir;
  write_coffee_crop(dir / "in.png");
  const auto upscale = [&](const std::string& output, std::vector<std::string> options = {}) {
    std::vector<std::string> args{"upscale", dir / "in.png", "-o", output, "-q", "--tile-size", "128"};
    args.insert(args.end(), options.begin(), options.end());
    return args;
  };
  const std::string nowhere = dir / "nowhere";
  expect_refused(dir, {upscale(nowhere + "/out.png"), "the folder '" + nowhere + "' of OUTPUT does not exist"},
                 nowhere + "/out.png");
  expect_refused(dir, {upscale(dir / "out.xyz"), "has no picture format"}, dir / "out.xyz");
  // Not writable even for root: a folder of the process file system.
  expect_refused(dir, {upscale("/proc/self/out.png"), "of OUTPUT is not writable"}, "/proc/self/out.png");

  std::ofstream(dir / "out.png") << "keep me\n";
  expect_refused(dir, {upscale(dir / "out.png"), "exists (--overwrite replaces it)"}, dir / "never.png");
  EXPECT_EQ(file_text(dir / "out.png"), "keep me\n");
  const ProgramRun replaced = run_quorv(upscale(dir / "out.png", {"--overwrite", "--fusion", "none"}), dir);
  ASSERT_EQ(replaced.status, 0) << replaced.err;
  EXPECT_EQ(io::read_picture(dir / "out.png").rgb.size(2), 320);
  // No temporary file is left beside the result.
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"in.png", "out.png"}));
}

}  // namespace
}  // namespace quorv::test

// Progress on standard error: plain lines when it is not a terminal.
#include <gtest/gtest.h>

#include "tests/tools/quorv/cli_support.h"

namespace quorv::test {
namespace {

TEST(Quorv_Progress, PlainLinesCountTheTilesOfEachStage) {
  TempFolder dir;
  write_coffee_crop(dir / "in.png");
  const ProgramRun run = run_quorv({"upscale", dir / "in.png", "-o", dir / "out.png", "--tile-size", "128"}, dir);
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> lines = lines_of(run.err);
  ASSERT_GE(lines.size(), 2u) << run.err;
  // The first and the last tile of each stage always get a line.
  EXPECT_EQ(lines.front().rfind("tiles   1/12 tiles, ", 0), 0u) << run.err;
  EXPECT_NE(run.err.find("tiles   12/12 tiles, "), std::string::npos) << run.err;
  // Tiles are pasted as they are finished: there is no separate rebuild.
  EXPECT_EQ(run.err.find("rebuild"), std::string::npos) << run.err;
  EXPECT_EQ(lines.back().rfind("tiles   12/12 tiles, ", 0), 0u) << run.err;
  EXPECT_NE(lines.back().find(" total"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace quorv::test

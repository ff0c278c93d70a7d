// quorv plan: the sizes, grid and memory of a run, without running it.
#include <gtest/gtest.h>

#include "tests/tools/quorv/cli_support.h"

namespace quorv::test {
namespace {

TEST(Quorv_Plan, PrintsTheSizesAndEveryTilesGridSpec) {
  TempFolder dir;
  // coffee.png (600 x 400) x2 is 1200 x 800; with the default band of 32
  // (overlap 64) the least tile area on an even grid is 448-pixel tiles
  // stepping by 384: columns at 0, 384, 768 (working 1216), rows at 0, 384
  // (working 832). The grid alone would lay 6 tiles of 512 with the last
  // column at 688 and the last row at 288. order = row x rows + col.
  const ProgramRun run = run_quorv({"plan", std::string(QUORV_DATA_DIR) + "/coffee.png"}, dir);
  ASSERT_EQ(run.status, 0) << run.err;
  for (const char* part : {"600 x 400", "1200 x 800", "working    1216 x 832", "2 rows x 3 cols = 6 tiles of 448 x 448",
                           "step 384 x 384", "overlap 64 x 64", "band 32", "6 tiles on the grid alone", "at peak"})
    EXPECT_NE(run.out.find(part), std::string::npos) << part << " in:\n" << run.out;
  EXPECT_NE(run.err.find("--tile-size 512 changed to 448 x 448"), std::string::npos) << run.err;
  const std::vector<std::string> specs{"[0, 0, 0, 0, 0, 448, 448]",     "[0, 1, 1, 384, 0, 448, 448]",
                                       "[0, 2, 2, 768, 0, 448, 448]",   "[1, 0, 2, 0, 384, 448, 448]",
                                       "[1, 1, 3, 384, 384, 448, 448]", "[1, 2, 4, 768, 384, 448, 448]"};
  size_t from = 0;
  for (const std::string& spec : specs) {
    from = run.out.find(spec, from);
    EXPECT_NE(from, std::string::npos) << spec << " in order in:\n" << run.out;
  }
  EXPECT_EQ(dir.names(), std::vector<std::string>{});  // nothing written
}

}  // namespace
}  // namespace quorv::test

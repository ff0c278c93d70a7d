// quorv plan: the sizes, grid and memory of a run, without running it.
#include <gtest/gtest.h>

#include "tests/tools/quorv/cli_support.h"

namespace quorv::test {
namespace {

TEST(Quorv_Plan, PrintsTheSizesAndEveryTilesGridSpec) {
  TempFolder dir;
  // coffee.png (600 x 400) x2 is 1200 x 800; 512-pixel tiles with the
  // default band of 32 step by 448: columns at 0, 448 and 1200 - 512 = 688,
  // rows at 0 and 800 - 512 = 288. order = row x rows + col.
  const ProgramRun run = run_quorv({"plan", std::string(QUORV_DATA_DIR) + "/coffee.png"}, dir);
  ASSERT_EQ(run.status, 0) << run.err;
  for (const char* part : {"600 x 400", "1200 x 800", "2 rows x 3 cols = 6 tiles of 512 x 512", "step 448 x 448",
                           "overlap 64 x 64", "band 32", "at peak"})
    EXPECT_NE(run.out.find(part), std::string::npos) << part << " in:\n" << run.out;
  const std::vector<std::string> specs{"[0, 0, 0, 0, 0, 512, 512]",     "[0, 1, 1, 448, 0, 512, 512]",
                                       "[0, 2, 2, 688, 0, 512, 512]",   "[1, 0, 2, 0, 288, 512, 512]",
                                       "[1, 1, 3, 448, 288, 512, 512]", "[1, 2, 4, 688, 288, 512, 512]"};
  size_t from = 0;
  for (const std::string& spec : specs) {
    from = run.out.find(spec, from);
    EXPECT_NE(from, std::string::npos) << spec << " in order in:\n" << run.out;
  }
  EXPECT_EQ(dir.names(), std::vector<std::string>{});  // nothing written
}

}  // namespace
}  // namespace quorv::test

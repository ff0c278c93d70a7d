// The conventions users expect of the program: --version, a help that puts
// the common options first and documents the exit status, results on
// standard output and everything else on standard error.
#include <gtest/gtest.h>

#include <regex>

#include "tests/tools/quorv/cli_support.h"

namespace quorv::test {
namespace {

size_t position(const std::string& text, const std::string& part) {
  const size_t at = text.find(part);
  EXPECT_NE(at, std::string::npos) << "'" << part << "' in:\n" << text;
  return at;
}

TEST(Quorv_Main, VersionAndHelpFollowTheUsualConventions) {
  TempFolder dir;
  const ProgramRun version = run_quorv({"--version"}, dir);
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(std::regex_match(version.out, std::regex("quorv [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << version.out;
  EXPECT_EQ(version.err, "");

  const ProgramRun help = run_quorv({"upscale", "--help"}, dir);
  EXPECT_EQ(help.status, 0);
  const std::string& h = help.out;
  // The common options in this order, then the node's fine settings in their own group.
  size_t last = 0;
  for (const char* part : {"INPUT", "-o,--output", "--scale", "--processor", "--fusion", "Node settings",
                           "--inpaint-border-margin", "Examples:", "Exit status:"}) {
    const size_t at = position(h, part);
    EXPECT_GT(at, last) << part << " out of order in:\n" << h;
    last = at;
  }
  for (const char* code : {"0  OUTPUT written, every tile processed and fused as asked", "3  OUTPUT written, but some tiles",
                           "2  nothing written: bad input or usage", "1  nothing written: an internal error"})
    position(h, code);
  // Numbers are asked for as numbers.
  for (const char* option : {"--scale", "--tile-size", "--blend", "--inpaint-border-margin", "--detail", "--depth"}) {
    const std::smatch line = [&] {
      std::smatch m;
      std::regex_search(h, m, std::regex(std::string("\\n *") + option + " ([A-Z\\[\\]]+)"));
      return m;
    }();
    ASSERT_FALSE(line.empty()) << option << " in:\n" << h;
    EXPECT_EQ(line[1].str().rfind("NUMBER", 0), 0u) << option << " shows " << line[1];
  }
  // The top level documents the exit status too.
  position(run_quorv({"--help"}, dir).out, "Exit status:");
}

TEST(Quorv_Main, ResultsGoToStandardOutputAndNotesToStandardError) {
  TempFolder dir;
  write_coffee_crop(dir / "in.png", 100, 100, 90, 70);
  const ProgramRun run = run_quorv({"upscale", dir / "in.png", "-o", dir / "out.png", "--tile-size", "1024"}, dir);
  ASSERT_EQ(run.status, 0) << run.err;
  position(run.out, "seam score");
  position(run.err, "quorv: note: --tile-size 1024 lowered to 192 x 192");
  EXPECT_EQ(run.out.find("note"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("tiles/s"), std::string::npos) << run.out;  // progress

  const ProgramRun plan = run_quorv({"plan", dir / "in.png", "--tile-size", "1024"}, dir);
  ASSERT_EQ(plan.status, 0) << plan.err;
  position(plan.out, "1 rows x 1 cols = 1 tiles of 192 x 192");
  position(plan.err, "quorv: note: --tile-size 1024 lowered to 192 x 192");
}

}  // namespace
}  // namespace quorv::test

// How OUTPUT is written: never through a planted symlink, never left half
// written, and any legal name works.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/tools/quorv/cli_support.h"

namespace quorv::test {
namespace {

bool is_symlink(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

TEST(Quorv_OutputFile, SymlinksPlantedDuringTheRunAreNotFollowed) {
  TempFolder dir;
  write_small_coffee(dir / "in.png", 120, 80);
  const std::string victim = dir / "victim.txt";
  std::ofstream(victim) << "precious";
  // The tile command runs while the picture is being made: it plants links
  // under the names a temporary file of this process could take.
  const std::string plant = "ln -s " + victim + " " + dir / ".quorv-$PPID-out.png; ln -s " + victim + " " +
                            dir / ".quorv-$PPID-out.png.tmp; cp \"$0\" \"$1\"";
  const ProgramRun run = run_quorv({"upscale", dir / "in.png", "-o", dir / "out.png", "-q", "--fusion", "none",
                                    "--processor", "command:/bin/sh -c '" + plant + "' {in} {out}"},
                                   dir);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(file_text(victim), "precious");
  EXPECT_FALSE(is_symlink(dir / "out.png"));
  EXPECT_EQ(io::read_picture(dir / "out.png").rgb.size(2), 240);
  // Nothing of the write is left behind besides the planted links.
  for (const std::string& name : dir.names()) {
    if (name.rfind(".quorv-", 0) == 0) {
      EXPECT_TRUE(is_symlink(dir / name)) << name;
    }
  }
}

TEST(Quorv_OutputFile, TheLongestLegalNamesAreWritten) {
  TempFolder dir;
  write_small_coffee(dir / "in.png", 120, 80);
  const std::string longest = std::string(251, 'a') + ".png";  // 255 bytes: the most a name may have
  const ProgramRun run = run_quorv({"upscale", dir / "in.png", "-o", dir / longest, "-q", "--fusion", "none"}, dir);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(dir.names(), (std::vector<std::string>{longest, "in.png"}));
  // One byte more is refused before any work.
  const ProgramRun too_long =
      run_quorv({"upscale", dir / "in.png", "-o", dir / ("b" + longest), "-q", "--fusion", "none"}, dir);
  EXPECT_EQ(too_long.status, 2);
  EXPECT_NE(too_long.err.find("longer than 255"), std::string::npos) << too_long.err;
}

}  // namespace
}  // namespace quorv::test

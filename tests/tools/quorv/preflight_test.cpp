// What can fail at the end of a run is checked before its first tile: a
// refused report, previews folder or output format costs no work.
#include <sys/stat.h>

#include "tests/tools/quorv/cli_support.h"

namespace quorv::test {
namespace {

TEST(Quorv_Preflight, EverythingNeededAtTheEndIsCheckedBeforeTheFirstTile) {
  TempFolder dir;
  write_coffee_crop(dir / "in.png", 220, 140, 128, 96);
  // Notes every tile it is given, so a test can tell whether any work was done.
  const std::string log = dir / "tiles.log";
  const std::string copy = dir / "copy.sh";
  std::ofstream(copy) << "#!/bin/sh\necho \"$3\" >> '" << log << "'\ncp \"$1\" \"$2\"\n";
  chmod(copy.c_str(), 0755);
  std::ofstream(dir / "a_file") << "x";
  std::filesystem::create_directory(dir / "a_folder");

  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"--output", dir / "out.exr"}, "OUTPUT '" + dir / "out.exr" + "' cannot be written"},
      {{"--report", dir / "missing/report.json"}, "the folder '" + dir / "missing" + "' of --report does not exist"},
      {{"--report", dir / "a_file/report.json"}, "in --report is not a folder"},
      {{"--report", dir / "a_folder"}, "is a folder"},
      {{"--previews", dir / "a_file"}, "--previews '" + dir / "a_file" + "' is a file, not a folder"},
      {{"--previews", dir / "a_file/previews"}, "is not a folder"},
  };
  for (const auto& [extra, message] : cases) {
    std::vector<std::string> args{"upscale", dir / "in.png", "--tile-size", "128", "-q",
                                  "--fusion", "none", "--processor", "command:" + copy + " {in} {out} {tile}"};
    args.insert(args.end(), extra.begin(), extra.end());
    if (extra[0] != "--output") args.insert(args.end(), {"-o", dir / "out.png"});
    const ProgramRun run = run_quorv(args, dir);
    EXPECT_EQ(run.status, 2) << message;
    EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(log)) << message << ": tiles were processed before the failure";
    EXPECT_FALSE(std::filesystem::exists(dir / "out.png"));
  }

  // A previews folder that does not exist yet is made at the end.
  const ProgramRun run = run_quorv({"upscale", dir / "in.png", "-o", dir / "out.png", "--tile-size", "128", "-q",
                                    "--fusion", "none", "--previews", dir / "new/previews"},
                                   dir);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(std::filesystem::is_directory(dir / "new/previews"));
}

}  // namespace
}  // namespace quorv::test

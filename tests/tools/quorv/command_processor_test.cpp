// External tile programs plugged in with --processor command:...
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/tools/quorv/cli_support.h"

namespace quorv::test {
namespace {

std::string script(const TempFolder& dir, const std::string& name, const std::string& body) {
  const std::string path = dir / name;
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  chmod(path.c_str(), 0755);
  return path;
}

ProgramRun upscale_with(const TempFolder& dir, const std::string& command) {
  return run_quorv({"upscale", dir / "in.png", "-o", dir / "out.png", "--tile-size", "128", "-q", "--processor",
                    "command:" + command},
                   dir);
}

TEST(Quorv_CommandProcessor, RunsTheProgramOncePerTileInGridOrder) {
  TempFolder dir;
  write_coffee_crop(dir / "in.png");
  // Copies the tile, notes its number, and checks the mask file it was given.
  const std::string copy = script(dir, "copy.sh", "cp \"$1\" \"$2\" && test -s \"$3\" && echo \"$4\" >> \"$5\"");
  const ProgramRun run = upscale_with(dir, copy + " {in} {out} {mask} {tile} '" + (dir / "tiles.log") + "'");
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<std::string> expected;
  for (int i = 0; i < 12; ++i) expected.push_back(std::to_string(i));
  EXPECT_EQ(lines_of(file_text(dir / "tiles.log")), expected);

  // A copy of each tile is the identity, up to the tile file's 8-bit levels.
  const std::vector<std::string> identity{"upscale", dir / "in.png", "-o", dir / "identity.png",
                                          "--tile-size", "128", "-q"};
  ASSERT_EQ(run_quorv(identity, dir).status, 0);
  EXPECT_LE(max_abs_diff(io::read_picture(dir / "out.png").rgb, io::read_picture(dir / "identity.png").rgb),
            2.0 / 255 + 1e-6);
}

TEST(Quorv_CommandProcessor, AFailingProgramIsAClearErrorNamingTheTile) {
  TempFolder dir;
  write_coffee_crop(dir / "in.png");
  const std::string wrong_size = dir / "small.png";
  io::write_picture(wrong_size, at::zeros({1, 8, 8, 3}));
  const std::string fail = script(dir, "fail.sh", "exit 3");
  const std::vector<std::pair<std::string, std::string>> cases{
      {fail + " {in} {out}", "tile 0 (row 0, col 0): the command '" + fail + "' exited with status 3"},
      {script(dir, "fail_later.sh", "test \"$3\" = 5 && exit 1; cp \"$1\" \"$2\"") + " {in} {out} {tile}",
       "tile 5 (row 1, col 1)"},
      {script(dir, "silent.sh", "true") + " {in} {out}", "wrote no picture"},
      {script(dir, "small.sh", "cp '" + wrong_size + "' \"$2\"") + " {in} {out}",
       "wrote a 8 x 8 picture, expected 128 x 128"},
  };
  for (const auto& [command, message] : cases) {
    const ProgramRun run = upscale_with(dir, command);
    EXPECT_EQ(run.status, 2) << command;
    EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "out.png")) << command;
  }
}

}  // namespace
}  // namespace quorv::test

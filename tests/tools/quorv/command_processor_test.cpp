// External tile programs plugged in with --processor command:...
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
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

ProgramRun upscale_with(const TempFolder& dir, const std::string& command, std::vector<std::string> extra = {},
                        const std::vector<std::string>& env = {}) {
  std::vector<std::string> args{"upscale", dir / "in.png", "-o", dir / "out.png", "--tile-size", "128", "-q",
                                "--processor", "command:" + command};
  args.insert(args.end(), extra.begin(), extra.end());
  return run_quorv(args, dir, env);
}

// A process that has not ended (a zombie has).
bool alive(const std::string& pid_file) {
  std::string pid = file_text(pid_file);
  while (!pid.empty() && pid.back() == '\n') pid.pop_back();
  std::string stat = file_text("/proc/" + pid + "/stat");
  const size_t name_end = stat.rfind(')');
  return !pid.empty() && name_end != std::string::npos && name_end + 2 < stat.size() && stat[name_end + 2] != 'Z';
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

TEST(Quorv_CommandProcessor, AHangingProgramIsStoppedWithItsChildrenAndKeepGoingListsTheTile) {
  TempFolder dir;
  write_coffee_crop(dir / "in.png");
  // Tile 1 starts a child of its own and waits for it.
  const std::string hang = script(dir, "hang.sh",
                                  "if [ \"$3\" = 1 ]; then sleep 60 & echo $! > '" + (dir / "sleeper.pid") +
                                      "'; wait; fi; cp \"$1\" \"$2\"");
  const std::string command = hang + " {in} {out} {tile}";
  ProgramRun run = upscale_with(dir, command, {"--tile-timeout", "0.5"});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("tile 1 (row 0, col 1): the command '" + hang +
                         "' took longer than --tile-timeout 0.5 s and was stopped"),
            std::string::npos)
      << run.err;
  EXPECT_FALSE(alive(dir / "sleeper.pid"));  // the whole process group went
  EXPECT_FALSE(std::filesystem::exists(dir / "out.png"));

  // --keep-going: the tile stays as it was, is listed, and the exit status says so.
  run = upscale_with(dir, command, {"--tile-timeout", "0.5", "--keep-going", "--report", dir / "report.json"});
  EXPECT_EQ(run.status, 3) << run.err;
  EXPECT_TRUE(std::filesystem::exists(dir / "out.png"));
  const nlohmann::json unprocessed = read_json(dir / "report.json")["unprocessed"];
  ASSERT_EQ(unprocessed.size(), 1u);
  EXPECT_EQ(unprocessed[0]["tile"], 1);
  EXPECT_NE(unprocessed[0]["reason"].get<std::string>().find("--tile-timeout"), std::string::npos);
  EXPECT_NE(run.out.find("unprocessed    1 of 12 tiles"), std::string::npos) << run.out;

  // A time limit for a processor that runs no program, or both ways of handling a failure at once, is a mistake.
  run = run_quorv({"upscale", dir / "in.png", "-o", dir / "other.png", "--tile-timeout", "5"}, dir);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("--tile-timeout applies to command: processors only"), std::string::npos) << run.err;
  run = upscale_with(dir, command, {"--strict", "--keep-going"});
  EXPECT_EQ(run.status, 2);
}

TEST(Quorv_CommandProcessor, TheProgramGetsNoTokenItsOutputGoesToStandardErrorAndTilesKeepTheDepth) {
  TempFolder dir;
  write_coffee_crop(dir / "in.png");
  // Byte 24 of a PNG is its bit depth.
  const std::string talk = script(dir, "talk.sh",
                                  "echo \"token=[$QUORV_TOKEN] tile $3\"; echo \"to stderr\" >&2; "
                                  "od -An -tu1 -j24 -N1 \"$1\" | tr -d ' ' >> \"$4\"; cp \"$1\" \"$2\"");
  ProgramRun run = upscale_with(dir, talk + " {in} {out} {tile} " + (dir / "depth8.log"), {},
                                {"QUORV_TOKEN=sekrit-123"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("token=[] tile 0\n"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("to stderr\n"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("sekrit"), std::string::npos);
  EXPECT_EQ(run.out.find("token="), std::string::npos);  // the summary stays clean
  EXPECT_EQ(lines_of(file_text(dir / "depth8.log")), std::vector<std::string>(12, "8"));

  run = upscale_with(dir, talk + " {in} {out} {tile} " + (dir / "depth16.log"), {"--depth", "16", "--overwrite"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(lines_of(file_text(dir / "depth16.log")), std::vector<std::string>(12, "16"));
}

TEST(Quorv_CommandProcessor, AStopSignalEndsTheProgramsGroupAndRemovesTheTileFolder) {
  for (const int signal : {SIGTERM, SIGINT}) {
    TempFolder dir;
    write_coffee_crop(dir / "in.png");
    std::filesystem::create_directory(dir / "tmp");
    const std::string sleeper = dir / "sleeper.pid";
    const std::string wait = script(dir, "wait.sh", "sleep 60 & echo $! > '" + sleeper + ".new'; mv '" + sleeper +
                                                        ".new' '" + sleeper + "'; wait");
    const pid_t quorv = start_quorv({"upscale", dir / "in.png", "-o", dir / "out.png", "--tile-size", "128", "-q",
                                     "--processor", "command:" + wait + " {in} {out}"},
                                    dir, {"TMPDIR=" + (dir / "tmp")});
    // Waits for the program to be under way; no time limit is asserted.
    while (!std::filesystem::exists(sleeper)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(alive(sleeper));
    kill(quorv, signal);
    int status = 0;
    waitpid(quorv, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    EXPECT_FALSE(alive(sleeper));
    EXPECT_TRUE(std::filesystem::is_empty(dir / "tmp"));  // the tile folder is gone
    EXPECT_FALSE(std::filesystem::exists(dir / "out.png"));
  }
}

TEST(Quorv_CommandProcessor, OnATerminalTheBarShowsTheTimeSpentBeforeTheFirstTileIsDone) {
  TempFolder dir;
  write_coffee_crop(dir / "in.png");
  const std::string slow = script(dir, "slow.sh", "[ \"$3\" = 0 ] && sleep 1.5; cp \"$1\" \"$2\"");
  int terminal = -1, side = -1;
  ASSERT_EQ(openpty(&terminal, &side, nullptr, nullptr, nullptr), 0);
  std::vector<std::string> words{QUORV_CLI_PATH, "upscale", dir / "in.png", "-o", dir / "out.png", "--tile-size",
                                 "128", "--processor", "command:" + slow + " {in} {out} {tile}"};
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, side, STDERR_FILENO);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(side);
  std::string screen;
  char buffer[4096];
  for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;) screen.append(buffer, static_cast<size_t>(n));
  close(terminal);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;
  // While the first tile runs there is no estimate yet: the bar counts the time instead.
  const size_t waiting = screen.find("] 0/12  0.0 tiles/s  0:0");
  ASSERT_NE(waiting, std::string::npos) << screen;
  EXPECT_EQ(screen.compare(waiting + 25, 8, " elapsed"), 0) << screen;
  EXPECT_EQ(screen.find("0/12  0.0 tiles/s  0:00 left"), std::string::npos) << screen;
}

}  // namespace
}  // namespace quorv::test

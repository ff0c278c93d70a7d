// Running the built quorv program from the tests: a private folder per test,
// small real pictures, and the program's exit status and output.
#pragma once

#include <ATen/ATen.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/nodes/image_scale.h"
#include "tests/support/test_support.h"
#include "tools/image_io/image_io.h"

extern char** environ;

namespace quorv::test {

/// A folder of its own for one test, removed afterwards.
class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorv-cli-test-XXXXXX").string();
    EXPECT_NE(mkdtemp(pattern.data()), nullptr);
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& path() const { return path_; }

  /// Names in the folder, sorted.
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) out.push_back(entry.path().filename());
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  std::filesystem::path path_;
};

inline std::string file_text(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct ProgramRun {
  int status = -1;
  std::string out;
  std::string err;
};

/// Starts the program with `args`; its output goes to files in `folder`.
/// `extra_env` entries ("NAME=value") are added to the environment; standard
/// input comes from `stdin_path`; `wrapper` words (a program and its
/// arguments, as prlimit) run the program.
inline pid_t start_quorv(const std::vector<std::string>& args, const TempFolder& folder,
                         const std::vector<std::string>& extra_env = {}, const std::string& stdin_path = "/dev/null",
                         const std::vector<std::string>& wrapper = {}) {
  std::vector<std::string> words(wrapper);
  words.push_back(QUORV_CLI_PATH);
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_words(extra_env);
#ifdef __SANITIZE_ADDRESS__
  // Leaks are checked in the test process, which runs the library's code.
  // In the program, LeakSanitizer's exit-time scan at times crashes among
  // libtorch's OpenMP threads; the first setting of a name is the one read.
  const char* asan = std::getenv("ASAN_OPTIONS");
  env_words.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0");
#endif
  for (char** e = environ; *e; ++e) env_words.emplace_back(*e);
  std::vector<char*> env;
  for (std::string& e : env_words) env.push_back(e.data());
  env.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string out = folder / ".stdout", err = folder / ".stderr";
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, stdin_path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), env.data()), 0) << QUORV_CLI_PATH;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

/// Runs the program to its end. The output files live in `folder` only until the next run.
inline ProgramRun run_quorv(const std::vector<std::string>& args, const TempFolder& folder,
                            const std::vector<std::string>& extra_env = {},
                            const std::string& stdin_path = "/dev/null", const std::vector<std::string>& wrapper = {}) {
  const pid_t pid = start_quorv(args, folder, extra_env, stdin_path, wrapper);
  int status = 0;
  waitpid(pid, &status, 0);
  ProgramRun run;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = file_text(folder / ".stdout");
  run.err = file_text(folder / ".stderr");
  std::filesystem::remove(folder / ".stdout");
  std::filesystem::remove(folder / ".stderr");
  return run;
}

/// A w x h crop of coffee.png at (x, y), written as an 8-bit PNG; returns it as read back.
inline at::Tensor write_coffee_crop(const std::string& path, int64_t x = 220, int64_t y = 140, int64_t w = 160,
                                    int64_t h = 120) {
  const at::Tensor crop = sample_picture("coffee.png").narrow(1, y, h).narrow(2, x, w).contiguous();
  io::write_picture(path, crop);
  return io::read_picture(path).rgb;
}

/// coffee.png shrunk to w x h and written as an 8-bit PNG: enlarged x2 again
/// it is as smooth as a real upscale, so a step at a tile border stands out.
inline at::Tensor write_small_coffee(const std::string& path, int64_t w = 240, int64_t h = 160) {
  const at::Tensor coffee = sample_picture("coffee.png");
  io::write_picture(path, std::get<0>(host::ImageScale::upscale(coffee, "lanczos", w, h, "disabled")));
  return io::read_picture(path).rgb;
}

inline nlohmann::json read_json(const std::string& path) { return nlohmann::json::parse(file_text(path)); }

/// Lines of a text, without their line breaks.
inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace quorv::test

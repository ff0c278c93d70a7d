#include <ATen/ATen.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "host/image_tensor.h"
#include "tools/image_io/image_io.h"
#include "tools/quorv/quorv_cli.h"

namespace quorv::cli {
namespace {

namespace fs = std::filesystem;

std::string replaced(std::string word, const std::string& key, const std::string& value) {
  for (size_t at = word.find(key); at != std::string::npos; at = word.find(key, at + value.size()))
    word.replace(at, key.size(), value);
  return word;
}

bool mentions(const std::vector<std::string>& words, const std::string& key) {
  for (const std::string& w : words)
    if (w.find(key) != std::string::npos) return true;
  return false;
}

class Command : public TileProcessor {
 public:
  Command(const std::string& command, const CommandSettings& settings)
      : words_(split_command(command)), settings_(settings) {
    if (words_.empty()) throw UsageError("--processor command: needs a program, got ''");
    if (!mentions(words_, "{in}") || !mentions(words_, "{out}"))
      throw UsageError("--processor command: must contain {in} and {out}, got '" + command + "'");
    std::string pattern = (fs::temp_directory_path() / "quorv-tiles-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
      throw Error("cannot create a folder for the tile files in " + fs::temp_directory_path().string() + ": " +
                  std::strerror(errno));
    folder_ = pattern;
    stop_signals_ = std::make_unique<StopSignals>(folder_);
  }

  ~Command() override {
    stop_signals_.reset();
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }

  at::Tensor process(const TileJob& job) override {
    const std::string stem = (fs::path(folder_) / ("tile_" + std::to_string(job.index))).string();
    const std::string in = stem + "_in.png", out = stem + "_out.png", mask = stem + "_mask.png";
    stop_signals_->set_files({in, out, mask});
    io::write_picture(in, job.picture, settings_.depth);
    if (mentions(words_, "{mask}")) io::write_picture(mask, job.mask.expand({-1, -1, -1, 3}), settings_.depth);
    std::vector<std::string> argv;
    for (const std::string& w : words_)
      argv.push_back(replaced(replaced(replaced(replaced(w, "{in}", in), "{out}", out), "{mask}", mask), "{tile}",
                              std::to_string(job.index)));
    const ChildResult ran = run_child(
        argv, settings_.timeout_seconds, [](const std::string& line) { print_above_progress(line); },
        [] { refresh_progress(); });
    const int status = ran.wait_status;
    const std::string program = "the command '" + words_[0] + "'";
    if (!ran.failure.empty()) throw Error(tile_name(job) + ": cannot run " + program + ": " + ran.failure);
    if (ran.timed_out) {
      char limit[32];
      std::snprintf(limit, sizeof limit, "%g", settings_.timeout_seconds);
      throw Error(tile_name(job) + ": " + program + " took longer than --tile-timeout " + limit + " s and was stopped");
    }
    if (WIFSIGNALED(status))
      throw Error(tile_name(job) + ": " + program + " was stopped by signal " + std::to_string(WTERMSIG(status)));
    if (WEXITSTATUS(status) != 0)
      throw Error(tile_name(job) + ": " + program + " exited with status " + std::to_string(WEXITSTATUS(status)));
    std::error_code ec;
    if (!fs::exists(out, ec)) throw Error(tile_name(job) + ": " + program + " wrote no picture to " + out);
    at::Tensor result;
    try {
      result = io::read_picture(out).rgb;
    } catch (const Error& e) {
      throw Error(tile_name(job) + ": " + e.what());
    }
    if (result.sizes() != job.picture.sizes())
      throw Error(tile_name(job) + ": " + program + " wrote a " + std::to_string(result.size(2)) + " x " +
                  std::to_string(result.size(1)) + " picture, expected " + std::to_string(job.picture.size(2)) +
                  " x " + std::to_string(job.picture.size(1)));
    fs::remove(in, ec);
    fs::remove(out, ec);
    fs::remove(mask, ec);
    return result;
  }

 private:
  std::vector<std::string> words_;
  CommandSettings settings_;
  std::string folder_;
  std::unique_ptr<StopSignals> stop_signals_;
};

}  // namespace

std::vector<std::string> split_command(const std::string& command) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  char quote = 0;
  for (size_t i = 0; i < command.size(); ++i) {
    const char c = command[i];
    if (quote == '\'' && c != '\'') {
      word += c;
    } else if (quote == '\'') {
      quote = 0;
    } else if (c == '\\' && i + 1 < command.size()) {
      word += command[++i];
      in_word = true;
    } else if (quote == '"' && c != '"') {
      word += c;
    } else if (quote == '"') {
      quote = 0;
    } else if (c == '\'' || c == '"') {
      quote = c;
      in_word = true;
    } else if (c == ' ' || c == '\t' || c == '\n') {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (quote) throw UsageError(std::string("--processor command: unclosed ") + quote + " in '" + command + "'");
  if (in_word) words.push_back(word);
  return words;
}

std::unique_ptr<TileProcessor> make_command_processor(const std::string& command, const CommandSettings& settings) {
  return std::make_unique<Command>(command, settings);
}

}  // namespace quorv::cli

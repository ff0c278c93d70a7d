#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "tools/quorv/quorv_cli.h"

extern char** environ;

namespace quorv::cli {
namespace {

using Clock = std::chrono::steady_clock;

// A line of the program's output longer than this is passed on in pieces.
constexpr size_t kMaxLine = 4096;
// Without a pidfd (an old kernel) the exit of the program is noticed this late at most.
constexpr int kPollMillis = 20;

// Shared with the signal handler: the process group of the running program,
// the signal that asked the tool to stop, and the folder and files to remove then.
volatile std::sig_atomic_t running_group = 0;
volatile std::sig_atomic_t stop_signal = 0;
char scratch_folder[4096];
constexpr int kScratchFiles = 3;
char scratch_files[kScratchFiles][4096];

extern "C" void on_stop_signal(int signal) {
  stop_signal = signal;
  // The waiting loop ends the program's group and cleans up; between programs nothing runs but the tool.
  if (running_group > 0) {
    kill(-static_cast<pid_t>(running_group), SIGKILL);
    return;
  }
  // Between programs only the current tile's files can be in the folder.
  for (const char* file : scratch_files)
    if (file[0]) unlink(file);
  if (scratch_folder[0]) rmdir(scratch_folder);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

// The environment without the service token: a tile program has no business with it.
std::vector<char*> environment_without_token() {
  std::vector<char*> env;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "QUORV_TOKEN=", 12) != 0) env.push_back(*e);
  env.push_back(nullptr);
  return env;
}

class Pipe {
 public:
  Pipe() {
    if (pipe2(fds_, O_CLOEXEC) != 0)
      throw Error(std::string("cannot make a pipe for a tile program: ") + std::strerror(errno));
  }
  ~Pipe() {
    close_read();
    close_write();
  }
  int read_end() const { return fds_[0]; }
  int write_end() const { return fds_[1]; }
  void close_read() {
    if (fds_[0] >= 0) close(fds_[0]);
    fds_[0] = -1;
  }
  void close_write() {
    if (fds_[1] >= 0) close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
};

// Collects the program's output and hands it on line by line.
class LineReader {
 public:
  explicit LineReader(const std::function<void(const std::string&)>& on_line) : on_line_(on_line) {}
  // Reads what is there; false once the other end is closed.
  bool read_from(int fd) {
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == 0) return false;
    if (n < 0) return errno == EINTR || errno == EAGAIN;
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] == '\n' || pending_.size() >= kMaxLine) flush();
      if (buffer[i] != '\n') pending_ += buffer[i];
    }
    return true;
  }
  void flush() {
    if (!pending_.empty()) on_line_(pending_);
    pending_.clear();
  }

 private:
  const std::function<void(const std::string&)>& on_line_;
  std::string pending_;
};

int wait_for(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// The tool was asked to stop while the program ran: its group is gone (the
// handler killed it), the scratch folder goes, then the tool stops the way the signal says.
[[noreturn]] void stop_now(pid_t pid) {
  if (running_group > 0) {
    kill(-pid, SIGKILL);
    wait_for(pid);
  }
  running_group = 0;
  std::error_code ec;
  if (scratch_folder[0]) std::filesystem::remove_all(scratch_folder, ec);
  const int signal = stop_signal;
  std::signal(signal, SIG_DFL);
  std::raise(signal);
  std::_Exit(128 + signal);
}

}  // namespace

StopSignals::StopSignals(const std::string& folder) {
  std::snprintf(scratch_folder, sizeof scratch_folder, "%s", folder.c_str());
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a waiting poll returns at once
  sigaction(SIGINT, &action, &previous_int_);
  sigaction(SIGTERM, &action, &previous_term_);
  // A signal the tool was started to ignore (nohup, a background job) stays ignored.
  if (previous_int_.sa_handler == SIG_IGN) sigaction(SIGINT, &previous_int_, nullptr);
  if (previous_term_.sa_handler == SIG_IGN) sigaction(SIGTERM, &previous_term_, nullptr);
}

StopSignals::~StopSignals() {
  sigaction(SIGINT, &previous_int_, nullptr);
  sigaction(SIGTERM, &previous_term_, nullptr);
  scratch_folder[0] = 0;
  for (char* file : scratch_files) file[0] = 0;
}

void StopSignals::set_files(const std::vector<std::string>& files) {
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  sigprocmask(SIG_BLOCK, &blocked, &previous);
  for (int i = 0; i < kScratchFiles; ++i)
    std::snprintf(scratch_files[i], sizeof scratch_files[i], "%s",
                  static_cast<size_t>(i) < files.size() ? files[static_cast<size_t>(i)].c_str() : "");
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

ChildResult run_child(const std::vector<std::string>& argv, double timeout_seconds,
                      const std::function<void(const std::string&)>& on_line,
                      const std::function<void()>& every_second) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env = environment_without_token();
  Pipe output;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, output.write_end(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output.write_end(), STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // Its own process group: a terminal's Ctrl-C reaches the tool, which ends the whole group.
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &signals);
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);

  // The handler must see the group from the moment the program exists.
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  sigprocmask(SIG_BLOCK, &blocked, &previous);
  pid_t pid = 0;
  const int started = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), env.data());
  if (started == 0) running_group = pid;
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ChildResult result;
  if (started != 0) {
    result.failure = std::strerror(started);
    return result;
  }
  output.close_write();

  // Readable once the program ends; -1 on kernels without it (then the loop polls).
  const int exited = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  LineReader lines(on_line);
  bool reading = true;
  const auto start = Clock::now();
  auto next_second = start + std::chrono::seconds(1);
  for (;;) {
    if (stop_signal) stop_now(pid);
    int status = 0;
    const pid_t waited = waitpid(pid, &status, WNOHANG);
    if (waited == pid) {
      result.wait_status = status;
      break;
    }
    const auto now = Clock::now();
    if (timeout_seconds > 0 && std::chrono::duration<double>(now - start).count() >= timeout_seconds) {
      kill(-pid, SIGKILL);
      result.wait_status = wait_for(pid);
      result.timed_out = true;
      break;
    }
    if (now >= next_second) {
      every_second();
      next_second = now + std::chrono::seconds(1);
    }
    pollfd watched[2] = {{reading ? output.read_end() : -1, POLLIN, 0}, {exited, POLLIN, 0}};
    const int wait_ms = exited >= 0 ? 250 : kPollMillis;
    if (poll(watched, 2, wait_ms) > 0 && reading && (watched[0].revents & (POLLIN | POLLHUP)))
      reading = lines.read_from(output.read_end());
  }
  running_group = 0;
  // A stop asked for just as the program ended is not lost.
  if (stop_signal) stop_now(pid);
  if (exited >= 0) close(exited);
  // What the program wrote just before it ended; a background child of it may hold the pipe open.
  fcntl(output.read_end(), F_SETFL, O_NONBLOCK);
  while (reading && lines.read_from(output.read_end())) {
    pollfd more{output.read_end(), POLLIN, 0};
    if (poll(&more, 1, 0) <= 0) break;
  }
  lines.flush();
  return result;
}

}  // namespace quorv::cli

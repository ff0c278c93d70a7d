// The command-line upscaler under faults: a fusion service that goes down,
// answers slowly, resets connections, answers garbage or 429; an output
// folder that disappears or fills up. A run either finishes (unfused tiles
// with the warning line) or fails with one line and exit 2, and leaves no
// partial file at OUTPUT.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>

#include "fusion_service/fusion_service.h"
#include "tests/support/loopback_server.h"
#include "tests/tools/quorv/cli_support.h"

namespace quorv::test {
namespace {

constexpr const char* kToken = "fault-token";
const std::string kFetchFailed = "Warning, Failed to fetch Quorv Server";
const std::string kCredits = "Warning, Quorv Server credits exhausted (HTTP 429)";

// How the service answers the n-th request (counting from 0).
enum class Answer { Proper, Slow, Garbage, TooMany, Refuse };

// A fusion service on 127.0.0.1 that misbehaves as `script` says, request by request.
class FaultyService {
 public:
  explicit FaultyService(std::function<Answer(int)> script) : script_(std::move(script)) {
    loopback_.server.Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
      switch (script_(requests++)) {
        case Answer::Slow:
          std::this_thread::sleep_for(std::chrono::milliseconds(250));
          [[fallthrough]];
        case Answer::Proper: {
          const auto answer = fusion_service::answer_blend_info(req.body, req.get_header_value("Authorization"), kToken);
          res.status = answer.status;
          res.set_content(answer.body.dump(), "application/json");
          break;
        }
        case Answer::Garbage: res.set_content("<html>gateway error</html>", "text/html"); break;
        case Answer::TooMany: res.status = 429; break;
        case Answer::Refuse: res.status = 503; break;
      }
    });
    base = loopback_.start();
  }
  void stop() { loopback_.server.stop(); }

  std::atomic<int> requests{0};
  std::string base;

 private:
  std::function<Answer(int)> script_;
  LoopbackServer loopback_;
};

// A listener on 127.0.0.1 that resets every connection it accepts.
class ResettingListener {
 public:
  ResettingListener() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(listen(fd_, 16), 0);
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    base = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/";
    thread_ = std::thread([this] {
      for (;;) {
        const int client = accept(fd_, nullptr, nullptr);
        if (client < 0) return;
        const linger reset{1, 0};
        setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(client);
      }
    });
  }
  ~ResettingListener() {
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    thread_.join();
  }
  std::string base;

 private:
  int fd_ = -1;
  std::thread thread_;
};

struct Outcome {
  ProgramRun program;
  bool wrote = false;
  at::Tensor picture;
};

class FaultInjection : public ::testing::Test {
 protected:
  void SetUp() override {
    input_ = folder_ / "in.png";
    write_small_coffee(input_, 240, 160);
    std::ofstream(folder_ / "token") << kToken << "\n";
  }

  // quorv upscale on the small picture, 6 tiles, demo processor.
  Outcome upscale(const std::vector<std::string>& extra, const std::string& output_name = "out.png",
                  const std::string& processor = "demo") {
    const std::string output = folder_ / output_name;
    std::filesystem::remove(output);
    std::vector<std::string> args{"upscale", input_, "-o", output, "--tile-size", "192", "--processor", processor, "-q"};
    args.insert(args.end(), extra.begin(), extra.end());
    Outcome run;
    run.program = run_quorv(args, folder_);
    run.wrote = std::filesystem::exists(output);
    if (run.wrote) run.picture = io::read_picture(output).rgb;
    return run;
  }
  Outcome with_service(const std::string& base) {
    return upscale({"--fusion", "v1", "--fusion-url", base, "--token-file", folder_ / "token"});
  }
  static int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }

  TempFolder folder_;
  std::string input_;
};

TEST_F(FaultInjection, ServiceFailuresLeaveTilesUnfusedWithAWarningAndTheRunFinishes) {
  const Outcome unfused = upscale({"--fusion", "none"});
  const Outcome fused = [&] {
    FaultyService service([](int) { return Answer::Slow; });  // slow, but within the time limits
    return with_service(service.base);
  }();
  ASSERT_EQ(fused.program.status, 0) << fused.program.err;
  EXPECT_EQ(count(fused.program.out + fused.program.err, kFetchFailed), 0);
  EXPECT_FALSE(same_values(fused.picture, unfused.picture));

  {  // Every connection reset, or garbage answers: all tiles as processed.
    ResettingListener resetting;
    const Outcome reset = with_service(resetting.base);
    ASSERT_EQ(reset.program.status, 0) << reset.program.err;
    EXPECT_GE(count(reset.program.err, kFetchFailed), 5);
    EXPECT_TRUE(same_values(reset.picture, unfused.picture));
  }
  FaultyService garbage([](int) { return Answer::Garbage; });
  const Outcome junk = with_service(garbage.base);
  ASSERT_EQ(junk.program.status, 0) << junk.program.err;
  EXPECT_GE(count(junk.program.err, kFetchFailed), 5);
  EXPECT_TRUE(same_values(junk.picture, unfused.picture));
}

TEST_F(FaultInjection, AServiceThatGoesDownOrRunsOutOfCreditsMidRunCostsOnlyThoseTiles) {
  FaultyService flaky([](int n) { return n == 0 ? Answer::TooMany : n < 3 ? Answer::Proper : Answer::Refuse; });
  const Outcome run = with_service(flaky.base);
  ASSERT_EQ(run.program.status, 0) << run.program.err;
  EXPECT_EQ(count(run.program.err, kCredits), 1);
  EXPECT_TRUE(run.wrote);

  FaultyService dying([](int) { return Answer::Proper; });
  std::thread killer([&] {
    while (dying.requests < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    dying.stop();
  });
  const Outcome down = with_service(dying.base);
  killer.join();
  ASSERT_EQ(down.program.status, 0) << down.program.err;
  EXPECT_GE(count(down.program.err, kFetchFailed), 1);
  EXPECT_EQ(down.picture.sizes(), run.picture.sizes());
}

TEST_F(FaultInjection, AnOutputFolderThatDisappearsOrFillsUpLeavesNothingBehind) {
  // The tile program replaces the output folder with a file while the run is under way.
  std::filesystem::create_directory(folder_ / "outdir");
  const std::string script = folder_ / "vanish.sh";
  std::ofstream(script) << "#!/bin/sh\ncp \"$1\" \"$2\"\nrm -rf '" << folder_ / "outdir" << "'\ntouch '"
                        << folder_ / "outdir" << "'\n";
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  const Outcome vanished = upscale({"--fusion", "none"}, "outdir/out.png", "command:" + script + " {in} {out}");
  EXPECT_EQ(vanished.program.status, 2) << vanished.program.err;
  EXPECT_EQ(lines_of(vanished.program.err).size(), 1u) << vanished.program.err;
  EXPECT_TRUE(std::filesystem::is_regular_file(folder_ / "outdir"));  // the file the program left, nothing else

  // A 64 KiB file system cannot hold the result.
  std::filesystem::create_directory(folder_ / "small");
  if (mount("tmpfs", (folder_ / "small").c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs here (needs privileges)";
  const Outcome full = upscale({"--fusion", "none"}, "small/out.png");
  umount((folder_ / "small").c_str());
  EXPECT_EQ(full.program.status, 2) << full.program.err;
  EXPECT_FALSE(full.wrote);
  EXPECT_EQ(lines_of(full.program.err).size(), 1u) << full.program.err;
}

}  // namespace
}  // namespace quorv::test

// The command-line upscaler under faults: a fusion service that answers
// slowly, goes down or runs out of credits mid-run; an output folder that
// disappears or fills up. A run either finishes (exit 0, or 3 with the tiles
// it could not fuse listed) or fails with one line and exit 2, and leaves no
// partial file at OUTPUT.
#include <sys/mount.h>

#include "tests/tools/quorv/cli_support.h"
#include "tests/tools/quorv/faulty_service.h"

namespace quorv::test {
namespace {

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
    std::ofstream(folder_ / "token") << kFaultToken << "\n";
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

TEST_F(FaultInjection, ASlowServiceFusesEveryTile) {
  const Outcome unfused = upscale({"--fusion", "none"});
  FaultyService service([](int) { return Answer::Slow; });  // slow, but within the time limits
  const Outcome fused = with_service(service.base);
  ASSERT_EQ(fused.program.status, 0) << fused.program.err;
  EXPECT_EQ(count(fused.program.out + fused.program.err, "Warning"), 0);
  EXPECT_FALSE(same_values(fused.picture, unfused.picture));
}

TEST_F(FaultInjection, AServiceThatGoesDownOrRunsOutOfCreditsMidRunCostsOnlyThoseTiles) {
  // Request 0 is the check before the first tile, request n the tile n - 1.
  FaultyService flaky([](int n) { return n == 1 ? Answer::TooMany : n < 4 ? Answer::Proper : Answer::Refuse; });
  const Outcome run = with_service(flaky.base);
  EXPECT_EQ(run.program.status, 3) << run.program.err;
  // The warning goes to standard error, the summary's list to standard output.
  EXPECT_EQ(count(run.program.err,
                  "tile 0 (row 0, col 0) was not fused: the service answered HTTP 429 (credits exhausted)"),
            1)
      << run.program.err;
  EXPECT_EQ(count(run.program.out, "tile 0: the service answered HTTP 429 (credits exhausted)"), 1) << run.program.out;
  EXPECT_TRUE(run.wrote);

  FaultyService dying([](int) { return Answer::Proper; });
  std::thread killer([&] {
    while (dying.requests < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    dying.stop();
  });
  const Outcome down = with_service(dying.base);
  killer.join();
  EXPECT_EQ(down.program.status, 3) << down.program.err;
  EXPECT_GE(count(down.program.err, "was not fused"), 1) << down.program.err;
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

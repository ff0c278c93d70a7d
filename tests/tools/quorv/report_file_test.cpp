// --report never takes the place of a picture or of a file it was not asked
// to replace, and a report that cannot be written leaves no OUTPUT behind.
#include <sys/stat.h>

#include "tests/tools/quorv/cli_support.h"

namespace quorv::test {
namespace {

class ReportFile : public ::testing::Test {
 protected:
  void SetUp() override { input_ = write_coffee_crop(folder_ / "in.png", 220, 140, 128, 96); }

  ProgramRun upscale(const std::string& report, std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"upscale", folder_ / "in.png", "-o", folder_ / "out.png", "--tile-size", "128",
                                  "-q", "--fusion", "none", "--report", report};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_quorv(args, folder_);
  }

  TempFolder folder_;
  at::Tensor input_;
};

TEST_F(ReportFile, NeverReplacesTheInputTheOutputOrAFileWithoutOverwrite) {
  const std::string input_bytes = file_text(folder_ / "in.png");
  std::filesystem::create_hard_link(folder_ / "in.png", folder_ / "linked.png");
  std::filesystem::create_symlink(folder_ / "in.png", folder_ / "symlinked.json");
  const std::vector<std::pair<std::string, std::string>> pictures{
      {folder_ / "in.png", "is the INPUT picture"},
      {folder_ / "linked.png", "is the INPUT picture"},  // a hard link: the same file by another name
      {folder_ / "symlinked.json", "is the INPUT picture"},
      {folder_ / "sub/../in.png", "is the INPUT picture"},
      {folder_ / "out.png", "is the OUTPUT picture"},  // not there yet
  };
  std::filesystem::create_directory(folder_ / "sub");
  for (const auto& [report, message] : pictures) {
    const ProgramRun run = upscale(report, {"--overwrite"});
    EXPECT_EQ(run.status, 2) << report;
    EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(folder_ / "out.png")) << report;
  }
  EXPECT_EQ(file_text(folder_ / "in.png"), input_bytes);

  // An existing report is kept unless --overwrite says otherwise.
  std::ofstream(folder_ / "old.json") << "keep me\n";
  ProgramRun run = upscale(folder_ / "old.json");
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("exists (--overwrite replaces it)"), std::string::npos) << run.err;
  EXPECT_EQ(file_text(folder_ / "old.json"), "keep me\n");
  EXPECT_FALSE(std::filesystem::exists(folder_ / "out.png"));

  run = upscale(folder_ / "old.json", {"--overwrite"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(read_json(folder_ / "old.json")["complete"].get<bool>());
  EXPECT_TRUE(read_json(folder_ / "old.json")["timings"].contains("write"));
  // Nothing but the pictures and the report: no temporary files left.
  EXPECT_EQ(folder_.names(), (std::vector<std::string>{"in.png", "linked.png", "old.json", "out.png", "sub",
                                                       "symlinked.json"}));
}

TEST_F(ReportFile, AReportThatCannotBeWrittenLeavesNoOutput) {
  // The tile program replaces the report's folder with a file once the run is under way.
  std::filesystem::create_directory(folder_ / "reports");
  const std::string script = folder_ / "vanish.sh";
  std::ofstream(script) << "#!/bin/sh\ncp \"$1\" \"$2\"\nrm -rf '" << folder_ / "reports" << "'\ntouch '"
                        << folder_ / "reports" << "'\n";
  chmod(script.c_str(), 0755);
  const ProgramRun run = upscale(folder_ / "reports/report.json", {"--processor", "command:" + script + " {in} {out}"});
  EXPECT_EQ(run.status, 2) << run.err;
  EXPECT_EQ(lines_of(run.err).size(), 1u) << run.err;
  EXPECT_NE(run.err.find("cannot write --report"), std::string::npos) << run.err;
  EXPECT_FALSE(std::filesystem::exists(folder_ / "out.png"));
}

}  // namespace
}  // namespace quorv::test

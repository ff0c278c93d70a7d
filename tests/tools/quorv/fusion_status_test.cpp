// Fusion that did not happen is never passed off as success: the service is
// checked before the first tile, every unfused tile is listed with its reason
// in the summary and the report, the run stops asking a service that keeps
// failing, and the exit status says so (3, or 2 with --strict).
#include "tests/tools/quorv/cli_support.h"
#include "tests/tools/quorv/faulty_service.h"

namespace quorv::test {
namespace {

// 240 x 160 enlarged x2 in 192-pixel tiles: 2 rows x 4 columns, tiles 0-7.
constexpr int kTiles = 8;

class FusionStatus : public ::testing::Test {
 protected:
  void SetUp() override {
    write_small_coffee(folder_ / "in.png", 240, 160);
    std::ofstream(folder_ / "token") << kFaultToken << "\n";
    std::ofstream(folder_ / "wrong") << "not-the-token\n";
  }

  ProgramRun upscale(const std::string& base, std::vector<std::string> extra = {},
                     const std::string& token_file = "token") {
    std::filesystem::remove(folder_ / "out.png");
    std::filesystem::remove(folder_ / "report.json");
    std::vector<std::string> args{"upscale", folder_ / "in.png", "-o", folder_ / "out.png", "--tile-size", "192",
                                  "-q", "--fusion-url", base, "--token-file", folder_ / token_file,
                                  "--fusion-timeout", "0.3", "--report", folder_ / "report.json"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_quorv(args, folder_);
  }
  bool wrote() const { return std::filesystem::exists(folder_ / "out.png"); }
  nlohmann::json report() const { return read_json(folder_ / "report.json"); }

  // The tiles the report lists as not fused.
  std::vector<int> unfused_tiles() const {
    std::vector<int> tiles;
    const nlohmann::json r = report();
    for (const auto& t : r["fusion"]["unfused"]) tiles.push_back(t["tile"].get<int>());
    return tiles;
  }

  TempFolder folder_;
};

TEST_F(FusionStatus, AWrongTokenOrAFailingServiceStopsTheRunBeforeAnyTile) {
  FaultyService proper([](int) { return Answer::Proper; });
  ProgramRun run = upscale(proper.base, {}, "wrong");
  EXPECT_EQ(run.status, 2) << run.err;
  EXPECT_NE(run.err.find("the fusion service at " + proper.base + " refused the token (HTTP 401)"), std::string::npos)
      << run.err;
  EXPECT_EQ(proper.requests, 1);  // the check only
  EXPECT_FALSE(wrote());
  EXPECT_FALSE(std::filesystem::exists(folder_ / "report.json"));

  FaultyService unavailable([](int) { return Answer::Refuse; });
  run = upscale(unavailable.base);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find(unavailable.base + " answered HTTP 503"), std::string::npos) << run.err;
  EXPECT_EQ(lines_of(run.err).size(), 1u) << run.err;
  EXPECT_FALSE(wrote());

  run = upscale(closed_port_address());
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("cannot reach the fusion service at http://127.0.0.1:"), std::string::npos) << run.err;

  RawListener silent(/*silent=*/true);
  run = upscale(silent.base);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find(silent.base + " did not answer"), std::string::npos) << run.err;

  FaultyService garbage([](int) { return Answer::Garbage; });
  run = upscale(garbage.base);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("the reply is not JSON"), std::string::npos) << run.err;
  EXPECT_FALSE(wrote());
}

TEST_F(FusionStatus, TilesLeftUnfusedAreListedWithTheirReasonAndTheRunExitsWith3) {
  // Request 0 is the check, request n asks for tile n - 1: tiles 2 and 5 fail.
  FaultyService flaky([](int n) { return n == 3 ? Answer::Broken : n == 6 ? Answer::Garbage : Answer::Proper; });
  const ProgramRun run = upscale(flaky.base);
  EXPECT_EQ(run.status, 3) << run.err;
  EXPECT_TRUE(wrote());
  EXPECT_EQ(unfused_tiles(), (std::vector<int>{2, 5}));
  const auto r = report();
  EXPECT_EQ(r["fusion"]["unfused"][0]["reason"], "the service answered HTTP 500");
  EXPECT_EQ(r["fusion"]["unfused"][1]["row"], 1);
  EXPECT_EQ(r["fusion"]["unfused"][1]["col"], 1);
  EXPECT_EQ(r["fusion"]["skipped_tiles"], nlohmann::json({2, 5}));
  EXPECT_FALSE(r["complete"].get<bool>());
  EXPECT_TRUE(r["fusion"]["stopped_asking"].is_null());
  // The summary says the result is incomplete and lists each reason with its tiles.
  EXPECT_NE(run.out.find("fusion v1, INCOMPLETE"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("not fused      2 of 8 tiles"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("tile 2: the service answered HTTP 500"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("tile 5: the reply is not JSON"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("Warning: tile 2 (row 0, col 2) was not fused: the service answered HTTP 500"),
            std::string::npos)
      << run.err;

  // --strict: the first unfused tile fails the run, and nothing is written.
  FaultyService again([](int n) { return n == 3 ? Answer::Broken : Answer::Proper; });
  const ProgramRun strict = upscale(again.base, {"--strict"});
  EXPECT_EQ(strict.status, 2);
  EXPECT_NE(strict.err.find("tile 2 (row 0, col 2) was not fused: the service answered HTTP 500"), std::string::npos)
      << strict.err;
  EXPECT_FALSE(wrote());
  EXPECT_FALSE(std::filesystem::exists(folder_ / "report.json"));
  EXPECT_EQ(again.requests, 4);  // no tile asked after the failure

  // A service that answers every tile: exit 0, a complete report.
  FaultyService proper([](int) { return Answer::Proper; });
  ASSERT_EQ(upscale(proper.base).status, 0);
  EXPECT_TRUE(report()["complete"].get<bool>());
  EXPECT_TRUE(report()["fusion"]["unfused"].empty());
  EXPECT_EQ(proper.requests, kTiles + 1);
}

TEST_F(FusionStatus, AfterThreeFailuresInARowOfOneCauseTheRunStopsAskingTheService) {
  // Tile 0 fused, then a service that goes quiet: three tiles time out, the other four are not sent.
  FaultyService quiet([](int n) { return n < 2 ? Answer::Proper : Answer::Silent; });
  ProgramRun run = upscale(quiet.base);
  EXPECT_EQ(run.status, 3) << run.err;
  EXPECT_EQ(quiet.requests, 2 + 3);
  EXPECT_EQ(unfused_tiles(), (std::vector<int>{1, 2, 3, 4, 5, 6, 7}));
  const auto r = report();
  EXPECT_NE(r["fusion"]["unfused"][0]["reason"].get<std::string>().find("no data from the service"), std::string::npos);
  EXPECT_NE(r["fusion"]["unfused"][3]["reason"].get<std::string>().find("not sent to the service"), std::string::npos);
  ASSERT_TRUE(r["fusion"]["stopped_asking"].is_string());
  EXPECT_NE(run.out.find("failed 3 tiles in a row"), std::string::npos) << run.out;

  // Failures of different causes in turn are not a pattern: every tile is asked.
  FaultyService mixed([](int n) { return n < 2 ? Answer::Proper : n % 2 ? Answer::Broken : Answer::Garbage; });
  run = upscale(mixed.base);
  EXPECT_EQ(run.status, 3) << run.err;
  EXPECT_EQ(mixed.requests, kTiles + 1);
  EXPECT_TRUE(report()["fusion"]["stopped_asking"].is_null());
  EXPECT_EQ(unfused_tiles().size(), 7u);

  // A success in between starts the count again.
  FaultyService gaps([](int n) { return n >= 2 && n % 3 != 1 ? Answer::Refuse : Answer::Proper; });
  run = upscale(gaps.base);
  EXPECT_EQ(run.status, 3) << run.err;
  EXPECT_EQ(gaps.requests, kTiles + 1);
}

TEST_F(FusionStatus, HelpSaysWhatEachExitStatusMeans) {
  const ProgramRun help = run_quorv({"upscale", "--help"}, folder_);
  ASSERT_EQ(help.status, 0);
  for (const char* line : {"0  OUTPUT written, every tile processed and fused as asked",
                           "3  OUTPUT written, but some tiles were not processed or not fused",
                           "2  nothing written: bad input or usage", "1  nothing written: an internal error"})
    EXPECT_NE(help.out.find(line), std::string::npos) << line;
}

}  // namespace
}  // namespace quorv::test

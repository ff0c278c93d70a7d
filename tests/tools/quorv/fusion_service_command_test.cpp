// quorv fusion-service, and upscale runs that use it through --fusion-url.
#include <gtest/gtest.h>
#include <signal.h>

#include "tests/tools/quorv/cli_support.h"

namespace quorv::test {
namespace {

// The "Serving ... at URL" line the service prints once it listens; empty on time-out.
std::string served_address(const TempFolder& folder) {
  const std::string prefix = "Serving blend_info.php at ";
  for (int i = 0; i < 200; ++i) {
    const std::string out = file_text(folder / ".stdout");
    const size_t at = out.find(prefix);
    if (at != std::string::npos && out.find('\n', at) != std::string::npos)
      return out.substr(at + prefix.size(), out.find('\n', at) - at - prefix.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return "";
}

TEST(Quorv_FusionService, AStandaloneServiceFusesLikeTheOneInProcessAndChecksTheToken) {
  TempFolder service_dir, dir;
  std::ofstream(service_dir / "token") << "s3cret\n";
  const pid_t service =
      start_quorv({"fusion-service", "--port", "0", "--token-file", service_dir / "token"}, service_dir);
  const std::string url = served_address(service_dir);
  ASSERT_EQ(url.rfind("http://127.0.0.1:", 0), 0u) << file_text(service_dir / ".stderr");

  write_coffee_crop(dir / "in.png");
  auto upscale = [&](const std::string& output, std::vector<std::string> options) {
    std::vector<std::string> args{"upscale", dir / "in.png", "-o", dir / output, "--tile-size", "128", "-q",
                                  "--processor", "demo"};
    args.insert(args.end(), options.begin(), options.end());
    return args;
  };
  ASSERT_EQ(run_quorv(upscale("inside.png", {}), dir).status, 0);
  ASSERT_EQ(run_quorv(upscale("unfused.png", {"--fusion", "none"}), dir).status, 0);
  const ProgramRun outside =
      run_quorv(upscale("outside.png", {"--fusion-url", url, "--token-file", service_dir / "token"}), dir);
  ASSERT_EQ(outside.status, 0) << outside.err;
  // A refused token stops the run before any tile.
  const ProgramRun refused = run_quorv(upscale("refused.png", {"--fusion-url", url}), dir, {"QUORV_TOKEN=wrong"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("the fusion service at " + url + " refused the token (HTTP 401)"), std::string::npos)
      << refused.err;
  EXPECT_FALSE(std::filesystem::exists(dir / "refused.png"));

  const at::Tensor inside = io::read_picture(dir / "inside.png").rgb;
  EXPECT_TRUE(same_values(io::read_picture(dir / "outside.png").rgb, inside));
  EXPECT_FALSE(same_values(inside, io::read_picture(dir / "unfused.png").rgb));

  kill(service, SIGTERM);
  int status = -1;
  waitpid(service, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace quorv::test

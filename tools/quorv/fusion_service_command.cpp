#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "fusion_service/fusion_service.h"
#include "tools/quorv/quorv_cli.h"

namespace quorv::cli {

namespace {
constexpr int64_t kMaxTokenFileBytes = 64 << 10;
}  // namespace

std::string read_token(const std::string& token_file) {
  if (token_file.empty()) {
    const char* token = std::getenv("QUORV_TOKEN");
    if (!token || !*token)
      throw UsageError("--fusion-url needs a token: --token-file FILE or the QUORV_TOKEN environment variable");
    return token;
  }
  // A regular file of a few bytes: /dev/zero or a FIFO is refused, not read without end.
  std::string token = io::read_input_bytes(token_file, kMaxTokenFileBytes, "--token-file");
  token = token.substr(0, token.find('\n'));
  if (!token.empty() && token.back() == '\r') token.pop_back();
  if (token.empty()) throw UsageError("--token-file '" + token_file + "' holds no token on its first line");
  return token;
}

int run_fusion_service(int port, const std::string& token_file) {
  const std::optional<std::string> token =
      token_file.empty() ? std::nullopt : std::optional<std::string>(read_token(token_file));
  // Blocked before the server thread starts, so only sigwait below receives them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  fusion_service::FusionServer server;
  try {
    server.start("127.0.0.1", port, token);
  } catch (const std::runtime_error& e) {
    throw UsageError(std::string("cannot start the fusion service: ") + e.what());
  }
  std::cout << "Serving blend_info.php at " << server.base_address() << std::endl;
  int received = 0;
  sigwait(&stop_signals, &received);
  server.stop();
  return 0;
}

}  // namespace quorv::cli

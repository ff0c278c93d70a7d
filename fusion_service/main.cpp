// quorv-fusion-service: the reference fusion service as a program. Serves
// until SIGINT or SIGTERM.
#include <CLI/CLI.hpp>

#include <csignal>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>

#include "fusion_service/fusion_service.h"

namespace {

// The token is the file's first line; a trailing carriage return is dropped.
std::string token_from_file(const std::string& path) {
  std::ifstream file(path);
  if (!file) throw std::runtime_error("cannot read the token file " + path);
  std::string token;
  std::getline(file, token);
  if (!token.empty() && token.back() == '\r') token.pop_back();
  if (token.empty()) throw std::runtime_error("the token file " + path + " holds no token on its first line");
  return token;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Reference fusion service: answers POST <base>blend_info.php"};
  std::string host = "127.0.0.1";
  int port = 0;
  std::string token_file;
  app.add_option("--host", host, "address to bind")->capture_default_str();
  app.add_option("--port", port, "port to bind; 0 picks a free one")->capture_default_str()->check(CLI::Range(0, 65535));
  app.add_option("--token-file", token_file, "file whose first line is the bearer token to require")
      ->check(CLI::ExistingFile);
  CLI11_PARSE(app, argc, argv);

  // Blocked before any thread starts, so only sigwait below receives them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  try {
    const std::optional<std::string> token =
        token_file.empty() ? std::nullopt : std::optional<std::string>(token_from_file(token_file));
    quorv::fusion_service::FusionServer server;
    server.start(host, port, token);
    std::cout << "Serving blend_info.php at " << server.base_address() << std::endl;
    int received = 0;
    sigwait(&stop_signals, &received);
    server.stop();
  } catch (const std::exception& e) {
    std::cerr << "quorv-fusion-service: " << e.what() << '\n';
    return 1;
  }
  return 0;
}

#include <httplib.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "fusion_service/fusion_service.h"

namespace quorv::fusion_service {
namespace {

constexpr const char* kJson = "application/json";

std::string dumped(const nlohmann::ordered_json& body) {
  return body.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void serve_blend_info(const std::optional<std::string>& token, const httplib::Request& request,
                      httplib::Response& response) {
  const Answer answer = answer_blend_info(request.body, request.get_header_value("Authorization"), token);
  response.status = answer.status;
  response.set_content(dumped(answer.body), kJson);
}

// Answers the server refuses by itself (unknown path, body over the limit)
// get a JSON error text as well.
httplib::Server::HandlerResponse explain_refusal(const httplib::Request&, httplib::Response& response) {
  if (!response.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
  const std::string text = response.status == 413
                               ? "the request is larger than " + std::to_string(kMaxRequestBytes) + " bytes"
                               : "HTTP " + std::to_string(response.status);
  response.set_content(dumped({{"error", text}}), kJson);
  return httplib::Server::HandlerResponse::Handled;
}

}  // namespace

struct FusionServer::Running {
  httplib::Server server;
  std::thread thread;
  std::string host;
  int port = 0;
  std::atomic<bool> finished{false};  // the serving loop has returned
};

FusionServer::FusionServer() = default;

FusionServer::~FusionServer() { stop(); }

int FusionServer::start(const std::string& host, int port, const std::optional<std::string>& token) {
  if (running_) throw std::runtime_error("FusionServer: already serving at " + base_address());
  if (port < 0 || port > 65535) throw std::runtime_error("FusionServer: port must lie in 0..65535, got " + std::to_string(port));
  auto running = std::make_unique<Running>();
  running->host = host;
  running->server.set_payload_max_length(kMaxRequestBytes);
  running->server.set_error_handler(httplib::Server::HandlerWithResponse(explain_refusal));
  running->server.Post("/blend_info.php", [token](const httplib::Request& request, httplib::Response& response) {
    serve_blend_info(token, request, response);
  });
  if (port == 0) {
    running->port = running->server.bind_to_any_port(host);
  } else if (running->server.bind_to_port(host, port)) {
    running->port = port;
  }
  if (running->port <= 0) throw std::runtime_error("FusionServer: cannot bind " + host + ":" + std::to_string(port));
  Running* serving = running.get();
  running->thread = std::thread([serving] {
    serving->server.listen_after_bind();
    serving->finished = true;
  });
  // stop() only reaches a server whose loop has begun.
  while (!serving->server.is_running() && !serving->finished) std::this_thread::yield();
  running_ = std::move(running);
  return running_->port;
}

std::string FusionServer::base_address() const {
  if (!running_) throw std::runtime_error("FusionServer: not serving");
  return "http://" + running_->host + ":" + std::to_string(running_->port) + "/";
}

void FusionServer::stop() {
  if (!running_) return;
  running_->server.stop();
  running_->thread.join();
  running_.reset();
}

}  // namespace quorv::fusion_service

// One thread polls every connection, so a connection that is slow, silent or
// hostile holds a file descriptor and a bounded buffer, never a thread: valid
// clients keep being served. Each stage of a request has a deadline, each
// buffer a limit checked while reading, and the token is checked on the
// headers, before any of the body is read.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <list>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "fusion_service/fusion_service.h"
#include "fusion_service/http_request.h"
#include "fusion_service/listen_socket.h"

namespace quorv::fusion_service {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr const char* kPath = "/blend_info.php";
// A new connection must bring its request line and headers this soon, and a
// kept-alive one its next request after at most the idle time.
constexpr milliseconds kHeadTimeout{2000};
constexpr milliseconds kIdleTimeout{5000};
// A body of the largest size still arrives in time at 300 KB/s.
constexpr milliseconds kBodyTimeout{15000};
constexpr milliseconds kWriteTimeout{5000};
// After refusing a request the server reads (and drops) what the client is
// still sending for a moment, so the refusal is not lost to a reset.
constexpr milliseconds kLingerTime{1000};
constexpr size_t kReadSize = 64 * 1024;
// Bodies held at once by all connections together; past it, bodies wait.
constexpr size_t kBodyBudget = 256 * 1024 * 1024;
constexpr size_t kMaxConnections = 1000;

const char* reason_phrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Content Too Large";
    case 415: return "Unsupported Media Type";
    case 417: return "Expectation Failed";
    case 431: return "Request Header Fields Too Large";
    case 501: return "Not Implemented";
    case 505: return "HTTP Version Not Supported";
    default: return "Internal Server Error";
  }
}

std::string dumped(const nlohmann::ordered_json& body) {
  return body.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string response(int status, const nlohmann::ordered_json& body, bool keep_alive, bool http10) {
  const std::string text = dumped(body);
  std::string out = std::string(http10 ? "HTTP/1.0 " : "HTTP/1.1 ") + std::to_string(status) + " " +
                    reason_phrase(status) + "\r\nContent-Type: application/json\r\nContent-Length: " +
                    std::to_string(text.size()) + "\r\n";
  if (status == 405) out += "Allow: POST\r\n";
  if (!keep_alive) out += "Connection: close\r\n";
  else if (http10) out += "Connection: keep-alive\r\n";
  return out + "\r\n" + text;
}

enum class Stage {
  Head,        // waiting for the request line and headers
  Body,        // reading the body
  Responding,  // writing the answer; nothing more is read until it is out
  Draining,    // answered and half-closed: dropping input until the peer closes
};

struct Connection {
  int fd = -1;
  Stage stage = Stage::Head;
  Clock::time_point deadline;
  Clock::time_point waiting_since;  // the oldest waiting connection is evicted first
  std::string in;                   // received and not yet used
  std::optional<http::Head> head;
  std::optional<http::ChunkedBody> chunked;
  std::string body;
  std::string out;
  size_t sent = 0;
  bool close_after_answer = false;
  bool request_read = false;  // nothing of the request is left unread
  bool closed = false;
};

size_t connection_limit() {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY) return kMaxConnections;
  return std::clamp<size_t>(static_cast<size_t>(files.rlim_cur) / 2, 16, kMaxConnections);
}

class Loop {
 public:
  Loop(int listener, int wake, std::optional<std::string> token)
      : listener_(listener), wake_(wake), token_(std::move(token)), max_connections_(connection_limit()) {
    limits_.max_body_bytes = kMaxRequestBytes;
  }
  ~Loop() {
    for (Connection& c : connections_)
      if (!c.closed) close(c.fd);
  }

  void run() {
    std::vector<pollfd> polled;
    std::vector<Connection*> polled_connections;
    for (;;) {
      const Clock::time_point now = Clock::now();
      expire(now);
      polled.assign({{wake_, POLLIN, 0}, {listener_, POLLIN, 0}});
      polled_connections.clear();
      const bool bodies_may_grow = buffered_bytes() < kBodyBudget;
      Clock::time_point next = now + seconds(1);
      for (Connection& c : connections_) {
        short events = 0;
        if (c.sent < c.out.size()) events |= POLLOUT;
        if (c.stage == Stage::Head || c.stage == Stage::Draining || (c.stage == Stage::Body && bodies_may_grow))
          events |= POLLIN;
        polled.push_back({c.fd, events, 0});
        polled_connections.push_back(&c);
        next = std::min(next, c.deadline);
      }
      const auto wait = std::chrono::duration_cast<milliseconds>(next - now).count();
      const int ready = poll(polled.data(), polled.size(), static_cast<int>(std::clamp<int64_t>(wait + 1, 0, 1000)));
      if (ready < 0 && errno != EINTR) return;
      if (polled[0].revents) return;  // stop() wrote to the wake pipe
      for (size_t i = 0; i < polled_connections.size(); ++i)
        if (polled[i + 2].revents) serve(*polled_connections[i], polled[i + 2].revents);
      if (polled[1].revents & POLLIN) accept_all();
      connections_.remove_if([](const Connection& c) { return c.closed; });
    }
  }

 private:
  size_t buffered_bytes() const {
    size_t total = 0;
    for (const Connection& c : connections_) total += c.in.size() + c.body.size() + c.out.size();
    return total;
  }

  void accept_all() {
    for (int i = 0; i < 64; ++i) {
      const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;  // EAGAIN, or a failure that the next round retries
      if (connections_.size() >= max_connections_ && !evict_oldest_waiting()) {
        close(fd);
        continue;
      }
      const int yes = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
      Connection& c = connections_.emplace_back();
      c.fd = fd;
      c.waiting_since = Clock::now();
      c.deadline = c.waiting_since + kHeadTimeout;
      read_in(c);  // the request usually arrives with the connection
    }
  }

  // A flood of idle connections pushes out its own oldest members, while a
  // valid client, which sends its request at once, is never the oldest.
  bool evict_oldest_waiting() {
    Connection* oldest = nullptr;
    for (Connection& c : connections_)
      if (!c.closed && (c.stage == Stage::Head || c.stage == Stage::Draining) &&
          (!oldest || c.waiting_since < oldest->waiting_since))
        oldest = &c;
    if (!oldest) return false;
    finish(*oldest);
    return true;
  }

  void finish(Connection& c) {
    if (c.closed) return;
    close(c.fd);
    c.closed = true;
  }

  void expire(Clock::time_point now) {
    for (Connection& c : connections_)
      if (!c.closed && now >= c.deadline) finish(c);
    connections_.remove_if([](const Connection& c) { return c.closed; });
  }

  void serve(Connection& c, short revents) {
    if (c.closed) return;
    if (revents & POLLOUT) {
      write_out(c);
      pump(c);
    }
    if (c.closed) return;
    if (revents & (POLLIN | POLLHUP | POLLERR)) read_in(c);
  }

  // Answers the requests already in hand, one after another (pipelining),
  // for as long as each answer goes out at once.
  void pump(Connection& c) {
    while (!c.closed && c.stage == Stage::Head && c.out.empty() && !c.in.empty()) {
      const size_t before = c.in.size();
      advance(c);
      if (c.stage == Stage::Head && c.in.size() == before) return;  // the next head is incomplete
    }
  }

  void read_in(Connection& c) {
    char data[kReadSize];
    for (int round = 0; round < 16 && !c.closed; ++round) {
      const bool reading = c.stage == Stage::Head || c.stage == Stage::Body || c.stage == Stage::Draining;
      if (!reading) return;
      const ssize_t n = recv(c.fd, data, sizeof data, 0);
      if (n == 0) return finish(c);
      if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) finish(c);
        return;
      }
      if (c.stage == Stage::Draining) continue;
      if (c.stage == Stage::Head && c.in.empty() && c.head == std::nullopt)
        c.deadline = std::min(c.deadline, Clock::now() + kHeadTimeout);
      c.in.append(data, static_cast<size_t>(n));
      advance(c);
      pump(c);
      if (static_cast<size_t>(n) < sizeof data) return;
    }
  }

  // Moves the connection through its stages as far as the bytes in hand allow.
  void advance(Connection& c) {
    try {
      if (c.stage == Stage::Head) {
        auto parsed = http::parse_head(c.in, limits_);
        if (!parsed) return;
        c.in.erase(0, parsed->second);
        c.head = std::move(parsed->first);
        if (!accept_head(c)) return;
      }
      if (c.stage == Stage::Body) {
        bool complete;
        if (c.chunked) {
          size_t used = 0;
          complete = c.chunked->take(c.in, used, c.body);
          c.in.erase(0, used);
        } else {
          const size_t wanted = static_cast<size_t>(c.head->content_length.value_or(0)) - c.body.size();
          const size_t n = std::min(wanted, c.in.size());
          c.body.append(c.in, 0, n);
          c.in.erase(0, n);
          complete = c.body.size() == c.head->content_length.value_or(0);
        }
        if (complete) answer(c);
      }
    } catch (const http::Refusal& refusal) {
      respond(c, refusal.status, error_text(refusal.what()), /*keep_alive=*/false);
    }
  }

  // Routes the request and checks the token before any of the body is read;
  // false when the request has been answered already.
  bool accept_head(Connection& c) {
    const http::Head& head = *c.head;
    // A refused request keeps its connection only when no body follows it.
    c.request_read = !head.has_body();
    const bool keep = head.keep_alive && c.request_read;
    if (head.path != kPath) {
      respond(c, 404, error_text("HTTP 404: only POST " + std::string(kPath) + " is served"), keep);
      return false;
    }
    if (head.method != "POST") {
      respond(c, 405, error_text("HTTP 405: " + std::string(kPath) + " takes POST only"), keep);
      return false;
    }
    if (token_) {
      const Answer refused = answer_blend_info("", head.authorization, token_);
      if (refused.status == 401) {
        respond(c, 401, refused.body, keep);
        return false;
      }
    }
    if (head.encoded) {
      respond(c, 415, error_text("request bodies are read as sent: no Content-Encoding"), false);
      return false;
    }
    if (head.content_length && *head.content_length > limits_.max_body_bytes) {
      respond(c, 413, error_text("the request is larger than " + std::to_string(limits_.max_body_bytes) + " bytes"),
              false);
      return false;
    }
    if (head.expects_continue) c.out += "HTTP/1.1 100 Continue\r\n\r\n";
    if (head.chunked) c.chunked.emplace(limits_.max_body_bytes);
    c.stage = Stage::Body;
    c.deadline = Clock::now() + kBodyTimeout;
    return true;
  }

  static nlohmann::ordered_json error_text(const std::string& text) { return {{"error", text}}; }

  void answer(Connection& c) {
    Answer answer;
    try {
      answer = answer_blend_info(c.body, c.head->authorization, token_);
    } catch (const std::exception& e) {
      answer = {500, error_text(std::string("the service failed: ") + e.what())};
    }
    std::string().swap(c.body);
    c.request_read = true;
    respond(c, answer.status, answer.body, c.head->keep_alive);
  }

  void respond(Connection& c, int status, const nlohmann::ordered_json& body, bool keep_alive) {
    const bool http10 = c.head && c.head->http10;
    c.out += response(status, body, keep_alive, http10);
    c.close_after_answer = !keep_alive;
    c.stage = Stage::Responding;
    c.chunked.reset();
    std::string().swap(c.body);
    c.deadline = Clock::now() + kWriteTimeout;
    write_out(c);
  }

  void write_out(Connection& c) {
    while (c.sent < c.out.size()) {
      const ssize_t n = send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) finish(c);
        return;
      }
      c.sent += static_cast<size_t>(n);
    }
    c.out.clear();
    c.sent = 0;
    if (c.stage != Stage::Responding) return;  // a "100 Continue" went out; the body follows
    if (c.close_after_answer && c.request_read && c.in.empty()) return finish(c);
    if (c.close_after_answer) {
      shutdown(c.fd, SHUT_WR);
      std::string().swap(c.in);
      c.stage = Stage::Draining;
      c.waiting_since = Clock::now();
      c.deadline = c.waiting_since + kLingerTime;
      return;
    }
    // Kept alive: the next request may be in hand already (pipelining).
    c.stage = Stage::Head;
    c.head.reset();
    c.request_read = false;
    c.waiting_since = Clock::now();
    c.deadline = c.waiting_since + (c.in.empty() ? kIdleTimeout : kHeadTimeout);
    if (c.in.capacity() > 4 * kReadSize) c.in.shrink_to_fit();
  }

  int listener_;
  int wake_;
  std::optional<std::string> token_;
  size_t max_connections_;
  http::Limits limits_;
  std::list<Connection> connections_;
};

}  // namespace

struct FusionServer::Running {
  std::string host;
  int port = 0;
  int listener = -1;
  int wake[2] = {-1, -1};
  std::thread thread;
};

FusionServer::FusionServer() = default;

FusionServer::~FusionServer() { stop(); }

int FusionServer::start(const std::string& host, int port, const std::optional<std::string>& token) {
  if (running_) throw std::runtime_error("FusionServer: already serving at " + base_address());
  if (port < 0 || port > 65535) throw std::runtime_error("FusionServer: port must lie in 0..65535, got " + std::to_string(port));
  if (token && token->empty()) throw std::runtime_error("FusionServer: the token must not be empty");
  auto running = std::make_unique<Running>();
  running->host = host;
  const ListenSocket socket = listen_on(host, port);
  running->listener = socket.fd;
  running->port = socket.port;
  if (pipe2(running->wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    close(running->listener);
    throw std::runtime_error("FusionServer: cannot create the stop pipe");
  }
  Running* serving = running.get();
  running->thread = std::thread([serving, token] {
    try {
      Loop(serving->listener, serving->wake[0], token).run();
    } catch (const std::exception&) {
      // Out of memory for the connection list: the service stops answering,
      // and its clients see refused connections, which they survive.
    }
  });
  running_ = std::move(running);
  return running_->port;
}

std::string FusionServer::base_address() const {
  if (!running_) throw std::runtime_error("FusionServer: not serving");
  const bool ipv6 = running_->host.find(':') != std::string::npos;
  return "http://" + (ipv6 ? "[" + running_->host + "]" : running_->host) + ":" + std::to_string(running_->port) + "/";
}

void FusionServer::stop() {
  if (!running_) return;
  const char byte = 1;
  while (write(running_->wake[1], &byte, 1) < 0 && errno == EINTR) {
  }
  running_->thread.join();
  close(running_->listener);
  close(running_->wake[0]);
  close(running_->wake[1]);
  running_.reset();
}

std::string random_token() {
  std::random_device device;
  std::string token;
  for (int i = 0; i < 4; ++i) {
    char part[9];
    std::snprintf(part, sizeof part, "%08x", device());
    token += part;
  }
  return token;
}

}  // namespace quorv::fusion_service

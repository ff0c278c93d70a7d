// Reading one HTTP/1.x request from bytes as they arrive, with every size
// bounded while reading: the service's own server loop feeds these. Nothing
// here touches a socket, so each limit can be checked on plain strings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace quorv::fusion_service::http {

/// A request the server answers with `status` and closes the connection on.
struct Refusal : std::runtime_error {
  Refusal(int code, const std::string& text) : std::runtime_error(text), status(code) {}
  int status;
};

struct Limits {
  size_t max_head_bytes = 16 * 1024;  ///< request line and headers together
  size_t max_header_count = 64;
  size_t max_body_bytes = 0;
};

/// What the server needs of a request line and its headers.
struct Head {
  std::string method;
  std::string path;  ///< the target without its query
  bool http10 = false;
  std::string authorization;
  std::optional<uint64_t> content_length;
  bool chunked = false;
  bool expects_continue = false;
  bool encoded = false;  ///< a Content-Encoding other than identity
  bool keep_alive = true;  ///< HTTP/1.1 unless "Connection: close"; HTTP/1.0 only with "keep-alive"
  bool has_body() const { return chunked || (content_length && *content_length > 0); }
};

/// The head at the start of `buffer` (empty lines before it skipped) and the
/// bytes it took, or nullopt while it is incomplete. Refusal 431 when the
/// head is (or must become) longer than `limits.max_head_bytes` or has more
/// than `limits.max_header_count` headers; 400 for a malformed head; 505 for
/// a version other than 1.0 and 1.1; 501 for a Transfer-Encoding other than
/// chunked. The body's size and encoding are left to the caller, which
/// checks the token first.
std::optional<std::pair<Head, size_t>> parse_head(const std::string& buffer, const Limits& limits);

/// A chunked body decoded as it arrives, never holding more than the body
/// limit plus one bounded size or trailer line.
class ChunkedBody {
 public:
  explicit ChunkedBody(size_t max_body_bytes) : max_body_bytes_(max_body_bytes) {}

  /// Takes bytes from `buffer` starting at `at` (advanced past what was
  /// used), appends the data to `body`; true once the last chunk and the
  /// trailers are in. Refusal 413 as soon as the data would pass the limit,
  /// 400 for a malformed chunk.
  bool take(const std::string& buffer, size_t& at, std::string& body);

 private:
  enum class Stage { Size, Data, DataEnd, Trailer, Done };
  Stage stage_ = Stage::Size;
  uint64_t remaining_ = 0;  // data bytes left in the current chunk
  std::string line_;        // a size or trailer line not yet complete
  size_t trailer_bytes_ = 0;
  size_t max_body_bytes_;
};

}  // namespace quorv::fusion_service::http

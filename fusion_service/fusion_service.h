// The reference fusion service: answers POST <base>blend_info.php with the
// finished neighbours of one tile and how far each overlaps it.
//
// For the tile at "index" of "grid_specs", each regular tile (order below
// 8000) at these grid positions is a candidate (first record wins when a
// position repeats):
//
//                       col-1   col    col+1       col+2
//            row-1              top    topright    toprightright
//            row        left   [tile]  right
//            row+1             bottom  bottomright bottomrightright
//
// Each answered entry is {"exists": true, "index": position in grid_specs,
// "crop_x": overlap columns, "crop_y": overlap rows}, both taken from the
// rectangles; "top" and "bottom" carry "crop_x": 0 and "left" and "right"
// "crop_y": 0, because the fusion step reads the non-zero one as the strip
// width. A candidate that does not overlap the tile is left out; a segment
// tile (order 8000 or more) gets no neighbours.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

namespace quorv::fusion_service {

/// Request bodies above this size are answered 413.
inline constexpr size_t kMaxRequestBytes = 4 * 1024 * 1024;

/// An HTTP status and its JSON body.
struct Answer {
  int status = 200;
  nlohmann::ordered_json body;
};

/// The answer to one request body. With a `token`, `authorization` must be
/// exactly "Bearer " + token, else 401. A body above kMaxRequestBytes: 413.
/// Not JSON, not an object, a missing or mistyped member (the eleven request
/// members, each grid_specs record's seven integers), a negative tile size,
/// a rectangle whose far edge overflows, or an index outside grid_specs: 400.
/// Errors are {"error": text}. Never throws for any input.
Answer answer_blend_info(const std::string& body, const std::string& authorization,
                         const std::optional<std::string>& token = std::nullopt);

/// Runs the service in this process on one background thread that polls
/// every connection, so slow or silent connections cannot starve valid ones.
/// While reading a request it enforces: the request line and headers within
/// 2 s of connecting (or of the first byte of a kept-alive connection's next
/// request), at most 16 KiB and 64 headers (else 431); the token on the
/// headers, before any body byte is read (401); a body, chunked or not, of at
/// most kMaxRequestBytes (413 as soon as it is exceeded) within 15 s; no
/// Content-Encoding (415). Only POST /blend_info.php is served (404, 405).
/// Keep-alive and pipelined requests are answered in order.
class FusionServer {
 public:
  FusionServer();
  ~FusionServer();  ///< stops the server
  FusionServer(const FusionServer&) = delete;
  FusionServer& operator=(const FusionServer&) = delete;

  /// Binds `host`:`port` (0: any free port) and starts serving; returns the
  /// bound port. Already running, an empty token, or the address cannot be
  /// bound (a port another socket listens on: "... address already in use"):
  /// std::runtime_error.
  int start(const std::string& host = "127.0.0.1", int port = 0,
            const std::optional<std::string>& token = std::nullopt);

  /// "http://HOST:PORT/", the base address to configure with set_apiurl;
  /// std::runtime_error when not running.
  std::string base_address() const;

  /// Stops serving and waits for the server thread; nothing when not running.
  void stop();

 private:
  struct Running;
  std::unique_ptr<Running> running_;
};

/// 32 hex digits from the system's random source: the token of a service
/// only the process that starts it talks to.
std::string random_token();

}  // namespace quorv::fusion_service

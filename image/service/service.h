// Fusion service: the request sent for one tile, the accessor that picks a
// neighbour out of the reply, and the HTTP client that posts the request and
// absorbs every failure.
//
// Request (members in this order):
//
//   {"index": i, "row", "col", "x_start", "y_start", "width_inc", "height_inc"
//    (the tile's GridSpec without its order), "upscalemultiplier": m,
//    "grid_specs": [{"row", "col", "order", "x_start", "y_start",
//                    "width_inc", "height_inc"}, ...],
//    "last_row": largest row, "last_col": largest col}
//
// Reply: an object keyed by direction ("top", "left", "topright",
// "toprightright", "right", "bottom", "bottomright", "bottomrightright"),
// each entry {"exists": true, "index": n, "crop_x": columns, "crop_y": rows};
// an empty object means no neighbour is blended.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/node_state.h"
#include "image/grid_spec.h"

namespace quorv::service {

/// JSON with members kept in insertion order (the request's order is fixed).
using Json = nlohmann::ordered_json;

/// Printed when the service could not be reached or its reply not read;
/// the error's text follows directly.
inline constexpr const char* kFetchFailedMessage =
    "Warning, Failed to fetch Quorv Server, Neural-Generative Tile Fusion disabled: ";
/// Printed when the service answers 429.
inline constexpr const char* kCreditsExhaustedMessage =
    "Warning, Quorv Server credits exhausted (HTTP 429), Neural-Generative Tile Fusion disabled";
/// The "User-Agent" header of every request.
inline constexpr const char* kUserAgent = "Mozilla/5.0 (ComfyUI Patreon Node)";

/// The request for the tile at `index` of `grid_specs`; every record,
/// segments included, is listed and counts for "last_row" and "last_col".
/// `upscalemultiplier` is sent unchanged (an integer stays an integer).
/// Empty grid_specs or a non-number or non-finite upscalemultiplier:
/// ValueError. An index outside the list (negative included): IndexError.
Json prepare_neuro_generative_fusion(const std::vector<GridSpec>& grid_specs, int64_t index,
                                     const Json& upscalemultiplier = 1);

/// The entry `key` of the reply `info` when it is a non-empty object whose
/// "exists" is true-valued (true, a non-zero number, a non-empty text, array
/// or object); nullopt when the key is missing, its value is false-valued
/// (false, 0, null, "", [] or {}), or "exists" is missing or false-valued.
/// `info` not an object: ValueError. A true-valued entry that is not an
/// object: Error.
std::optional<Json> neighbour(const Json& info, const std::string& key);

/// `text` with every occurrence of `token` replaced by "***" (unchanged for
/// an empty token): for messages that may quote what a service sent back.
std::string without_token(std::string text, const std::string& token);

/// Limits of one exchange with the service.
struct ClientOptions {
  std::chrono::milliseconds connect_timeout{15000};  ///< for each connection
  std::chrono::milliseconds data_timeout{15000};     ///< longest wait for the next data once connected
  std::chrono::milliseconds total_timeout{30000};    ///< the whole exchange, redirects included
  int64_t max_reply_bytes = 8 * 1024 * 1024;         ///< larger reply bodies are refused
  int64_t max_redirects = 3;                         ///< http and https targets only
};

/// How one exchange with the service ended. Callers that must know whether a
/// tile was fused (and why not) read it; the reply alone cannot tell an empty
/// answer from a failure.
struct FusionOutcome {
  enum class Kind {
    NotAsked,      ///< no request was made (a segment tile)
    Replied,       ///< a reply object was read; it may name no neighbour
    FailedStatus,  ///< the service answered 400..599, see `http_status`
    Unreachable,   ///< no address or token, refused, reset, too many redirects
    TimedOut,      ///< nothing within the connect, data or total time limit
    BadReply,      ///< not JSON, not an object, too large, too deep or too wide
  };
  Kind kind = Kind::NotAsked;
  long http_status = 0;  ///< the reply's status when one came
  std::string reason;    ///< why it failed, the token masked; empty otherwise

  bool replied() const { return kind == Kind::Replied; }
  /// Two failures of one cause: the same kind and status (the texts may
  /// differ in times and ports).
  bool same_cause(const FusionOutcome& other) const {
    return kind == other.kind && http_status == other.http_status;
  }
};

/// A decoded reply (an empty object when the exchange failed) and how the exchange ended.
struct FusionReply {
  Json blend_info = Json::object();
  FusionOutcome outcome;
};

/// The exchange of api_nuero_generative_fusion_tiles, without printing:
/// the outcome says what happened. Bad `options`: ValueError.
FusionReply fetch_blend_info(const Json& payload, const NodeState& SELF, const ClientOptions& options = {});

/// POSTs `payload` as JSON to get_apiurl(0) + "blend_info.php" (plain
/// concatenation) with the headers "User-Agent" (kUserAgent) and
/// "Authorization" ("Bearer " + SELF.API.token), in that order, and returns
/// the decoded reply object.
///
/// Never throws for a failure of the exchange; it returns an empty object:
///   status 429                -> prints kCreditsExhaustedMessage
///   other status 400..599     -> prints nothing
///   anything else (no address, no token, refused, timed out, too many
///   redirects, a reply too large, not JSON, not an object, nested deeper
///   than 64 levels or with an object of more than 256 members)
///                             -> prints kFetchFailedMessage + the reason
/// Lines go through print_line(). The token never appears in a printed line.
/// The Authorization header is not sent to a host other than the first;
/// TLS certificates are verified; proxies from the environment are not used.
/// A non-positive time limit or a negative size or redirect count in
/// `options`: ValueError.
Json api_nuero_generative_fusion_tiles(const Json& payload, const NodeState& SELF,
                                       const ClientOptions& options = {});

}  // namespace quorv::service

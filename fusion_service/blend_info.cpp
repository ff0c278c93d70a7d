#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "fusion_service/fusion_service.h"
#include "image/grid_spec.h"

namespace quorv::fusion_service {
namespace {

// Requests are parsed into sorted maps: an ordered object would make every
// member lookup during parsing a linear search.
using Request = nlohmann::json;
using Reply = nlohmann::ordered_json;

// A request the service refuses with 400; the text says why.
struct Rejected : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

struct Direction {
  const char* name;
  int64_t row_step;
  int64_t col_step;
  bool with_crop_x;
  bool with_crop_y;
};

// Strips report only the width the fusion step reads; corners report both.
constexpr Direction kDirections[] = {
    {"top", -1, 0, false, true},          {"left", 0, -1, true, false},
    {"right", 0, 1, true, false},         {"bottom", 1, 0, false, true},
    {"topright", -1, 1, true, true},      {"toprightright", -1, 2, true, true},
    {"bottomright", 1, 1, true, true},    {"bottomrightright", 1, 2, true, true},
};

// Parser messages quote request bytes; only printable ASCII goes back.
Reply error_body(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) c = '?';
  return Reply{{"error", text}};
}

int64_t integer_member(const Request& object, const char* key, const std::string& where) {
  const auto it = object.find(key);
  if (it == object.end()) throw Rejected(where + " has no \"" + key + "\"");
  if (!it->is_number_integer())
    throw Rejected(where + " \"" + key + "\" must be an integer, got " + it->type_name());
  if (it->is_number_unsigned() && it->get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
    throw Rejected(where + " \"" + key + "\" is out of range");
  return it->get<int64_t>();
}

GridSpec grid_spec_record(const Request& record, const std::string& where) {
  if (!record.is_object()) throw Rejected(where + " must be an object, got " + record.type_name());
  GridSpec spec;
  spec.row = integer_member(record, "row", where);
  spec.col = integer_member(record, "col", where);
  spec.order = integer_member(record, "order", where);
  spec.x_start = integer_member(record, "x_start", where);
  spec.y_start = integer_member(record, "y_start", where);
  spec.width_inc = integer_member(record, "width_inc", where);
  spec.height_inc = integer_member(record, "height_inc", where);
  if (spec.width_inc < 0 || spec.height_inc < 0)
    throw Rejected(where + " must have a non-negative size, got " + std::to_string(spec.width_inc) + " x " +
                   std::to_string(spec.height_inc));
  int64_t far_edge;
  if (__builtin_add_overflow(spec.x_start, spec.width_inc, &far_edge) ||
      __builtin_add_overflow(spec.y_start, spec.height_inc, &far_edge))
    throw Rejected(where + " reaches beyond the 64-bit range");
  return spec;
}

struct BlendRequest {
  int64_t index = 0;
  std::vector<GridSpec> grid_specs;
};

BlendRequest blend_request(const std::string& body) {
  Request request;
  try {
    request = Request::parse(body);
  } catch (const Request::exception& e) {
    // Not only syntax: a number too large for a double is an error of its own kind.
    throw Rejected(std::string("the request is not JSON: ") + e.what());
  }
  if (!request.is_object()) throw Rejected(std::string("the request must be a JSON object, got ") + request.type_name());
  for (const char* key : {"row", "col", "x_start", "y_start", "width_inc", "height_inc", "last_row", "last_col"})
    integer_member(request, key, "the request");
  const auto multiplier = request.find("upscalemultiplier");
  if (multiplier == request.end() || !multiplier->is_number())
    throw Rejected("the request \"upscalemultiplier\" must be a number");
  const auto specs = request.find("grid_specs");
  if (specs == request.end() || !specs->is_array()) throw Rejected("the request \"grid_specs\" must be an array");

  BlendRequest parsed;
  parsed.index = integer_member(request, "index", "the request");
  parsed.grid_specs.reserve(specs->size());
  for (size_t i = 0; i < specs->size(); ++i)
    parsed.grid_specs.push_back(grid_spec_record((*specs)[i], "grid_specs[" + std::to_string(i) + "]"));
  if (parsed.index < 0 || static_cast<uint64_t>(parsed.index) >= parsed.grid_specs.size())
    throw Rejected("\"index\" " + std::to_string(parsed.index) + " lies outside grid_specs (" +
                   std::to_string(parsed.grid_specs.size()) + " records)");
  return parsed;
}

// Overlap of [a0, a1) and [b0, b1), 0 when they do not meet.
int64_t overlap(int64_t a0, int64_t a1, int64_t b0, int64_t b1) {
  const int64_t start = std::max(a0, b0), end = std::min(a1, b1);
  return start < end ? end - start : 0;  // start < end keeps the difference within one size
}

std::optional<size_t> regular_tile_at(const std::vector<GridSpec>& grid_specs, int64_t row, int64_t col) {
  for (size_t i = 0; i < grid_specs.size(); ++i)
    if (!grid_specs[i].is_segment() && grid_specs[i].row == row && grid_specs[i].col == col) return i;
  return std::nullopt;
}

Reply neighbours(const BlendRequest& request) {
  Reply reply = Reply::object();
  const GridSpec& tile = request.grid_specs[static_cast<size_t>(request.index)];
  if (tile.is_segment()) return reply;
  for (const Direction& direction : kDirections) {
    int64_t row, col;
    if (__builtin_add_overflow(tile.row, direction.row_step, &row) ||
        __builtin_add_overflow(tile.col, direction.col_step, &col))
      continue;
    const std::optional<size_t> found = regular_tile_at(request.grid_specs, row, col);
    if (!found) continue;
    const GridSpec& other = request.grid_specs[*found];
    const int64_t crop_x = overlap(tile.x_start, tile.x_start + tile.width_inc, other.x_start,
                                   other.x_start + other.width_inc);
    const int64_t crop_y = overlap(tile.y_start, tile.y_start + tile.height_inc, other.y_start,
                                   other.y_start + other.height_inc);
    if (crop_x == 0 || crop_y == 0) continue;
    Reply entry = Reply::object();
    entry["exists"] = true;
    entry["index"] = *found;
    entry["crop_x"] = direction.with_crop_x ? crop_x : 0;
    entry["crop_y"] = direction.with_crop_y ? crop_y : 0;
    reply[direction.name] = std::move(entry);
  }
  return reply;
}

// Compares every byte whatever the first mismatch, so timing tells nothing;
// `expected` is never empty.
bool same_text(const std::string& given, const std::string& expected) {
  unsigned char difference = given.size() == expected.size() ? 0 : 1;
  for (size_t i = 0; i < given.size(); ++i)
    difference |= static_cast<unsigned char>(given[i] ^ expected[i % expected.size()]);
  return difference == 0;
}

}  // namespace

Answer answer_blend_info(const std::string& body, const std::string& authorization,
                         const std::optional<std::string>& token) {
  try {
    if (token && !same_text(authorization, "Bearer " + *token))
      return {401, error_body("a valid \"Authorization: Bearer <token>\" header is required")};
    if (body.size() > kMaxRequestBytes)
      return {413, error_body("the request is larger than " + std::to_string(kMaxRequestBytes) + " bytes")};
    return {200, neighbours(blend_request(body))};
  } catch (const Rejected& e) {
    return {400, error_body(e.what())};
  } catch (const std::exception& e) {
    return {500, error_body(std::string("the service failed: ") + e.what())};
  }
}

}  // namespace quorv::fusion_service

#include <algorithm>
#include <cmath>

#include "host/errors.h"
#include "image/service/service.h"

namespace quorv::service {
namespace {

// A value for a message: its kind and a short excerpt, never a huge dump.
std::string describe(const Json& value) {
  std::string text = value.dump(-1, ' ', false, Json::error_handler_t::replace);
  if (text.size() > 40) text = text.substr(0, 40) + "...";
  return std::string(value.type_name()) + " " + text;
}

// Truth as the host's scripting language judges a decoded JSON value.
bool is_true_valued(const Json& value) {
  switch (value.type()) {
    case Json::value_t::boolean:
      return value.get<bool>();
    case Json::value_t::number_integer:
      return value.get<int64_t>() != 0;
    case Json::value_t::number_unsigned:
      return value.get<uint64_t>() != 0;
    case Json::value_t::number_float:
      return value.get<double>() != 0.0;
    case Json::value_t::string:
      return !value.get_ref<const std::string&>().empty();
    case Json::value_t::array:
    case Json::value_t::object:
      return !value.empty();
    case Json::value_t::binary:
      return !value.get_binary().empty();
    case Json::value_t::null:
    case Json::value_t::discarded:
      return false;
  }
  return false;
}

Json grid_spec_object(const GridSpec& spec) {
  Json object = Json::object();
  object["row"] = spec.row;
  object["col"] = spec.col;
  object["order"] = spec.order;
  object["x_start"] = spec.x_start;
  object["y_start"] = spec.y_start;
  object["width_inc"] = spec.width_inc;
  object["height_inc"] = spec.height_inc;
  return object;
}

Json fusion_request(const std::vector<GridSpec>& grid_specs, int64_t index, const Json& upscalemultiplier) {
  const GridSpec& tile = grid_specs.at(static_cast<size_t>(index));  // checked by the caller
  int64_t last_row = grid_specs.front().row, last_col = grid_specs.front().col;
  Json specs = Json::array();
  for (const GridSpec& spec : grid_specs) {
    last_row = std::max(last_row, spec.row);
    last_col = std::max(last_col, spec.col);
    specs.push_back(grid_spec_object(spec));
  }
  Json payload = Json::object();
  payload["index"] = index;
  payload["row"] = tile.row;
  payload["col"] = tile.col;
  payload["x_start"] = tile.x_start;
  payload["y_start"] = tile.y_start;
  payload["width_inc"] = tile.width_inc;
  payload["height_inc"] = tile.height_inc;
  payload["upscalemultiplier"] = upscalemultiplier;
  payload["grid_specs"] = std::move(specs);
  payload["last_row"] = last_row;
  payload["last_col"] = last_col;
  return payload;
}

}  // namespace

Json prepare_neuro_generative_fusion(const std::vector<GridSpec>& grid_specs, int64_t index,
                                     const Json& upscalemultiplier) {
  if (grid_specs.empty())
    throw ValueError("prepare_neuro_generative_fusion: grid_specs must hold at least one GridSpec, got an empty list");
  if (index < 0 || static_cast<uint64_t>(index) >= grid_specs.size())
    throw IndexError("prepare_neuro_generative_fusion: index must lie in 0.." + std::to_string(grid_specs.size() - 1) +
                     ", got " + std::to_string(index));
  if (!upscalemultiplier.is_number())
    throw ValueError("prepare_neuro_generative_fusion: upscalemultiplier must be a number, got " +
                     describe(upscalemultiplier));
  if (upscalemultiplier.is_number_float() && !std::isfinite(upscalemultiplier.get<double>()))
    throw ValueError("prepare_neuro_generative_fusion: upscalemultiplier must be finite, got " +
                     std::to_string(upscalemultiplier.get<double>()));
  return fusion_request(grid_specs, index, upscalemultiplier);
}

std::optional<Json> neighbour(const Json& info, const std::string& key) {
  if (!info.is_object()) throw ValueError("neighbour: info must be a JSON object, got " + describe(info));
  const auto entry = info.find(key);
  if (entry == info.end() || !is_true_valued(*entry)) return std::nullopt;
  if (!entry->is_object())
    throw Error("neighbour: entry \"" + key + "\" must be a JSON object, got " + describe(*entry));
  const auto exists = entry->find("exists");
  if (exists == entry->end() || !is_true_valued(*exists)) return std::nullopt;
  return *entry;
}

}  // namespace quorv::service

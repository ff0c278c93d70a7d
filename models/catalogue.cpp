// The model catalogue: reading models/catalogue.json and finding model files.
#include "models/catalogue.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "host/errors.h"

namespace quorv::models {
namespace {

namespace fs = std::filesystem;

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

// A catalogue beside an installed tool wins over the one of the source tree.
std::string find_catalogue() {
  if (!env("QUORV_CATALOGUE").empty()) return env("QUORV_CATALOGUE");
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const fs::path installed = exe.parent_path().parent_path() / "share" / "quorv" / "models" / "catalogue.json";
    if (fs::is_regular_file(installed, ec)) return installed.string();
  }
  return std::string(QUORV_MODELS_SOURCE_DIR) + "/catalogue.json";
}

template <typename T>
T field(const nlohmann::json& model, const char* key, const std::string& where) {
  if (!model.contains(key)) throw ValueError(where + ": a model has no \"" + key + "\"");
  try {
    return model.at(key).get<T>();
  } catch (const nlohmann::json::exception&) {
    throw ValueError(where + ": \"" + key + "\" of a model has the wrong type");
  }
}

CatalogueEntry parse_entry(const nlohmann::json& model, const std::string& where) {
  if (!model.is_object()) throw ValueError(where + ": a model is not a JSON object");
  CatalogueEntry entry;
  entry.name = field<std::string>(model, "name", where);
  const std::string at = where + " (model \"" + entry.name + "\")";
  entry.package = field<std::string>(model, "package", at);
  entry.version = field<std::string>(model, "version", at);
  entry.tarball_sha256 = field<std::string>(model, "tarball_sha256", at);
  entry.architecture = field<std::string>(model, "architecture", at);
  entry.scale = field<int64_t>(model, "scale", at);
  entry.kind = field<std::string>(model, "kind", at);
  entry.licence = field<std::string>(model, "licence", at);
  entry.description = field<std::string>(model, "description", at);
  entry.receptive_field = model.contains("receptive_field") ? field<int64_t>(model, "receptive_field", at) : 0;
  if (entry.name.empty() || entry.name.find('/') != std::string::npos || entry.name[0] == '.')
    throw ValueError(where + ": model name \"" + entry.name + "\" is not a plain file name");
  if (entry.scale < 1 || entry.scale > 16)
    throw ValueError(at + ": scale must be 1 to 16, got " + std::to_string(entry.scale));
  if (entry.kind != "enlarger" && entry.kind != "restorer")
    throw ValueError(at + ": kind must be \"enlarger\" or \"restorer\", got \"" + entry.kind + "\"");
  if ((entry.kind == "restorer") != (entry.scale == 1))
    throw ValueError(at + ": a " + entry.kind + " cannot have scale " + std::to_string(entry.scale));
  if (entry.receptive_field < 0)
    throw ValueError(at + ": receptive_field must not be negative, got " + std::to_string(entry.receptive_field));
  return entry;
}

std::string names_of(const std::vector<CatalogueEntry>& entries) {
  std::string names;
  for (const auto& entry : entries) names += (names.empty() ? "" : ", ") + entry.name;
  return names;
}

}  // namespace

std::string models_dir(const std::string& override_dir) {
  if (!override_dir.empty()) return override_dir;
  if (!env("QUORV_MODELS").empty()) return env("QUORV_MODELS");
  if (!env("XDG_CACHE_HOME").empty()) return env("XDG_CACHE_HOME") + "/quorv/models";
  if (!env("HOME").empty()) return env("HOME") + "/.cache/quorv/models";
  throw ValueError("no models folder: set QUORV_MODELS, XDG_CACHE_HOME or HOME, or pass --models-dir");
}

std::string catalogue_path() { return find_catalogue(); }

std::vector<CatalogueEntry> read_catalogue(const std::string& path) {
  std::ifstream file(path);
  if (!file) throw ValueError("cannot read the model catalogue " + path);
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(file);
  } catch (const nlohmann::json::exception& e) {
    throw ValueError("the model catalogue " + path + " is not valid JSON: " + e.what());
  }
  if (!document.is_object() || !document.contains("models") || !document["models"].is_array())
    throw ValueError("the model catalogue " + path + " has no \"models\" list");
  std::vector<CatalogueEntry> entries;
  for (const auto& model : document["models"]) {
    CatalogueEntry entry = parse_entry(model, path);
    for (const auto& seen : entries)
      if (seen.name == entry.name) throw ValueError(path + ": model \"" + entry.name + "\" is listed twice");
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::vector<CatalogueEntry> catalogue() { return read_catalogue(find_catalogue()); }

std::optional<CatalogueEntry> find_model(const std::string& name) {
  for (auto& entry : catalogue())
    if (entry.name == name) return entry;
  return std::nullopt;
}

std::string model_path(const std::string& name, const std::string& override_dir) {
  return models_dir(override_dir) + "/" + name + ".pt";
}

ResolvedModel resolve_model(const std::string& name_or_file, const std::string& override_dir) {
  if (name_or_file.empty()) throw ValueError("model name is empty; known models: " + names_of(catalogue()));
  std::error_code ec;
  if (fs::is_regular_file(name_or_file, ec)) return {name_or_file, std::nullopt};
  const std::vector<CatalogueEntry> entries = catalogue();
  for (const auto& entry : entries) {
    if (entry.name != name_or_file) continue;
    const std::string path = model_path(entry.name, override_dir);
    if (!fs::is_regular_file(path, ec))
      throw ValueError("model \"" + entry.name + "\" is not installed in " + models_dir(override_dir) +
                       "; run: quorv models fetch " + entry.name);
    return {path, entry};
  }
  if (name_or_file.find('/') != std::string::npos || fs::path(name_or_file).extension() == ".pt")
    throw ValueError("model file " + name_or_file + " does not exist");
  throw ValueError("unknown model \"" + name_or_file + "\"; known models: " + names_of(entries));
}

}  // namespace quorv::models

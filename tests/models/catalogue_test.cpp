// The model catalogue: the committed catalogue, the models folder and name
// resolution, against temporary folders and catalogue files.
#include "models/catalogue.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

#include "host/errors.h"

namespace fs = std::filesystem;
using quorv::ValueError;
namespace models = quorv::models;

namespace {

// Sets (or clears, for nullptr) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnv() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "quorv_catalogue_XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }
  std::string write(const std::string& name, const std::string& text) const {
    std::ofstream(path_ / name) << text;
    return (path_ / name).string();
  }

 private:
  fs::path path_;
};

std::string entry(const std::string& name, const std::string& kind, int scale) {
  return R"({"name": ")" + name + R"(", "package": "p", "version": "1", "tarball_sha256": "00",
    "architecture": "vgg_7", "scale": )" + std::to_string(scale) + R"(, "kind": ")" + kind + R"(",
    "licence": "MIT", "description": "d", "receptive_field": 7})";
}

void expect_value_error(const std::function<void()>& call, const std::string& part) {
  try {
    call();
    ADD_FAILURE() << "no ValueError; expected one mentioning " << part;
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
  }
}

}  // namespace

TEST(Models_Catalogue, CommittedCatalogueIsComplete) {
  ScopedEnv no_override("QUORV_CATALOGUE", nullptr);
  const auto entries = models::catalogue();
  ASSERT_GE(entries.size(), 10u);
  for (const auto& e : entries) {
    SCOPED_TRACE(e.name);
    EXPECT_EQ(e.tarball_sha256.size(), 64u);
    EXPECT_GT(e.receptive_field, 0);
    EXPECT_FALSE(e.description.empty());
    EXPECT_FALSE(e.licence.empty());
  }
  const auto anime = models::find_model("realesr-animevideov3-x4");
  ASSERT_TRUE(anime.has_value());
  EXPECT_EQ(anime->scale, 4);
  EXPECT_EQ(anime->kind, "enlarger");
  EXPECT_EQ(anime->architecture, "SRVGGNetCompact");
  const auto noise = models::find_model("waifu2x-noise2");
  ASSERT_TRUE(noise.has_value());
  EXPECT_EQ(noise->scale, 1);
  EXPECT_EQ(noise->kind, "restorer");
  EXPECT_FALSE(models::find_model("no-such-model").has_value());
}

TEST(Models_Catalogue, ModelsDirFollowsOverrideThenEnvironment) {
  ScopedEnv models_env("QUORV_MODELS", "/m");
  ScopedEnv cache("XDG_CACHE_HOME", "/c");
  ScopedEnv home("HOME", "/h");
  EXPECT_EQ(models::models_dir("/o"), "/o");
  EXPECT_EQ(models::models_dir(), "/m");
  {
    ScopedEnv unset("QUORV_MODELS", nullptr);
    EXPECT_EQ(models::models_dir(), "/c/quorv/models");
    ScopedEnv unset_cache("XDG_CACHE_HOME", "");
    EXPECT_EQ(models::models_dir(), "/h/.cache/quorv/models");
    EXPECT_EQ(models::model_path("a", ""), "/h/.cache/quorv/models/a.pt");
  }
}

TEST(Models_Catalogue, ResolvesFilesInstalledNamesAndRejectsTheRest) {
  TempDir dir;
  ScopedEnv catalogue_env("QUORV_CATALOGUE",
                          dir.write("c.json", "{\"models\": [" + entry("tiny-x2", "enlarger", 2) + ", " +
                                                  entry("tiny-clean", "restorer", 1) + "]}")
                              .c_str());
  const std::string models_dir = (dir.path() / "installed").string();
  fs::create_directories(models_dir);
  std::ofstream(models_dir + "/tiny-x2.pt") << "x";

  const auto installed = models::resolve_model("tiny-x2", models_dir);
  EXPECT_EQ(installed.path, models_dir + "/tiny-x2.pt");
  ASSERT_TRUE(installed.entry.has_value());
  EXPECT_EQ(installed.entry->scale, 2);

  const std::string file = dir.write("own.pt", "x");
  const auto own = models::resolve_model(file, models_dir);
  EXPECT_EQ(own.path, file);
  EXPECT_FALSE(own.entry.has_value());

  expect_value_error([&] { models::resolve_model("tiny-clean", models_dir); }, "quorv models fetch tiny-clean");
  expect_value_error([&] { models::resolve_model("nope", models_dir); }, "tiny-x2, tiny-clean");
  expect_value_error([&] { models::resolve_model("missing/file.pt", models_dir); }, "does not exist");
}

TEST(Models_Catalogue, MalformedCataloguesNameTheFileAndTheFault) {
  TempDir dir;
  const std::string missing = (dir.path() / "none.json").string();
  expect_value_error([&] { models::read_catalogue(missing); }, missing);
  const std::string broken = dir.write("broken.json", "{\"models\": [");
  expect_value_error([&] { models::read_catalogue(broken); }, "not valid JSON");
  expect_value_error([&] { models::read_catalogue(dir.write("a.json", "[]")); }, "no \"models\" list");
  expect_value_error([&] { models::read_catalogue(dir.write("b.json", R"({"models": [{"name": "x"}]})")); },
                     "no \"package\"");
  expect_value_error(
      [&] { models::read_catalogue(dir.write("c.json", "{\"models\": [" + entry("x", "restorer", 2) + "]}")); },
      "cannot have scale 2");
  expect_value_error(
      [&] { models::read_catalogue(dir.write("d.json", "{\"models\": [" + entry("../x", "restorer", 1) + "]}")); },
      "not a plain file name");
  expect_value_error([&] {
    models::read_catalogue(
        dir.write("e.json", "{\"models\": [" + entry("x", "restorer", 1) + "," + entry("x", "restorer", 1) + "]}"));
  }, "listed twice");
  ScopedEnv catalogue_env("QUORV_CATALOGUE", broken.c_str());
  expect_value_error([&] { models::catalogue(); }, broken);
}

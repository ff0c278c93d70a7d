// Learned models in the tool: --model, --upscale-model, --processor model:NAME
// and torchscript:FILE, run through the built program on real pictures.
#include <gtest/gtest.h>

#include "tests/tools/quorv/cli_support.h"

namespace quorv::test {
namespace {

namespace fs = std::filesystem;

// A models folder holding test models under catalogue names.
std::string install(const TempFolder& dir, const std::vector<std::pair<std::string, std::string>>& names) {
  const std::string models = dir / "models";
  fs::create_directories(models);
  for (const auto& [file, name] : names)
    fs::copy_file(test_model_folder() + "/" + file, models + "/" + name + ".pt", fs::copy_options::overwrite_existing);
  return models;
}

std::vector<std::string> upscale(const TempFolder& dir, const std::string& output, std::vector<std::string> options) {
  std::vector<std::string> args{"upscale", dir / "in.png", "-o", dir / output, "--tile-size", "128", "--fusion", "none"};
  args.insert(args.end(), options.begin(), options.end());
  return args;
}

at::Tensor read(const std::string& path) { return io::read_picture(path).rgb; }

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(Quorv_Models, ModelByNameRunsTiledAndMatchesTheWholePicturePass) {
  TempFolder dir;
  write_coffee_crop(dir / "in.png", 200, 100, 90, 70);
  const std::string models = install(dir, {{"conv_x4.pt", "realesr-animevideov3-x4"}, {"restorer.pt", "waifu2x-noise1"}});
  const std::string file = test_model_folder() + "/conv_x4.pt";

  // Tiles of 64 input pixels (the catalogue says an overlap of 18) against one whole pass, without -q: progress lines.
  const ProgramRun tiled = run_quorv(upscale(dir, "tiled.png", {"--scale", "4", "--model", "realesr-animevideov3-x4",
                                                                "--models-dir", models, "--model-tile", "64"}),
                                     dir);
  ASSERT_EQ(tiled.status, 0) << tiled.err;
  EXPECT_TRUE(contains(tiled.err, "model   ")) << tiled.err;
  const ProgramRun whole =
      run_quorv(upscale(dir, "whole.png", {"--scale", "4", "--upscale-model", file, "--model-tile", "4096", "-q"}), dir);
  ASSERT_EQ(whole.status, 0) << whole.err;
  const at::Tensor a = read(dir / "tiled.png"), b = read(dir / "whole.png");
  ASSERT_EQ(a.sizes(), (std::vector<int64_t>{1, 280, 360, 3}));
  EXPECT_LE(max_abs_diff(a, b), 1.0 / 255 + 1e-6);  // at most one 8-bit level apart

  // A scale that is not the model's: x4, then lanczos down to exactly x3 (210 x 270).
  ASSERT_EQ(run_quorv(upscale(dir, "x3.png", {"--scale", "3", "--model", "realesr-animevideov3-x4", "--models-dir",
                                              models, "-q"}),
                      dir)
                .status,
            0);
  EXPECT_EQ(read(dir / "x3.png").sizes(), (std::vector<int64_t>{1, 210, 270, 3}));

  // A restorer is no enlarger, and the other way round.
  const ProgramRun restorer =
      run_quorv(upscale(dir, "r.png", {"--model", "waifu2x-noise1", "--models-dir", models, "-q"}), dir);
  EXPECT_EQ(restorer.status, 2);
  EXPECT_TRUE(contains(restorer.err, "--model waifu2x-noise1 is a same-size restorer")) << restorer.err;
  const ProgramRun enlarger = run_quorv(
      upscale(dir, "e.png", {"--processor", "model:realesr-animevideov3-x4", "--models-dir", models, "-q"}), dir);
  EXPECT_EQ(enlarger.status, 2);
  EXPECT_TRUE(contains(enlarger.err, "needs a same-size restorer")) << enlarger.err;
  // Names the catalogue does not know, or knows but that are not installed.
  const ProgramRun unknown = run_quorv(upscale(dir, "u.png", {"--model", "no-such-model", "-q"}), dir);
  EXPECT_EQ(unknown.status, 2);
  EXPECT_TRUE(contains(unknown.err, "unknown model \"no-such-model\"")) << unknown.err;
  const ProgramRun missing =
      run_quorv(upscale(dir, "m.png", {"--model", "esrgan-slim-x2", "--models-dir", models, "-q"}), dir);
  EXPECT_EQ(missing.status, 2);
  EXPECT_TRUE(contains(missing.err, "quorv models fetch esrgan-slim-x2")) << missing.err;
  for (const char* name : {"r.png", "e.png", "u.png", "m.png"}) EXPECT_FALSE(fs::exists(dir / name)) << name;
}

TEST(Quorv_Models, RestorerProcessorWorksThroughTheInpaintMask) {
  TempFolder dir;
  write_coffee_crop(dir / "in.png");
  const std::string models = install(dir, {{"restorer.pt", "waifu2x-noise2"}});
  const ProgramRun named = run_quorv(
      upscale(dir, "named.png", {"--processor", "model:waifu2x-noise2", "--models-dir", models, "-q"}), dir);
  ASSERT_EQ(named.status, 0) << named.err;
  // The same model as a file, cut into pieces of 48 inside each tile: the same picture.
  const ProgramRun file = run_quorv(
      upscale(dir, "file.png",
              {"--processor", "torchscript:" + test_model_folder() + "/restorer.pt", "--model-tile", "48", "-q"}),
      dir);
  ASSERT_EQ(file.status, 0) << file.err;
  ASSERT_EQ(run_quorv(upscale(dir, "plain.png", {"-q"}), dir).status, 0);
  const at::Tensor restored = read(dir / "named.png"), plain = read(dir / "plain.png");
  EXPECT_LE(max_abs_diff(restored, read(dir / "file.png")), 1.0 / 255 + 1e-6);
  EXPECT_GT(max_abs_diff(restored, plain), 0.02);
}

TEST(Quorv_Models, BrokenModelsStopTheRunNamingTheModelAndTheTile) {
  TempFolder dir;
  // A white patch: the NaN model's trigger.
  at::Tensor input = sample_picture("coffee.png").narrow(1, 140, 60).narrow(2, 220, 80).contiguous();
  input.narrow(1, 10, 4).narrow(2, 10, 4).fill_(1.0f);
  io::write_picture(dir / "in.png", input);
  const std::string models = test_model_folder();
  struct Case {
    std::string option, file, message;
  };
  const std::vector<Case> cases{
      {"--upscale-model", "nan.pt", "returned NaN or infinity in 192 values of [1, 3, 120, 160]"},
      {"--upscale-model", "one_channel.pt", "returned 1 channel, expected 3"},
      {"--upscale-model", "odd_size.pt", "returned [1, 3, 121, 161], not a whole multiple"},
      {"--upscale-model", "integers.pt", "returned Byte values, expected float"},
      {"--upscale-model", "pair.pt", "returned a Tuple, expected a tensor"},
      {"--upscale-model", "state_dict.pt", "not a TorchScript model (a state_dict?)"},
      {"--upscale-model", "not_a_model.pt", "not a TorchScript model (a text file)"},
      {"--processor", "infinite.pt", "tile 0 (row 0, col 0): upscale model 'infinite.pt' returned NaN or infinity"},
  };
  for (const Case& c : cases) {
    const std::string value = c.option == "--processor" ? "torchscript:" + models + "/" + c.file : models + "/" + c.file;
    const ProgramRun run = run_quorv(upscale(dir, "out.png", {c.option, value, "-q"}), dir);
    EXPECT_EQ(run.status, 2) << c.file << ": " << run.err;
    EXPECT_TRUE(contains(run.err, c.message)) << run.err;
    EXPECT_TRUE(contains(run.err, "'" + c.file + "'")) << run.err;
    if (c.file.find("not_a_model") == std::string::npos && c.file.find("state_dict") == std::string::npos) {
      EXPECT_TRUE(contains(run.err, "(tile 1 of ")) << run.err;
    }
    EXPECT_FALSE(contains(run.err, "PytorchStreamReader")) << run.err;
    EXPECT_FALSE(fs::exists(dir / "out.png")) << c.file;
  }
}

}  // namespace
}  // namespace quorv::test

#include "host/nodes/upscale_model.h"

#include <ATen/ATen.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "host/errors.h"
#include "tests/support/test_support.h"

namespace quorv::host {
namespace {

class Host_UpscaleModel : public ::testing::Test {
 protected:
  void SetUp() override { UpscaleModelLoader::set_models_folder(test::test_model_folder()); }
  void TearDown() override { UpscaleModelLoader::set_models_folder("models"); }
};

TEST_F(Host_UpscaleModel, LoadsByNameAndEnlarges) {
  const UpscaleModel model = std::get<0>(UpscaleModelLoader::load_model("double_nearest.pt"));
  const at::Tensor img = test::random_picture(1, 5, 7, 3);
  const at::Tensor out = std::get<0>(ImageUpscaleWithModel::upscale(model, img));
  EXPECT_EQ(out.sizes(), (std::vector<int64_t>{1, 10, 14, 3}));
  EXPECT_TRUE(test::same_values(out.slice(1, 0, 10, 2).slice(2, 0, 14, 2), img));
  // Output outside 0..1 is clamped.
  const UpscaleModel brighten = std::get<0>(UpscaleModelLoader::load_model("brighten.pt"));
  const at::Tensor bright = std::get<0>(ImageUpscaleWithModel::upscale(brighten, at::full({1, 2, 2, 3}, 0.9f)));
  EXPECT_TRUE(test::same_values(bright, at::ones({1, 2, 2, 3})));
}

TEST_F(Host_UpscaleModel, RejectsNamesOutsideTheFolderAndBrokenModels) {
  EXPECT_THROW_WITH(UpscaleModelLoader::load_model("../CTestTestfile.cmake"), ValueError, "outside");
  EXPECT_THROW_WITH(UpscaleModelLoader::load_model("/etc/passwd"), ValueError, "'/etc/passwd'");
  EXPECT_THROW_WITH(UpscaleModelLoader::load_model("missing.pt"), ValueError, "not found");
  EXPECT_THROW_WITH(UpscaleModelLoader::load_model("not_a_model.pt"), ValueError,
                    "'not_a_model.pt' could not be loaded: not a TorchScript model (a text file)");
  EXPECT_THROW_WITH(UpscaleModelLoader::load_model("state_dict.pt"), ValueError, "not a TorchScript model (a state_dict?)");
  EXPECT_THROW_WITH(UpscaleModelLoader::load_file(test::test_model_folder() + "/missing.pt"), ValueError, "not found");
  EXPECT_THROW_WITH(UpscaleModelLoader::load_file(test::test_model_folder() + "/conv_x2.pt", {-1, 0}), ValueError,
                    "negative");
}

TEST_F(Host_UpscaleModel, MeasuresScaleAndReceptiveFieldOnce) {
  // Each 3x3 convolution lets a result pixel see one more input pixel on each side.
  const auto facts = [](const std::string& file) {
    return UpscaleModelLoader::load_file(test::test_model_folder() + "/" + file).facts();
  };
  EXPECT_EQ(facts("conv_x2.pt").scale, 2);
  EXPECT_EQ(facts("conv_x2.pt").receptive_field, 3);
  EXPECT_EQ(facts("conv_x4.pt").scale, 4);
  EXPECT_EQ(facts("conv_x4.pt").receptive_field, 5);
  EXPECT_EQ(facts("restorer.pt").scale, 1);
  EXPECT_EQ(facts("restorer.pt").receptive_field, 4);
  EXPECT_EQ(facts("double_nearest.pt").receptive_field, 0);
  // A model the probe cannot judge gets the fallback overlap; its own tiles report what is wrong.
  EXPECT_EQ(facts("infinite.pt").scale, 0);
  EXPECT_EQ(facts("infinite.pt").receptive_field, 32);
  // What the catalogue says is kept; only the unknown part is measured.
  const UpscaleModel given = UpscaleModelLoader::load_file(test::test_model_folder() + "/conv_x4.pt", {4, 9});
  EXPECT_EQ(given.facts().receptive_field, 9);
  const UpscaleModel half = UpscaleModelLoader::load_file(test::test_model_folder() + "/conv_x4.pt", {4, 0});
  EXPECT_EQ(half.facts().receptive_field, 5);
}

TEST_F(Host_UpscaleModel, FunctionModelsRunInTilesAndTheirFailuresNameThePiece) {
  // A 3x3 box blur, then nearest x2: a result pixel sees one input pixel on each side.
  int calls = 0;
  const auto blur_x2 = [&calls](const at::Tensor& piece) {
    ++calls;
    const at::Tensor blurred = at::avg_pool2d(piece, 3, 1, 1, false, false);
    return at::upsample_nearest2d(blurred, {piece.size(2) * 2, piece.size(3) * 2});
  };
  const UpscaleModel model = UpscaleModelLoader::from_function("blur x2", blur_x2);
  EXPECT_EQ(model.facts().scale, 2);
  EXPECT_EQ(model.facts().receptive_field, 1);
  const at::Tensor img = test::random_picture(1, 37, 53, 3);
  UpscaleOptions options;
  options.tile_size = 20;
  calls = 0;
  const at::Tensor tiled = std::get<0>(ImageUpscaleWithModel::upscale(model, img, options));
  EXPECT_GT(calls, 4);
  const at::Tensor whole = blur_x2(img.permute({0, 3, 1, 2})).clamp(0, 1).permute({0, 2, 3, 1});
  EXPECT_TRUE(at::allclose(tiled, whole, 0, 1e-6));

  const UpscaleModel failing = UpscaleModelLoader::from_function(
      "failing", [](const at::Tensor&) -> at::Tensor { throw std::runtime_error("no weights"); }, {2, 1});
  EXPECT_THROW_WITH(ImageUpscaleWithModel::upscale(failing, img), ValueError,
                    "upscale model 'failing' failed: no weights (tile 1 of");
  EXPECT_THROW_WITH(UpscaleModelLoader::from_function("none", nullptr), ValueError, "no forward function");
}

}  // namespace
}  // namespace quorv::host

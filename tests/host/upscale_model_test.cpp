#include "host/nodes/upscale_model.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace quorv::host

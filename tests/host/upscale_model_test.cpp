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
  EXPECT_THROW_WITH(UpscaleModelLoader::load_model("not_a_model.pt"), ValueError, "could not be loaded");
  const UpscaleModel flat = std::get<0>(UpscaleModelLoader::load_model("flatten.pt"));
  EXPECT_THROW_WITH(ImageUpscaleWithModel::upscale(flat, test::random_picture(1, 4, 4, 3)), ValueError, "flatten.pt");
}

}  // namespace
}  // namespace quorv::host

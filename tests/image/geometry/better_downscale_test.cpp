#include <gtest/gtest.h>

#include "host/errors.h"
#include "host/nodes/image_scale.h"
#include "host/nodes/upscale_model.h"
#include "image/quorv_image.h"
#include "tests/support/test_support.h"

namespace quorv {
namespace {

at::Tensor host_scale(const at::Tensor& img, const std::string& method, int64_t w, int64_t h,
                      const std::string& crop) {
  return std::get<0>(host::ImageScale::upscale(img, method, w, h, crop));
}

class Geometry_BetterDownscale : public ::testing::Test {
 protected:
  void SetUp() override { host::UpscaleModelLoader::set_models_folder(test::test_model_folder()); }
  void TearDown() override { host::UpscaleModelLoader::set_models_folder("models"); }
  const Quorv_Image quorv{};
};

TEST_F(Geometry_BetterDownscale, DefaultMethodIsLanczosWithoutCrop) {
  const at::Tensor img = test::random_picture(1, 20, 30, 3);
  const at::Tensor before = img.clone();
  const at::Tensor out = quorv.better_downscale(img, 10, 12);
  EXPECT_EQ(out.sizes(), (std::vector<int64_t>{1, 12, 10, 3}));
  EXPECT_TRUE(test::same_values(out, host_scale(img, "lanczos", 10, 12, "disabled")));
  // The aspect ratios differ, so a centre crop would have shown.
  EXPECT_FALSE(test::same_values(out, host_scale(img, "lanczos", 10, 12, "center")));
  EXPECT_TRUE(test::same_values(quorv.better_downscale(img, 10, 12, "area"),
                                host_scale(img, "area", 10, 12, "disabled")));
  EXPECT_TRUE(test::same_values(img, before));
}

TEST_F(Geometry_BetterDownscale, WithModelEnlargesThroughTheModelThenResizes) {
  const at::Tensor img = test::random_picture(1, 5, 7, 3);
  const at::Tensor before = img.clone();
  // double_nearest.pt repeats every pixel twice across and down.
  const at::Tensor doubled = img.repeat_interleave(2, 1).repeat_interleave(2, 2);
  for (auto [w, h] : std::vector<std::pair<int64_t, int64_t>>{{14, 10}, {9, 6}}) {
    const at::Tensor out = quorv.better_downscale(img, w, h, "with model", std::string("double_nearest.pt"));
    EXPECT_TRUE(test::same_values(out, host_scale(doubled, "lanczos", w, h, "disabled"))) << w << "x" << h;
  }
  EXPECT_FALSE(test::same_values(quorv.better_downscale(img, 9, 6, "with model", std::string("double_nearest.pt")),
                                 quorv.better_downscale(img, 9, 6)));
  EXPECT_TRUE(test::same_values(img, before));
  EXPECT_THROW_WITH(quorv.better_downscale(img, 9, 6, "with model", std::string("missing.pt")), ValueError,
                    "not found");
  EXPECT_THROW_WITH(quorv.better_downscale(img, 9, 6, "with model"), ValueError, "upscale_model_name");
}

TEST_F(Geometry_BetterDownscale, MethodComparisonIsCaseSensitive) {
  // With no usable models folder, reaching the loader would fail with "not found" instead.
  host::UpscaleModelLoader::set_models_folder(test::test_model_folder() + "/no_such_folder");
  const at::Tensor img = test::random_picture(1, 8, 8, 3);
  EXPECT_THROW_WITH(quorv.better_downscale(img, 4, 4, "With model", std::string("double_nearest.pt")), ValueError,
                    "'With model'");
  EXPECT_THROW_WITH(quorv.better_downscale(img, -1, 4), ValueError, "width");
  EXPECT_THROW_WITH(quorv.better_downscale(img.squeeze(0), 4, 4), ValueError, "better_downscale image");
}

}  // namespace
}  // namespace quorv

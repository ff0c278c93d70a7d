#include <ATen/ATen.h>
#include <gtest/gtest.h>

#include "host/errors.h"
#include "host/nodes/upscale_model.h"
#include "tests/support/test_support.h"

namespace quorv::host {
namespace {

// Tiles and the whole picture sum the same products in a different order.
constexpr double kTiledTolerance = 1e-4;

UpscaleModel model(const std::string& file, ModelFacts facts = {}) {
  return UpscaleModelLoader::load_file(test::test_model_folder() + "/" + file, facts);
}

at::Tensor upscaled(const UpscaleModel& m, const at::Tensor& picture, UpscaleOptions options = {}) {
  return std::get<0>(ImageUpscaleWithModel::upscale(m, picture, options));
}

UpscaleOptions tiles_of(int64_t size, int64_t overlap = -1) {
  UpscaleOptions o;
  o.tile_size = size;
  o.overlap = overlap;
  return o;
}

// An odd-sized piece of a real photograph.
at::Tensor photo_crop() { return test::sample_picture("astronaut.png").narrow(1, 40, 157).narrow(2, 61, 203); }

TEST(Host_ImageUpscaleWithModel, TiledEqualsWholeOnARealPicture) {
  const at::Tensor picture = photo_crop();
  const at::Tensor before = picture.clone();
  const UpscaleModel x4 = model("conv_x4.pt");
  const at::Tensor whole = upscaled(x4, picture, tiles_of(4096));
  ASSERT_EQ(whole.sizes(), (std::vector<int64_t>{1, 628, 812, 3}));
  // Tile sizes that leave ragged last tiles on both axes, and the smallest one allowed.
  for (int64_t size : {64, 37, 2 * 5 + 16}) {
    const at::Tensor tiled = upscaled(x4, picture, tiles_of(size));
    EXPECT_LT(test::max_abs_diff(tiled, whole), kTiledTolerance) << "tiles of " << size;
  }
  // The same cut without overlap shows its seams: the comparison above can fail.
  EXPECT_GT(test::max_abs_diff(upscaled(x4, picture, tiles_of(64, 0)), whole), 1e-3);
  EXPECT_TRUE(test::same_values(picture, before));

  const UpscaleModel restorer = model("restorer.pt");
  EXPECT_LT(test::max_abs_diff(upscaled(restorer, picture, tiles_of(41)), upscaled(restorer, picture, tiles_of(4096))),
            kTiledTolerance);
}

TEST(Host_ImageUpscaleWithModel, BatchesProgressAndThinPictures) {
  const UpscaleModel x2 = model("conv_x2.pt");
  const at::Tensor batch = at::cat({test::random_picture(1, 50, 33, 3, 1), test::random_picture(1, 50, 33, 3, 2)});
  std::vector<std::pair<int64_t, int64_t>> calls;
  UpscaleOptions o = tiles_of(24);
  o.progress = [&](int64_t done, int64_t total) { calls.emplace_back(done, total); };
  const at::Tensor tiled = upscaled(x2, batch, o);
  ASSERT_EQ(tiled.sizes(), (std::vector<int64_t>{2, 100, 66, 3}));
  EXPECT_LT(test::max_abs_diff(tiled[1], upscaled(x2, batch.narrow(0, 1, 1), tiles_of(512))[0]), kTiledTolerance);
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back().first, calls.back().second);
  EXPECT_EQ(static_cast<int64_t>(calls.size()), calls.back().second);
  // One pixel high or wide: pieces only along the other axis.
  const at::Tensor row = test::random_picture(1, 1, 70, 3);
  EXPECT_LT(test::max_abs_diff(upscaled(x2, row, tiles_of(24)), upscaled(x2, row, tiles_of(512))), kTiledTolerance);
  // The default cut, from the memory budget, is one piece for a small picture.
  EXPECT_LT(test::max_abs_diff(upscaled(x2, row), upscaled(x2, row, tiles_of(512))), kTiledTolerance);
}

TEST(Host_ImageUpscaleWithModel, RetriesTilesThatRunOutOfMemoryAtHalfSize) {
  // The model fails like the allocator on sides above 48 pixels (the probe
  // too, so its overlap is given: it looks at single pixels).
  const UpscaleModel m = model("throws_on_large.pt");
  const at::Tensor picture = test::random_picture(1, 100, 90, 3);
  int64_t last_total = 0;
  UpscaleOptions o = tiles_of(96, 0);
  o.progress = [&](int64_t, int64_t total) { last_total = total; };
  const at::Tensor out = upscaled(m, picture, o);
  const at::Tensor expected =
      at::upsample_nearest2d(picture.permute({0, 3, 1, 2}), {200, 180}).permute({0, 2, 3, 1});
  EXPECT_TRUE(test::same_values(out, expected.contiguous()));
  EXPECT_GT(last_total, 4);  // 2 x 2 tiles of 96, redone as tiles of 48
  // No smaller tile is left that holds the overlap: the failure is reported, naming the model.
  EXPECT_THROW_WITH(upscaled(m, picture, tiles_of(96, 30)), ValueError, "'throws_on_large.pt' ran out of memory");
}

TEST(Host_ImageUpscaleWithModel, BadResultsNameTheModelTheTileAndTheShapes) {
  at::Tensor picture = test::random_picture(1, 20, 30, 3);
  picture.narrow(1, 0, 2).narrow(2, 0, 3).fill_(1.0f);  // the NaN model's trigger
  const auto fails = [&](const std::string& file, const std::string& fragment) {
    EXPECT_THROW_WITH(upscaled(model(file), picture), ValueError, fragment);
    EXPECT_THROW_WITH(upscaled(model(file), picture), ValueError, "'" + file + "'");
    EXPECT_THROW_WITH(upscaled(model(file), picture), ValueError, "tile 1 of 1 at x 0, y 0");
  };
  fails("nan.pt", "returned NaN or infinity in 72 values of [1, 3, 40, 60]");
  fails("infinite.pt", "NaN or infinity");
  fails("one_channel.pt", "returned 1 channel, expected 3 (tile 1 of 1 at x 0, y 0, input [1, 3, 20, 30])");
  fails("odd_size.pt", "returned [1, 3, 41, 61], not a whole multiple of the input size");
  fails("integers.pt", "returned Byte values, expected float");
  fails("pair.pt", "returned a Tuple, expected a tensor");
  fails("flatten.pt", "expected [1, 3, s*20, s*30]");
  EXPECT_THROW_WITH(upscaled(model("conv_x2.pt", {4, 3}), picture), ValueError, "enlarged tile 1 of 1 at x 0, y 0 2 times, expected 4");
  EXPECT_THROW_WITH(upscaled(model("conv_x2.pt"), picture, tiles_of(8)), ValueError, "use at least 22");
  EXPECT_THROW_WITH(upscaled(model("conv_x2.pt"), test::random_picture(1, 0, 4, 3)), ValueError, "no pixels");
  // A later tile is named by its place.
  at::Tensor wide = test::random_picture(1, 20, 100, 3);
  wide.narrow(2, 95, 1).fill_(1.0f);
  EXPECT_THROW_WITH(upscaled(model("nan.pt"), wide, tiles_of(80, 4)), ValueError, "tile 2 of 2 at x 46, y 0");
}

}  // namespace
}  // namespace quorv::host

#include "host/nodes/image_scale.h"
#include "host/nodes/lanczos_resample.h"

#include <gtest/gtest.h>

#include <cmath>

#include "host/errors.h"
#include "tests/support/test_support.h"

namespace quorv::host {
namespace {

using test::max_abs_diff;
using test::random_picture;

// Enlarging: float32 accumulation against a double reference, six taps per sample.
constexpr double kEnlargeTolerance = 2e-5;
// Shrinking goes through libvips, which places samples on a 1/1024-pixel
// grid: on noise (slope up to 1 per pixel) that is about 1e-3 off a
// continuous reference.
constexpr double kShrinkTolerance = 3e-3;

at::Tensor scale(const at::Tensor& img, const std::string& method, int64_t w, int64_t h,
                 const std::string& crop = "disabled") {
  return std::get<0>(ImageScale::upscale(img, method, w, h, crop));
}

double lanczos3(double x) {
  x = std::fabs(x);
  if (x >= 3) return 0;
  if (x == 0) return 1;
  return 3 * std::sin(M_PI * x) * std::sin(M_PI * x / 3) / (M_PI * M_PI * x * x);
}

// Slow, obvious Lanczos-3 along one axis of a [H, W] double array: half-pixel
// centres, support widened by 1/scale when shrinking, edges clamped.
at::Tensor reference_axis(const at::Tensor& in, int64_t out_size, int axis) {
  const int64_t n = in.size(axis);
  const double s = double(out_size) / n, stretch = s < 1 ? 1 / s : 1;
  std::vector<int64_t> sizes(in.sizes().begin(), in.sizes().end());
  sizes[axis] = out_size;
  at::Tensor out = at::zeros(sizes, at::kDouble);
  for (int64_t j = 0; j < out_size; ++j) {
    const double c = (j + 0.5) / s - 0.5;
    double sum = 0;
    at::Tensor acc = at::zeros_like(in.select(axis, 0));
    for (int64_t i = int64_t(std::floor(c - 3 * stretch)); i <= int64_t(std::ceil(c + 3 * stretch)); ++i) {
      const double w = lanczos3((i - c) / stretch);
      acc += w * in.select(axis, std::clamp<int64_t>(i, 0, n - 1));
      sum += w;
    }
    out.select(axis, j).copy_(acc / sum);
  }
  return out;
}

TEST(Host_ImageScale, EveryMethodGivesTheExactSize) {
  const at::Tensor img = random_picture(2, 17, 23, 3);
  const at::Tensor before = img.clone();
  for (const char* method : {"nearest-exact", "bilinear", "area", "bicubic", "lanczos"}) {
    for (auto [w, h] : std::vector<std::pair<int64_t, int64_t>>{{40, 30}, {8, 9}, {23, 17}, {1, 1}}) {
      const at::Tensor out = scale(img, method, w, h);
      EXPECT_EQ(out.sizes(), (std::vector<int64_t>{2, h, w, 3})) << method;
      EXPECT_GE(out.min().item<float>(), 0.f) << method;
      EXPECT_LE(out.max().item<float>(), 1.f) << method;
    }
  }
  EXPECT_TRUE(test::same_values(img, before));
}

TEST(Host_ImageScale, LanczosMatchesAReferenceWhenEnlargingAndShrinking) {
  // Values well inside 0..1 so that the final clamp never acts.
  const at::Tensor img = random_picture(1, 13, 11, 2, 3).mul(0.5).add(0.25);
  const at::Tensor plane = img[0].to(at::kDouble);
  for (auto [w, h] : std::vector<std::pair<int64_t, int64_t>>{{22, 26}, {17, 29}, {5, 6}, {7, 30}, {33, 4}}) {
    // Separable: the order of the two axes does not matter in exact arithmetic.
    const at::Tensor expected = reference_axis(reference_axis(plane, h, 0), w, 1);
    const double tolerance = (w < 11 || h < 13) ? kShrinkTolerance : kEnlargeTolerance;
    EXPECT_LT(max_abs_diff(scale(img, "lanczos", w, h)[0], expected.clamp(0, 1)), tolerance) << w << "x" << h;
  }
}

// Both axes at once go band by band of output rows: the same values as one
// axis after the other, at band edges, in a batch and for a one-row source.
TEST(Host_ImageScale, LanczosEnlargesBothAxesAsOneAxisAfterTheOther) {
  const at::Tensor photo = test::sample_picture("coffee.png").narrow(1, 0, 101).narrow(2, 0, 67);
  const at::Tensor batch = at::cat({photo, photo.flip(3)});
  for (const auto& [w, h] : std::vector<std::pair<int64_t, int64_t>>{{134, 202}, {70, 129}, {200, 640}, {68, 102}}) {
    const at::Tensor widened = scale(batch, "lanczos", w, batch.size(1));
    EXPECT_TRUE(at::equal(scale(batch, "lanczos", w, h), scale(widened, "lanczos", w, h))) << w << "x" << h;
  }
  const at::Tensor row = photo.narrow(1, 0, 1);
  EXPECT_TRUE(at::equal(scale(row, "lanczos", 90, 3), scale(scale(row, "lanczos", 90, 1), "lanczos", 90, 3)));
}

// Written into the top left of a larger picture, as the road pads it: the
// same values, nothing outside the corner touched.
TEST(Host_ImageScale, LanczosWritesIntoAViewWithTheSameValues) {
  const at::Tensor photo = test::sample_picture("coffee.png").narrow(1, 0, 101).narrow(2, 0, 67);
  for (const auto& [w, h] : std::vector<std::pair<int64_t, int64_t>>{{134, 202}, {40, 250}, {30, 50}}) {
    at::Tensor padded = at::full({1, h + 7, w + 5, 3}, -1.0f);
    at::Tensor corner = padded.narrow(1, 0, h).narrow(2, 0, w);
    host::lanczos_resample_into(photo, corner);
    EXPECT_TRUE(at::equal(corner, host::lanczos_resample(photo, w, h))) << w << "x" << h;
    EXPECT_EQ(padded.narrow(2, w, 5).max().item<float>(), -1.0f);
    EXPECT_EQ(padded.narrow(1, h, 7).max().item<float>(), -1.0f);
  }
  at::Tensor planar = at::empty({1, 3, 20, 20}).permute({0, 2, 3, 1});
  EXPECT_THROW_WITH(host::lanczos_resample_into(photo, planar), ValueError, "packed rows");
}

TEST(Host_ImageScale, LanczosKeepsAConstantPictureAndTheMeanOfAPhoto) {
  const at::Tensor grey = at::full({1, 37, 41, 3}, 0.375f);
  EXPECT_TRUE(test::same_values(scale(grey, "lanczos", 80, 70), at::full({1, 70, 80, 3}, 0.375f)));
  EXPECT_TRUE(test::same_values(scale(grey, "lanczos", 20, 15), at::full({1, 15, 20, 3}, 0.375f)));

  const at::Tensor photo = test::sample_picture("coffee.png");
  const at::Tensor twice = scale(photo, "lanczos", 1200, 800);
  EXPECT_NEAR(twice.mean().item<double>(), photo.mean().item<double>(), 1e-3);
  const at::Tensor half = scale(photo, "lanczos", 300, 200);
  EXPECT_NEAR(half.mean().item<double>(), photo.mean().item<double>(), 1e-3);
}

TEST(Host_ImageScale, CenterCropCutsTheSourceToTheTargetAspect) {
  const at::Tensor img = random_picture(1, 770, 1023, 3);
  // 1023 x 770 is wider than 1024:776; the centred 1016 columns remain (3 dropped on the left).
  const at::Tensor expected = scale(img.narrow(2, 3, 1016), "bilinear", 1024, 776);
  EXPECT_TRUE(test::same_values(scale(img, "bilinear", 1024, 776, "center"), expected));
  const at::Tensor tall = random_picture(1, 40, 10, 1);
  EXPECT_TRUE(test::same_values(scale(tall, "area", 10, 10, "center"), tall.narrow(1, 15, 10).contiguous()));
}

TEST(Host_ImageScale, ZeroSizesAndBadArguments) {
  const at::Tensor img = random_picture(1, 20, 40, 3);
  EXPECT_TRUE(scale(img, "lanczos", 0, 0).is_same(img));
  EXPECT_EQ(scale(img, "bilinear", 0, 10).sizes(), (std::vector<int64_t>{1, 10, 20, 3}));
  EXPECT_EQ(scale(img, "bilinear", 10, 0).sizes(), (std::vector<int64_t>{1, 5, 10, 3}));
  EXPECT_THROW_WITH(scale(img, "With model", 8, 8), ValueError, "'With model'");
  EXPECT_THROW_WITH(scale(img, "lanczos", 8, 8, "middle"), ValueError, "'middle'");
  EXPECT_THROW(scale(img, "lanczos", -1, 8), ValueError);
  EXPECT_THROW(scale(img.to(at::kDouble), "lanczos", 8, 8), ValueError);
  EXPECT_THROW_WITH(scale(img, "bilinear", int64_t{1} << 24, int64_t{1} << 24), ValueError, "of memory, but only");
  // "with model": the model already enlarged the picture, the resize only fits the size.
  EXPECT_TRUE(test::same_values(scale(img, "with model", 30, 10), scale(img, "lanczos", 30, 10)));
}

}  // namespace
}  // namespace quorv::host

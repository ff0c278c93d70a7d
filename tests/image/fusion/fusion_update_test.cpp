#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "fusion_service/fusion_service.h"
#include "host/errors.h"
#include "host/nodes/image_composite_masked.h"
#include "image/fusion/fusion_internal.h"
#include "image/measure/measure.h"
#include "image/quorv_image.h"
#include "tests/support/literal_fusion.h"
#include "tests/support/loopback_server.h"
#include "tests/support/node_states.h"
#include "tests/support/test_support.h"

namespace quorv {
namespace {

using service::Json;

// The own-weight map is kept per strip instead of per pixel and channel; the
// channel mean of three equal floats may differ from the value by one ulp.
constexpr double kLiteralTolerance = 1e-6;

NodeState fusion_state(int64_t border, int64_t blur, int64_t shift, double blend = 1.0) {
  test::NodeSettings settings{1024, 1024, border, blur, shift};
  settings.blend = blend;
  return test::node_state(at::zeros({1, 8, 8, 3}), settings);
}

using Update = at::Tensor (*)(const NodeState&, const std::string&, const at::Tensor&, const std::vector<GridSpec>&,
                              int64_t, const std::vector<OptionalImage>&, bool, const Json&);
const Update kUpdates[] = {&Quorv_Image::add_last_generated_to_base_image,
                           &Quorv_Image::add_last_generated_to_base_image_V1};

// A fusion service that answers every request with the reply the test sets, and counts requests.
class CannedService {
 public:
  CannedService() {
    loopback_.server.Post(".*", [this](const httplib::Request&, httplib::Response& res) {
      ++requests;
      std::lock_guard<std::mutex> lock(mutex_);
      res.set_content(reply_, "application/json");
    });
    url_.emplace(loopback_.start());
  }
  void reply(const std::string& json) {
    std::lock_guard<std::mutex> lock(mutex_);
    reply_ = json;
  }
  std::atomic<int> requests{0};

 private:
  std::mutex mutex_;
  std::string reply_ = "{}";
  test::LoopbackServer loopback_;
  std::optional<test::ApiUrl> url_;
};

// A 2 x 2 grid of 64-pixel tiles overlapping by 16; the tile under test is the last one.
const std::vector<GridSpec> kGrid{{0, 0, 0, 0, 0, 64, 64}, {0, 1, 1, 48, 0, 64, 64}, {1, 0, 2, 0, 48, 64, 64},
                                  {1, 1, 3, 48, 48, 64, 64}};

TEST(Fusion_Update, MarginsFollowTheTilesBands) {
  EXPECT_EQ(fusion::detail::fusion_margins(fusion_state(20, 12, 8)).feather_ratio, 32);
  EXPECT_EQ(fusion::detail::fusion_margins(fusion_state(10, 6, 4)).feather_ratio, 20);
  const auto negative = fusion::detail::fusion_margins(fusion_state(-30, 2, 1));
  EXPECT_EQ(negative.full_border_margin, 0);
  EXPECT_EQ(negative.feather_ratio, 0);
  EXPECT_EQ(negative.margin_test, 0);
  EXPECT_EQ(negative.feather_margin, 4);
  const auto half = fusion::detail::fusion_margins(fusion_state(10, 6, 4, 0.5));
  EXPECT_EQ(half.margin_test, 20);
  EXPECT_EQ(half.feather_margin, 20);
  EXPECT_THROW(fusion::detail::fusion_margins(fusion_state(10, 6, 4, std::nan(""))), ValueError);
}

TEST(Fusion_Update, NoServiceCallForSegmentsAndNoChangeWithoutNeighbours) {
  test::CapturedServices captured;
  CannedService service;
  const NodeState SELF = fusion_state(8, 8, 0);
  const at::Tensor tile = test::random_picture(1, 64, 64, 3);
  const std::vector<OptionalImage> none(4);
  std::vector<GridSpec> grid = kGrid;
  grid.push_back({0, 0, 8000, 0, 0, 64, 64});
  for (Update update : kUpdates) {
    const int requests = service.requests;
    const at::Tensor segment = update(SELF, "1", tile, grid, 4, none, true, 1);
    EXPECT_TRUE(test::same_values(segment, tile));
    EXPECT_NE(segment.data_ptr(), tile.data_ptr());
    EXPECT_EQ(service.requests, requests);
    for (const char* reply : {"{}", R"({"top": {"exists": false, "index": 1, "crop_y": 16}})", R"({"left": {}})"}) {
      service.reply(reply);
      EXPECT_TRUE(test::same_values(update(SELF, "1", tile, kGrid, 3, none, true, 1), tile)) << reply;
    }
  }
  EXPECT_EQ(service.requests, 6);
  EXPECT_TRUE(captured.printed.empty());
}

TEST(Fusion_Update, NeighbourPicturesFallBackToAllGridImages) {
  CannedService service;
  NodeState SELF = fusion_state(8, 8, 0);
  const at::Tensor tile = at::zeros({1, 64, 64, 3});
  SELF.OUTPUTS.grid_images_all = std::vector<at::Tensor>{at::ones({1, 64, 64, 3}), at::ones({1, 64, 64, 3})};
  service.reply(R"({"top": {"exists": true, "index": 1, "crop_y": 16}})");
  for (Update update : kUpdates) {
    const at::Tensor fused = update(SELF, "1", tile, kGrid, 3, {std::nullopt, std::nullopt}, false, 1);
    EXPECT_GT(fused[0][0][10][0].item<float>(), 0.5f);  // the neighbour shows at the outer edge
    EXPECT_TRUE(test::same_values(fused.narrow(1, 16, 48), tile.narrow(1, 16, 48)));
  }
}

TEST(Fusion_Update, RightAndBottomOnlyWithBlendAllAndGuarded) {
  test::CapturedServices captured;
  CannedService service;
  const NodeState SELF = fusion_state(8, 8, 0);
  const at::Tensor tile = at::zeros({1, 64, 64, 3});
  const std::vector<OptionalImage> finished(4, at::ones({1, 64, 64, 3}));
  service.reply(R"({"right": {"exists": true, "index": 1, "crop_x": 16, "crop_y": 0},
                   "bottom": {"exists": true, "index": 2, "crop_x": 0, "crop_y": 99}})");
  for (Update update : kUpdates) {
    EXPECT_TRUE(test::same_values(update(SELF, "1", tile, kGrid, 0, finished, false, 1), tile));
    const at::Tensor fused = update(SELF, "1", tile, kGrid, 0, finished, true, 1);
    EXPECT_GT(fused[0][10][63][0].item<float>(), 0.5f);  // the right strip went in before the bottom failed
    EXPECT_TRUE(test::same_values(fused.narrow(2, 0, 48), tile.narrow(2, 0, 48)));
  }
  ASSERT_EQ(captured.printed.size(), 2u);
  EXPECT_EQ(captured.printed[0].rfind("Quorv Tile fusion shape mismatch BottomRight: ", 0), 0u);
}

TEST(Fusion_Update, RepliesAreReadLenientlyOrStrictlyAndNeverTrusted) {
  CannedService service;
  const NodeState SELF = fusion_state(8, 8, 0);
  const at::Tensor tile = test::random_picture(1, 64, 64, 3);
  const at::Tensor before = tile.clone();
  const std::vector<OptionalImage> finished(4, at::ones({1, 64, 64, 3}));
  auto fuse = [&](Update update) { return update(SELF, "1", tile, kGrid, 3, finished, false, 1); };

  service.reply(R"({"top": {"exists": true, "index": 1, "crop_y": 16}})");  // no crop_x: fine for both
  EXPECT_NO_THROW(fuse(kUpdates[0]));
  EXPECT_NO_THROW(fuse(kUpdates[1]));
  service.reply(R"({"top": {"exists": true, "index": 1, "crop_x": 16}})");  // no crop_y
  EXPECT_THROW(fuse(kUpdates[0]), ValueError);  // read as 0 rows
  EXPECT_THROW_WITH(fuse(kUpdates[1]), KeyError, "\"crop_y\" is missing");
  for (Update update : kUpdates) {
    service.reply(R"({"top": {"exists": true, "index": -1, "crop_y": 16}})");
    EXPECT_THROW(fuse(update), IndexError);
    service.reply(R"({"top": {"exists": true, "index": "1", "crop_y": 16}})");
    EXPECT_THROW_WITH(fuse(update), ValueError, "must be an integer");
    service.reply(R"({"left": {"exists": true, "index": 1, "crop_x": 100000, "crop_y": 0}})");
    EXPECT_THROW_WITH(fuse(update), ValueError, "\"left\" crop_x 100000");
    service.reply(R"({"topright": {"exists": true, "index": 1, "crop_x": 16, "crop_y": -4}})");
    EXPECT_THROW(fuse(update), ValueError);
  }
  EXPECT_TRUE(test::same_values(tile, before));
}

TEST(Fusion_Update, RepliesQuotingTheTokenNeverShowIt) {
  test::CapturedServices captured;
  CannedService service;
  NodeState SELF = fusion_state(8, 8, 0);
  SELF.API.token = "s3cret-T0k";
  const at::Tensor tile = at::zeros({1, 64, 64, 3});
  const std::vector<OptionalImage> finished(4, at::ones({1, 64, 64, 3}));
  for (const char* reply : {R"({"top": {"exists": true, "index": "s3cret-T0k", "crop_y": 16}})",
                            R"({"top": ["s3cret-T0k"]})",
                            R"({"left": {"exists": true, "index": 1, "crop_x": "s3cret-T0k", "crop_y": 0}})"}) {
    service.reply(reply);
    for (Update update : kUpdates) {
      try {
        update(SELF, "1", tile, kGrid, 3, finished, false, 1);
        ADD_FAILURE() << "accepted " << reply;
      } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()).find("s3cret"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("***"), std::string::npos) << e.what();
      }
    }
  }
  // The guarded right and bottom blends print their failure: masked too.
  service.reply(R"({"bottom": {"exists": true, "index": "s3cret-T0k", "crop_y": 16}})");
  for (Update update : kUpdates) update(SELF, "1", tile, kGrid, 0, finished, true, 1);
  ASSERT_EQ(captured.printed.size(), 2u);
  for (const std::string& line : captured.printed) {
    EXPECT_EQ(line.find("s3cret"), std::string::npos) << line;
    EXPECT_NE(line.find("***"), std::string::npos) << line;
  }
}

TEST(Fusion_Update, NormalisedWeightSendsNaNToTheBlendedCopy) {
  // The clamp comes first, so an infinity ends as 1 and only NaN is left to replace.
  const at::Tensor map = at::tensor({0.25f, NAN, 1.0f, INFINITY, 0.5f});
  const at::Tensor n = fusion::detail::normalise_weight(map, at::tensor(0.25f), at::tensor(1.0f));
  EXPECT_TRUE(test::same_values(n, at::tensor({0.0f, 0.0f, 1.0f, 1.0f, 1.0f / 3})));
  const at::Tensor flat = fusion::detail::normalise_weight(at::tensor({NAN, 0.5f}), at::tensor(NAN), at::tensor(NAN));
  EXPECT_TRUE(test::same_values(flat, at::tensor({0.0f, 0.5f})));
}

struct RealGrid {
  NodeState SELF;
  std::vector<GridSpec> specs;
  std::vector<at::Tensor> tiles;
};

// coffee.png cut into a grid of 192-pixel tiles; the "Tile_Fusion" grid is
// 5 x 3, and every neighbour kind occurs.
RealGrid coffee_grid(const std::string& mode = "Tile_Fusion", int64_t composite_blur_margin = 16) {
  const at::Tensor picture = test::sample_picture("coffee.png");
  RealGrid g{test::node_state(picture, {192, 192, 8, 8, 0, composite_blur_margin, mode}), {}, {}};
  g.specs = Quorv_Image::get_tiled_grid_specs(g.SELF, picture);
  g.tiles = Quorv_Image::get_grid_images(picture, g.specs);
  return g;
}

// Tile i as if regenerated independently: its own brightness shift.
at::Tensor regenerated(const at::Tensor& tile, size_t i) {
  return (tile + 0.08 * (static_cast<double>(i % 4) - 1.5)).clamp(0, 1);
}

TEST(Fusion_Update, MatchesTheStepByStepFusionOnARealPicture) {
  RealGrid g = coffee_grid();
  ASSERT_EQ(g.specs.size(), 15u);
  fusion_service::FusionServer server;
  server.start();
  const test::ApiUrl url(server.base_address());
  std::vector<OptionalImage> finished;
  for (size_t i = 0; i < g.tiles.size(); ++i) finished.push_back(regenerated(g.tiles[i], i));
  for (const size_t index : {0u, 4u, 6u, 7u, 9u, 12u, 14u}) {
    const at::Tensor tile = regenerated(g.tiles[index], index + 7);
    const Json info = Quorv_Image::api_nuero_generative_fusion_tiles(
        Quorv_Image::prepare_neuro_generative_fusion(g.specs, static_cast<int64_t>(index)), g.SELF);
    for (bool blend_all : {false, true}) {
      const at::Tensor expected = test::literal_fusion(g.SELF, tile, info, finished, blend_all);
      for (Update update : kUpdates) {
        const at::Tensor fused = update(g.SELF, "1", tile, g.specs, static_cast<int64_t>(index), finished, blend_all, 1);
        EXPECT_LT(test::max_abs_diff(fused, expected), kLiteralTolerance) << "tile " << index << " blend_all " << blend_all;
      }
    }
  }
}

TEST(Fusion_Update, InPlaceWritesTheSameTileAndNothingWhenItFails) {
  fusion_service::FusionServer server;
  server.start();
  std::optional<test::ApiUrl> url(std::in_place, server.base_address());
  const service::ClientOptions client;
  const fusion::FusionForm forms[] = {fusion::FusionForm::Base, fusion::FusionForm::Accumulating};
  // The usual bands, then strips so wide that they cover most of each tile.
  for (const bool wide : {false, true}) {
    RealGrid g = coffee_grid();
    if (wide) {
      const at::Tensor picture = test::sample_picture("coffee.png");
      g.SELF = test::node_state(picture, {256, 256, 24, 24, 8, 40});
      g.specs = Quorv_Image::get_tiled_grid_specs(g.SELF, picture);
      g.tiles = Quorv_Image::get_grid_images(picture, g.specs);
    }
    std::vector<OptionalImage> finished;
    for (size_t i = 0; i < g.tiles.size(); ++i) finished.push_back(regenerated(g.tiles[i], i));
    for (size_t index = 0; index < g.tiles.size(); ++index)
      for (const fusion::FusionForm form : forms) {
        const at::Tensor tile = regenerated(g.tiles[index], index + 7);
        fusion::ServiceCall call{client, {}};
        const at::Tensor copy = fusion::fusion_update(form, g.SELF, tile, g.specs, static_cast<int64_t>(index),
                                                      finished, true, 1, call);
        at::Tensor own = tile.clone();
        const void* memory = own.data_ptr();
        fusion::fusion_update_in_place(form, g.SELF, own, g.specs, static_cast<int64_t>(index), finished, true, 1, call);
        EXPECT_EQ(own.data_ptr(), memory);
        EXPECT_TRUE(test::same_values(own, copy)) << "tile " << index << (wide ? " wide" : "");
      }
  }
  // A reply whose left strip cannot fit fails after its top strip was read: nothing is written.
  url.reset();
  CannedService canned;
  const NodeState SELF = fusion_state(8, 8, 0);
  const std::vector<OptionalImage> ones(4, at::ones({1, 64, 64, 3}));
  canned.reply(R"({"top": {"exists": true, "index": 1, "crop_y": 16},
                   "topright": {"exists": true, "index": 1, "crop_x": 16, "crop_y": 16},
                   "left": {"exists": true, "index": 2, "crop_x": 100000, "crop_y": 0}})");
  for (const fusion::FusionForm form : forms) {
    const at::Tensor before = test::random_picture(1, 64, 64, 3);
    at::Tensor own = before.clone();
    fusion::ServiceCall call{client, {}};
    EXPECT_THROW_WITH(fusion::fusion_update_in_place(form, SELF, own, kGrid, 3, ones, false, 1, call), ValueError,
                      "\"left\" crop_x 100000");
    EXPECT_TRUE(test::same_values(own, before));
  }
}

TEST(Fusion_Update, FusingEveryTileInRowOrderHidesTheSeams) {
  // Generative fusion pastes tiles back with hard edges (no compositing band,
  // no inpaint band): without fusion every brightness step is a seam.
  RealGrid g = coffee_grid("Neuro_Generative_Tile_Fusion", /*composite_blur_margin=*/0);
  fusion_service::FusionServer server;
  server.start();
  const test::ApiUrl url(server.base_address());
  const at::Tensor picture = g.SELF.OUTPUTS.image.get();
  std::vector<OptionalImage> unfused, fused(g.tiles.size());
  for (size_t i = 0; i < g.tiles.size(); ++i) unfused.push_back(regenerated(g.tiles[i], i));
  for (size_t i = 0; i < g.tiles.size(); ++i)
    fused[i] = Quorv_Image::add_last_generated_to_base_image_V1(g.SELF, "1", *unfused[i], g.specs,
                                                                 static_cast<int64_t>(i), fused, false, 1);
  auto rebuilt = [&](const std::vector<OptionalImage>& tiles) {
    return Quorv_Image::rebuild_final_image(g.SELF, "1", tiles, picture, g.specs, "1", 0, 0, {}, {}, {},
                                            reassembly::SegmentList{}, "lanczos")
        .full_image;
  };
  const double before = measure::seam_score(rebuilt(unfused), g.specs).score;
  const double after = measure::seam_score(rebuilt(fused), g.specs).score;
  EXPECT_GT(before, 1.4) << "seam score unfused " << before << ", fused " << after;
  EXPECT_LT(after, 1.1) << "seam score unfused " << before << ", fused " << after;
}

}  // namespace
}  // namespace quorv

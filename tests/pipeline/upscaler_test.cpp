// The road as a library: a real picture upscaled in memory, with the road's
// processors and with processors written here.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "host/nodes/image_scale.h"
#include "pipeline/upscaler.h"
#include "tests/support/test_support.h"

namespace quorv::pipeline {
namespace {

// Coffee at 240 x 160, enlarged x2 to 480 x 320 in 192-pixel tiles, without
// fusion: the tiles alone decide the result.
struct Coffee {
  at::Tensor picture;
  at::Tensor enlarged;  ///< lanczos at 480 x 320
};

const Coffee& coffee() {
  static const Coffee c = [] {
    Coffee out;
    const at::Tensor full = test::sample_picture("coffee.png");
    out.picture = std::get<0>(host::ImageScale::upscale(full, "lanczos", 240, 160, "disabled")).clamp(0, 1);
    out.enlarged = std::get<0>(host::ImageScale::upscale(out.picture, "lanczos", 480, 320, "disabled"));
    return out;
  }();
  return c;
}

UpscaleOptions small_grid(int jobs = 1) {
  UpscaleOptions o;
  o.tile_width = o.tile_height = 192;
  o.fusion = "none";
  o.jobs = jobs;
  return o;
}

std::vector<std::string> stage_names(const UpscaleReport& report) {
  std::vector<std::string> names;
  for (const auto& [stage, seconds] : report.stages.wall) names.push_back(stage);
  return names;
}

// Repaints every tile with one grey, keeping the tiles it saw and the most
// calls it had at once; tile `failing` fails.
class Grey : public TileProcessor {
 public:
  explicit Grey(bool safe = false, int64_t failing = -1) : safe_(safe), failing_(failing) {}
  bool thread_safe() const override { return safe_; }
  at::Tensor process(const TileJob& job) override {
    const int now = ++running_;
    most_at_once_ = std::max(most_at_once_.load(), now);
    // A thread-safe one waits on tile 0 for a second call, which the road
    // must let in; an unsafe one lingers, for a second call to overlap if the road allowed one.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    if (safe_ && job.index == 0)
      while (most_at_once_ < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!safe_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      seen_.push_back(job.index);
    }
    --running_;
    if (job.index == failing_) throw Error(tile_name(job) + ": no grey today");
    return at::full_like(job.picture, 0.5);
  }
  std::vector<int64_t> seen() const { return seen_; }
  int most_at_once() const { return most_at_once_; }

 private:
  bool safe_;
  int64_t failing_;
  std::atomic<int> running_{0}, most_at_once_{0};
  std::mutex mutex_;
  std::vector<int64_t> seen_;
};

TEST(Pipeline_Upscaler, IdentityGivesTheEnlargedPictureAndLeavesTheInputAlone) {
  const at::Tensor input = coffee().picture.clone();
  std::unique_ptr<TileProcessor> identity = make_tile_processor("identity");
  std::vector<ProgressEvent> events;
  Upscaler upscaler(small_grid(), *identity, {[&](const ProgressEvent& e) { events.push_back(e); }, {}});
  const UpscaleResult out = upscaler.run(input);

  EXPECT_TRUE(test::same_values(out.picture, coffee().enlarged));
  EXPECT_TRUE(test::same_values(input, coffee().picture));
  EXPECT_TRUE(out.report.complete());
  EXPECT_EQ(stage_names(out.report), (std::vector<std::string>{"enlarge", "grid", "masks", "process", "fusion",
                                                               "paste", "previews", "seam_score"}));
  // As before any tile work: a score of 1.
  EXPECT_NEAR(out.report.seams.relative, 1.0, 1e-6);
  // 480 x 320 in 192-pixel tiles: 2 rows x 4 columns, one event per tile between start and end.
  ASSERT_EQ(events.size(), 10u);
  EXPECT_EQ(events.front().kind, ProgressEvent::Kind::start);
  EXPECT_EQ(events.front().total, 8);
  EXPECT_EQ(events[8].done, 8);
  EXPECT_EQ(events.back().kind, ProgressEvent::Kind::end);
}

TEST(Pipeline_Upscaler, ACustomProcessorRepaintsEveryTileOnceThroughItsMask) {
  Grey grey;
  std::vector<int64_t> previewed;
  Upscaler upscaler(small_grid(), grey,
                    {{}, [&](const FinishedRoad& road) { previewed.push_back(road.grid_specs.size()); }});
  const UpscaleResult out = upscaler.run(coffee().picture);

  EXPECT_EQ(grey.seen(), (std::vector<int64_t>{0, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(previewed, std::vector<int64_t>{8});
  ASSERT_EQ(out.picture.sizes(), coffee().enlarged.sizes());
  // The middle of a tile is repainted; the picture's outer corner has no band either.
  EXPECT_FLOAT_EQ(out.picture[0][80][80][1].item<float>(), 0.5f);
  EXPECT_FLOAT_EQ(out.picture[0][0][0][0].item<float>(), 0.5f);
  // Along a shared edge the inpaint band keeps pixels of the enlarged picture.
  const at::Tensor kept = out.picture.eq(coffee().enlarged).all(3);
  EXPECT_GT(kept.sum().item<int64_t>(), 0);
}

TEST(Pipeline_Upscaler, AFailingTileFailsTheRunOrStaysWithKeepGoing) {
  Grey failing(false, 1);
  Upscaler strict(small_grid(), failing);
  EXPECT_THROW(strict.run(coffee().picture), Error);

  UpscaleOptions o = small_grid();
  o.keep_going = true;
  Grey again(false, 1);
  const test::CapturedServices captured;
  const UpscaleResult out = Upscaler(o, again).run(coffee().picture);
  ASSERT_EQ(out.report.unprocessed.size(), 1u);
  EXPECT_EQ(out.report.unprocessed[0].index, 1);
  EXPECT_EQ(out.report.unprocessed[0].reason, "no grey today");
  EXPECT_FALSE(out.report.complete());
  ASSERT_EQ(captured.printed.size(), 1u);
  EXPECT_NE(captured.printed[0].find("tile 1 (row 0, col 1): no grey today"), std::string::npos);
}

TEST(Pipeline_Upscaler, JobsGiveTheSamePictureAndKeepUnsafeProcessorsSerial) {
  std::unique_ptr<TileProcessor> demo = make_tile_processor("demo");
  const UpscaleResult one = Upscaler(small_grid(1), *demo).run(coffee().picture);
  const UpscaleResult three = Upscaler(small_grid(3), *demo).run(coffee().picture);
  EXPECT_TRUE(test::same_values(one.picture, three.picture));
  EXPECT_FALSE(test::same_values(one.picture, coffee().enlarged));

  Grey unsafe(false);
  Upscaler(small_grid(3), unsafe).run(coffee().picture);
  EXPECT_EQ(unsafe.most_at_once(), 1);
  std::vector<int64_t> seen = unsafe.seen();
  EXPECT_EQ(seen.size(), 8u);
  EXPECT_EQ(std::set<int64_t>(seen.begin(), seen.end()).size(), 8u);

  Grey safe(true);
  Upscaler(small_grid(3), safe).run(coffee().picture);
  EXPECT_EQ(safe.seen().size(), 8u);
  EXPECT_GT(safe.most_at_once(), 1);
}

TEST(Pipeline_Upscaler, RefusesSettingsAndPicturesItCannotWorkWith) {
  std::unique_ptr<TileProcessor> identity = make_tile_processor("identity");
  UpscaleOptions no_jobs = small_grid(0);
  EXPECT_THROW(Upscaler(no_jobs, *identity), SettingsError);
  UpscaleOptions no_address = small_grid();
  no_address.fusion = "v1";
  EXPECT_THROW(Upscaler(no_address, *identity).run(coffee().picture), SettingsError);
  EXPECT_THROW(make_tile_processor("command:cat {in} {out}"), SettingsError);

  Upscaler upscaler(small_grid(), *identity);
  const Plan plan = upscaler.plan({240, 160});
  EXPECT_THROW(upscaler.run(plan, at::zeros({1, 100, 100, 3})), ValueError);
  EXPECT_THROW(upscaler.run(plan, at::zeros({1, 160, 240, 4})), ValueError);
}

// Without previews the road lets the enlarged picture go row by row as the
// tiles pass and reads the seam score's reference ahead; with a previews
// hook it keeps the picture whole. Both must give the same pixels and
// figures, with tone matching (which reads the originals of the tiles above),
// jobs, padding and alpha, and leave the input alone.
TEST(Pipeline_Upscaler, LettingTheEnlargedPictureGoEarlyChangesNoPixel) {
  std::unique_ptr<TileProcessor> demo = make_tile_processor("demo");
  const at::Tensor input = coffee().picture.clone();
  const at::Tensor alpha = at::linspace(0, 1, input.size(2)).view({1, 1, -1, 1}).expand({1, input.size(1), -1, 1});
  for (const int64_t tile : {192, 200})
    for (const int jobs : {1, 3})
      for (const bool with_alpha : {false, true}) {
        UpscaleOptions o = small_grid(jobs);
        o.tile_width = o.tile_height = tile;
        o.match_tone = true;
        const std::optional<at::Tensor> a = with_alpha ? std::optional<at::Tensor>(alpha.contiguous()) : std::nullopt;
        const UpscaleResult streamed = Upscaler(o, *demo).run(input, a);
        const UpscaleResult whole = Upscaler(o, *demo, {{}, [](const FinishedRoad&) {}}).run(input, a);
        const std::string what = std::to_string(tile) + " " + std::to_string(jobs) + " " + std::to_string(with_alpha);
        EXPECT_TRUE(test::same_values(streamed.picture, whole.picture)) << what;
        EXPECT_EQ(streamed.report.seams.relative, whole.report.seams.relative) << what;
        EXPECT_FALSE(test::same_values(streamed.picture, coffee().enlarged)) << what;
      }
  EXPECT_TRUE(test::same_values(input, coffee().picture));
}

}  // namespace
}  // namespace quorv::pipeline

// Every picture of at least 1 x 1 gets a grid: the tool pads it, shrinks a
// tile larger than it, lowers margins that leave a tile no room, and says so.
#include <gtest/gtest.h>

#include <cmath>

#include "image/quorv_image.h"
#include "tests/tools/quorv/cli_support.h"
#include "tools/quorv/quorv_cli.h"

namespace quorv::test {
namespace {

using cli::Plan;
using cli::RunOptions;
using cli::Size;

RunOptions options_for(const std::string& scale, const std::string& tile, const std::string& mode, int64_t border) {
  RunOptions o;
  o.scale_text = scale;
  o.tile_size_text = tile;
  o.mode = mode;
  o.inpaint_border_margin = border;
  cli::finish_options(o);
  return o;
}

// The grid covers the working picture with tiles inside it, every tile gets
// its masks, and the output is exactly round(scale x size).
void expect_sound(const Plan& plan, const RunOptions& asked, const std::string& what) {
  const Size want{std::max<int64_t>(1, std::llround(static_cast<double>(plan.input.width) * asked.scale)),
                  std::max<int64_t>(1, std::llround(static_cast<double>(plan.input.height) * asked.scale))};
  EXPECT_EQ(plan.enlarged.width, want.width) << what;
  EXPECT_EQ(plan.enlarged.height, want.height) << what;
  for (const auto& [working, enlarged] : {std::pair{plan.working.width, plan.enlarged.width},
                                         std::pair{plan.working.height, plan.enlarged.height}}) {
    EXPECT_GE(working, enlarged) << what;
    // No tile is all padding.
    EXPECT_LT(working - enlarged, std::max<int64_t>(64, std::max(plan.tile_grid_W, plan.tile_grid_H))) << what;
  }
  const int64_t tile_w = plan.SELF.SIZE.fullW.get(), tile_h = plan.SELF.SIZE.fullH.get();
  EXPECT_LE(tile_w, plan.working.width) << what;
  EXPECT_LE(tile_h, plan.working.height) << what;
  EXPECT_LT(2 * plan.band, std::min(tile_w, tile_h)) << what;
  ASSERT_FALSE(plan.grid_specs.empty()) << what;
  int64_t right = 0, bottom = 0;
  for (const GridSpec& s : plan.grid_specs) {
    ASSERT_TRUE(s.x_start >= 0 && s.y_start >= 0 && s.x_start + s.width_inc <= plan.working.width &&
                s.y_start + s.height_inc <= plan.working.height)
        << what << ": " << s;
    EXPECT_LT(s.order, kSegmentOrder) << what;
    right = std::max(right, s.x_start + s.width_inc);
    bottom = std::max(bottom, s.y_start + s.height_inc);
  }
  EXPECT_EQ(right, plan.working.width) << what;
  EXPECT_EQ(bottom, plan.working.height) << what;
  // The masks of the first and the last tile: the bands must fit the tile.
  NodeState SELF = plan.SELF;
  const int64_t rows = SELF.PARAMS.rows_qty.get(), cols = SELF.PARAMS.cols_qty.get();
  for (const GridSpec& s : {plan.grid_specs.front(), plan.grid_specs.back()}) {
    const at::Tensor mask = Quorv_Image::get_inpaint_mask(
        SELF, s.height_inc, s.width_inc, cols, rows, s, static_cast<double>(plan.options.inpaint_blur_margin),
        static_cast<double>(plan.options.shift), static_cast<double>(plan.options.inpaint_border_margin), 1.0,
        plan.options.inpaint_max);
    EXPECT_EQ(mask.size(2), s.height_inc) << what;
  }
}

TEST(Quorv_PictureFit, EverySizeScaleAndTileGetsAGridInsideThePicture) {
  const std::vector<Size> sizes{{1, 1},   {7, 3},    {30, 30},  {10000, 8}, {8, 10000},
                                {451, 300}, {1023, 1}, {65, 129}, {600, 400}};
  const std::vector<std::string> scales{"0.5", "1", "1.5", "2", "4"};
  const std::vector<std::string> tiles{"8", "64", "100", "512", "1024", "300x700"};
  int refused = 0, planned = 0;
  for (const Size& size : sizes)
    for (const std::string& scale : scales)
      for (const std::string& tile : tiles)
        for (const auto& [mode, border] :
             {std::pair{"Neuro_Generative_Tile_Fusion", 16}, std::pair{"none", 16}, std::pair{"Tile_Fusion", 4096}}) {
          const RunOptions o = options_for(scale, tile, mode, border);
          const std::string what = std::to_string(size.width) + " x " + std::to_string(size.height) + " x" + scale +
                                   ", tile " + tile + ", " + mode + ", border " + std::to_string(border);
          try {
            const Plan plan = cli::make_plan(o, size);
            expect_sound(plan, o, what);
            ++planned;
          } catch (const cli::UsageError& e) {
            // Only a grid too tall to number (tile numbers grow by rows x rows): one line
            // that names the option to change.
            const std::string message = e.what();
            EXPECT_EQ(size.height, 10000) << what;
            EXPECT_NE(message.find("choose a larger --tile-size"), std::string::npos) << what << ": " << message;
            EXPECT_EQ(message.find('\n'), std::string::npos) << message;
            ++refused;
          }
        }
  EXPECT_GT(planned, 700);
  EXPECT_LT(refused, planned / 10);
}

TEST(Quorv_PictureFit, ChangesAreNamedAndOnlyWhatCannotWorkChanges) {
  // 451 x 300 at x1 with 1024-pixel tiles: one tile, the picture padded to it.
  const cli::PictureFit one = cli::fit_to_picture(options_for("1", "1024", "Neuro_Generative_Tile_Fusion", 16),
                                                  {451, 300});
  EXPECT_EQ(one.options.tile_width, 512);
  EXPECT_EQ(one.options.tile_height, 320);
  EXPECT_EQ(one.working.width, 512);
  EXPECT_EQ(one.working.height, 320);
  ASSERT_EQ(one.notes.size(), 1u);
  EXPECT_EQ(one.notes[0].rfind("--tile-size 1024 lowered to 512 x 320", 0), 0u) << one.notes[0];

  // x2: 902 x 600 with 512-pixel tiles, overlap 64. The grid alone pushes the
  // second column to 390 and the second row to 88 (overlaps 122 and 424).
  // Evenly: 512 + 448 = 960 across; down, 384-pixel tiles stepping by 320
  // make 704 with less tile area than 512 + 448 = 960.
  const cli::PictureFit two = cli::fit_to_picture(options_for("2", "512", "Neuro_Generative_Tile_Fusion", 16),
                                                  {451, 300});
  EXPECT_EQ(two.enlarged.width, 902);
  EXPECT_EQ(two.working.width, 960);
  EXPECT_EQ(two.working.height, 704);
  EXPECT_EQ(two.options.tile_width, 512);
  EXPECT_EQ(two.options.tile_height, 384);
  EXPECT_EQ(two.uneven_tiles, 4);
  ASSERT_EQ(two.notes.size(), 1u);
  EXPECT_EQ(two.notes[0].rfind("--tile-size 512 changed to 512 x 384 so that tiles step evenly", 0), 0u)
      << two.notes[0];

  // A 4096 border in a 512-pixel tile: only that margin drops, to a quarter of the tile.
  const cli::PictureFit wide = cli::fit_to_picture(options_for("2", "512", "Neuro_Generative_Tile_Fusion", 4096),
                                                   {600, 400});
  EXPECT_EQ(wide.options.inpaint_border_margin, 128 - 16);
  EXPECT_EQ(wide.options.inpaint_blur_margin, 16);
  // Then bands of 128 (overlap 256) step evenly with 576-pixel tiles: 6 tiles instead of 12.
  ASSERT_EQ(wide.notes.size(), 2u);
  EXPECT_EQ(wide.notes[0].rfind("--inpaint-border-margin lowered from 4096 to 112", 0), 0u) << wide.notes[0];
  EXPECT_NE(wide.notes[1].find("6 tiles of 576 x 576 instead of 12 of 512 x 512"), std::string::npos) << wide.notes[1];

  // 64-pixel tiles with the default bands of 32: both margins share the cut.
  const cli::PictureFit small = cli::fit_to_picture(options_for("2", "64", "Neuro_Generative_Tile_Fusion", 16),
                                                    {600, 400});
  EXPECT_EQ(small.options.inpaint_border_margin + small.options.inpaint_blur_margin, 16);
  EXPECT_EQ(small.options.inpaint_border_margin, 8);
  EXPECT_EQ(small.notes.size(), 2u);
}

// Where the tiles of one side start, in grid order.
std::vector<int64_t> starts(const Plan& plan, bool across) {
  std::vector<int64_t> list;
  for (const GridSpec& s : plan.grid_specs)
    if (across ? s.row == 0 : s.col == 0) list.push_back(across ? s.x_start : s.y_start);
  return list;
}

TEST(Quorv_PictureFit, TilesStepEvenlyWithTheAskedOverlapAndNoMoreWork) {
  const std::vector<Size> sizes{{451, 300}, {452, 300}, {500, 500}, {600, 400}, {512, 512},
                                {1000, 700}, {333, 999}, {1024, 768}, {2000, 40}};
  int even = 0, fewer = 0;
  for (const Size& size : sizes)
    for (const char* scale : {"1", "2", "4"})
      for (const char* tile : {"256", "512", "1024", "500x300"})
        for (const auto& [mode, border] : {std::pair{"Neuro_Generative_Tile_Fusion", 16}, std::pair{"none", 16},
                                           std::pair{"Tile_Fusion", 20}}) {
          const RunOptions o = options_for(scale, tile, mode, border);
          const std::string what = std::to_string(size.width) + " x " + std::to_string(size.height) + " x" +
                                   std::string(scale) + ", tile " + tile + ", " + mode;
          const Plan plan = cli::make_plan(o, size);
          const int64_t tile_w = plan.SELF.SIZE.fullW.get(), tile_h = plan.SELF.SIZE.fullH.get();
          for (const bool across : {true, false}) {
            const std::vector<int64_t> at = starts(plan, across);
            const int64_t step = across ? plan.tile_grid_W : plan.tile_grid_H;
            const int64_t side = across ? tile_w : tile_h;
            const int64_t working = across ? plan.working.width : plan.working.height;
            for (size_t i = 0; i < at.size(); ++i) EXPECT_EQ(at[i], static_cast<int64_t>(i) * step) << what;
            // The last tile ends at the working edge, and the padding is less than a step.
            EXPECT_EQ(at.back() + side, working) << what;
            EXPECT_LT(working - (across ? plan.enlarged.width : plan.enlarged.height), std::max<int64_t>(side, step))
                << what;
            // Every overlap is the one the settings ask for: twice the band in the fusion modes.
            const auto overlaps = across ? plan.overlap_x : plan.overlap_y;
            EXPECT_EQ(overlaps.first, overlaps.second) << what;
            if (at.size() > 1) {
              EXPECT_EQ(overlaps.first, side - step) << what;
              if (std::string(mode) != "none") {
                EXPECT_EQ(side - step, 2 * plan.band) << what;
              }
            }
          }
          // Never more tile area than the grid alone lays with the asked tile (shrunk to the picture).
          const auto alone = [](int64_t asked, int64_t enlarged) {
            const int64_t tile = (asked + 63) / 64 * 64;
            return tile > (enlarged + 7) / 8 * 8 ? (enlarged + 63) / 64 * 64 : tile;
          };
          const int64_t area = static_cast<int64_t>(plan.grid_specs.size()) * tile_w * tile_h;
          EXPECT_LE(area, plan.uneven_tiles * alone(o.tile_width, plan.enlarged.width) *
                              alone(o.tile_height, plan.enlarged.height))
              << what;
          ++even;
          fewer += static_cast<int64_t>(plan.grid_specs.size()) < plan.uneven_tiles;
        }
  EXPECT_EQ(even, 9 * 3 * 4 * 3);
  EXPECT_GT(fewer, even / 6);  // the grid alone doubles up tiles on many sizes
}

// Real runs of small, thin and odd pictures, and tiles larger than the picture.

std::vector<std::string> upscale_args(const TempFolder& dir, const std::string& input, const std::string& output,
                                      std::vector<std::string> options) {
  std::vector<std::string> args{"upscale", dir / input, "-o", dir / output, "-q"};
  args.insert(args.end(), options.begin(), options.end());
  return args;
}

std::vector<std::string> note_lines(const std::string& err) {
  std::vector<std::string> notes;
  for (const std::string& line : lines_of(err))
    if (line.rfind("quorv: note: ", 0) == 0) notes.push_back(line);
  return notes;
}

TEST(Quorv_PictureFit, SmallThinAndOddPicturesRunAndComeOutAtTheirExactSize) {
  TempFolder dir;
  struct Case {
    Size size;
    std::vector<std::string> options;
    Size out;
    size_t notes;  ///< lines on standard error saying what changed
  };
  const std::vector<Case> cases{
      {{1, 1}, {}, {2, 2}, 3},  // tile to 64 x 64; the two margins of 16 each to 8
      {{7, 3}, {"--scale", "1"}, {7, 3}, 3},
      {{30, 30}, {"--scale", "1.5", "--fusion", "v0"}, {45, 45}, 3},
      {{10000, 8}, {"--scale", "1"}, {10000, 8}, 3},  // a row of 512 x 64 tiles
      {{8, 10000}, {"--scale", "1", "--processor", "demo"}, {8, 10000}, 3},
      {{160, 120}, {"--tile-size", "8"}, {320, 240}, 2},  // 64-pixel tiles, margins lowered
      {{160, 120}, {"--tile-size", "64", "--mode", "Tile_Fusion"}, {320, 240}, 2},
      {{160, 120}, {"--tile-size", "128", "--inpaint-border-margin", "4096"}, {320, 240}, 1},
  };
  for (const Case& c : cases) {
    const std::string name = std::to_string(c.size.width) + "x" + std::to_string(c.size.height);
    if (c.size.width <= 400 && c.size.height <= 300)
      write_coffee_crop(dir / (name + ".png"), 100, 100, c.size.width, c.size.height);
    else  // the whole picture squeezed into a strip
      io::write_picture(dir / (name + ".png"),
                        std::get<0>(host::ImageScale::upscale(sample_picture("coffee.png"), "lanczos", c.size.width,
                                                              c.size.height, "disabled")));
    std::vector<std::string> options = c.options;
    options.insert(options.end(), {"--report", dir / "report.json"});
    std::filesystem::remove(dir / "report.json");  // an existing report is never replaced without --overwrite
    const ProgramRun run = run_quorv(upscale_args(dir, name + ".png", "out.png", options), dir);
    const std::string what = name + " " + (c.options.empty() ? "" : c.options[0] + " " + c.options[1]);
    ASSERT_EQ(run.status, 0) << what << ": " << run.err;
    const at::Tensor out = io::read_picture(dir / "out.png").rgb;
    EXPECT_EQ(out.sizes(), (std::vector<int64_t>{1, c.out.height, c.out.width, 3})) << what;
    EXPECT_EQ(note_lines(run.err).size(), c.notes) << what << ": " << run.err;
    EXPECT_EQ(read_json(dir / "report.json")["adjustments"].size(), c.notes) << what;
    std::filesystem::remove(dir / "out.png");
  }
}

TEST(Quorv_PictureFit, PreviewsOfATileLargerThanThePictureAreWritten) {
  TempFolder dir;
  for (const auto& [w, h] : {std::pair{300, 200}, std::pair{100, 100}, std::pair{451, 300}}) {
    const std::string name = std::to_string(w) + "x" + std::to_string(h);
    write_coffee_crop(dir / (name + ".png"), 60, 50, w, h);
    const std::string previews = dir / ("previews_" + name);
    const ProgramRun run = run_quorv(
        upscale_args(dir, name + ".png", name + "_out.png", {"--tile-size", "1024", "--previews", previews}), dir);
    ASSERT_EQ(run.status, 0) << name << ": " << run.err;
    EXPECT_EQ(io::read_picture(dir / (name + "_out.png")).rgb.size(2), 2 * w);
    for (const char* file : {"mask_preview.png", "grid.png", "seam_closeup.png", "tile_0_bands.png"})
      EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(previews) / file)) << name << " " << file;
    ASSERT_EQ(note_lines(run.err).size(), 1u) << run.err;
    EXPECT_NE(run.err.find("--tile-size 1024 lowered to"), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace quorv::test

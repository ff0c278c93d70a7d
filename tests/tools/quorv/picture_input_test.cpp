// Hostile and unusual input through the built program: refused with exit
// status 2 from the header or the file type, before anything is decoded.
#include <gtest/gtest.h>

#include "tests/tools/quorv/cli_support.h"

namespace quorv::test {
namespace {

std::string regress(const std::string& name) { return std::string(QUORV_TEST_DATA_DIR) + "/regress/" + name; }

// Address space for one run: the program and its libraries fit well inside,
// a picture decoded before its size was checked does not. AddressSanitizer
// reserves terabytes of shadow address space up front, so its builds run uncapped.
#ifdef __SANITIZE_ADDRESS__
const std::vector<std::string> kCapped{};
#else
const std::vector<std::string> kCapped{"/usr/bin/prlimit", "--as=" + std::to_string(int64_t{6} << 30), "--"};
#endif

ProgramRun run_capped(const std::vector<std::string>& args, const TempFolder& dir) {
  return run_quorv(args, dir, {}, "/dev/null", kCapped);
}

TEST(Quorv_PictureInput, HostileFilesAreRefusedWithoutReachingOtherDecoders) {
  TempFolder dir;
  for (const std::string name : {"webp_header_dicom_magic_at_128.bin", "webp_header_dted_magic_at_140.bin"}) {
    const ProgramRun run = run_capped({"upscale", regress(name), "-o", dir / "out.png", "-q"}, dir);
    EXPECT_EQ(run.status, 2) << name << ": " << run.err;
    EXPECT_NE(run.err.find("cannot read picture"), std::string::npos) << run.err;
  }
  EXPECT_EQ(dir.names(), std::vector<std::string>{});
}

TEST(Quorv_PictureInput, DeclaredSizesAreJudgedFromTheHeader) {
  TempFolder dir;
  // The plan needs only the header; the upscale refuses on the estimate.
  const ProgramRun plan = run_capped({"plan", regress("jpeg_declares_63233x12039.jpg")}, dir);
  ASSERT_EQ(plan.status, 0) << plan.err;
  EXPECT_NE(plan.out.find("63233 x 12039"), std::string::npos) << plan.out;
  for (const std::string name : {"jpeg_declares_63233x12039.jpg", "webp_declares_16383x12288.webp"}) {
    const ProgramRun run = run_capped({"upscale", regress(name), "-o", dir / "out.png", "-q"}, dir);
    EXPECT_EQ(run.status, 2) << name << ": " << run.err;
    EXPECT_NE(run.err.find("of memory"), std::string::npos) << run.err;
  }
  // Neither a device nor a token file without end is read.
  const ProgramRun zero = run_capped({"upscale", "/dev/zero", "-o", dir / "out.png", "-q"}, dir);
  EXPECT_EQ(zero.status, 2);
  EXPECT_NE(zero.err.find("not a regular file"), std::string::npos) << zero.err;
  write_coffee_crop(dir / "in.png");
  const ProgramRun token = run_capped({"upscale", dir / "in.png", "-o", dir / "out.png", "-q", "--fusion-url",
                                       "http://127.0.0.1:9/", "--token-file", "/dev/zero"},
                                      dir);
  EXPECT_EQ(token.status, 2);
  EXPECT_NE(token.err.find("--token-file /dev/zero: not a regular file"), std::string::npos) << token.err;
}

TEST(Quorv_PictureInput, DecoderWarningsAreShownOnce) {
  TempFolder dir;
  const ProgramRun run = run_quorv(
      {"upscale", regress("png_invalid_srgb_intent_warns.png"), "-o", dir / "out.png", "-q", "--fusion", "none"}, dir);
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string line = "quorv: warning: sRGB: profile 'sRGB': 7h: invalid sRGB rendering intent\n";
  ASSERT_NE(run.err.find(line), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find(line, run.err.find(line) + 1), std::string::npos) << run.err;
}

TEST(Quorv_PictureInput, TruncatedPicturesAreErrors) {
  TempFolder dir;
  const at::Tensor crop = sample_picture("coffee.png").narrow(1, 100, 192).narrow(2, 200, 256).contiguous();
  for (const std::string ext : {".jpg", ".png"}) {
    const std::vector<unsigned char> whole = io::encode_picture(crop, ext);
    for (const double kept : {0.4, 0.1}) {
      const std::string cut = dir / ("cut" + ext);
      std::ofstream(cut, std::ios::binary)
          .write(reinterpret_cast<const char*>(whole.data()), static_cast<std::streamsize>(whole.size() * kept));
      const ProgramRun run = run_quorv({"upscale", cut, "-o", dir / "out.png", "-q", "--fusion", "none"}, dir);
      EXPECT_EQ(run.status, 2) << ext << " cut to " << kept << ": " << run.err;
      EXPECT_FALSE(std::filesystem::exists(dir / "out.png"));
    }
  }
}

TEST(Quorv_PictureInput, StandardInputAndOutputCarryThePicture) {
  TempFolder dir;
  write_coffee_crop(dir / "in.png");
  const ProgramRun in = run_quorv({"upscale", "-", "-o", dir / "out.png", "-q", "--fusion", "none"}, dir, {},
                                  dir / "in.png");
  ASSERT_EQ(in.status, 0) << in.err;
  EXPECT_EQ(io::read_picture(dir / "out.png").rgb.sizes(), (std::vector<int64_t>{1, 240, 320, 3}));

  // The picture alone on standard output; the summary goes to standard error.
  const ProgramRun out = run_quorv({"upscale", dir / "in.png", "-o", "-", "-q", "--fusion", "none"}, dir);
  ASSERT_EQ(out.status, 0) << out.err;
  EXPECT_NE(out.err.find("quorv upscale"), std::string::npos) << out.err;
  EXPECT_TRUE(same_values(io::decode_picture(out.out, "stdout").rgb, io::read_picture(dir / "out.png").rgb));
}

}  // namespace
}  // namespace quorv::test

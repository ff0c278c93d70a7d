// Reading input files: regular files only, refused before any byte is read
// when they cannot be a picture file of sane size.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "host/errors.h"
#include "tests/support/test_support.h"
#include "tools/image_io/image_io.h"

namespace quorv::io {
namespace {

TEST(ImageIo_ReadInput, OnlyRegularFilesWithinTheCapAreRead) {
  std::string folder = (std::filesystem::temp_directory_path() / "quorv-read-input-XXXXXX").string();
  ASSERT_NE(mkdtemp(folder.data()), nullptr);
  const std::string file = folder + "/ten.bin", fifo = folder + "/fifo";
  std::ofstream(file, std::ios::binary) << "0123456789";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

  EXPECT_EQ(read_input_bytes(file), "0123456789");
  EXPECT_THROW_WITH(read_input_bytes(file, 9), ValueError, "allowed");
  // Neither waits for a writer nor reads without end.
  EXPECT_THROW_WITH(read_input_bytes(fifo), ValueError, "not a regular file");
  EXPECT_THROW_WITH(read_input_bytes("/dev/zero"), ValueError, "not a regular file");
  EXPECT_THROW_WITH(read_input_bytes(folder), ValueError, "folder");
  EXPECT_THROW_WITH(read_input_bytes(folder + "/missing.png"), ValueError, "missing.png");
  EXPECT_THROW_WITH(read_input_bytes("/dev/zero", 100, "--token-file"), ValueError, "--token-file /dev/zero");
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace quorv::io

#include "image/module.h"

#include <gtest/gtest.h>

#include "host/errors.h"
#include "tests/support/test_support.h"

namespace quorv {
namespace {

TEST(Image_Module, LoadFailsNamingTheFirstMissingServiceAndLeavesTheModuleUnusable) {
  host::PackageServices services = host::default_package_services();
  services.set_tiles_to_process = nullptr;  // the sibling module cannot be imported
  services.log = nullptr;
  EXPECT_THROW_WITH(load_module(services), Error, "set_tiles_to_process (sigmas) is not available");
  EXPECT_THROW_WITH(print_line("x"), Error, "module load failed");
  load_module();
  EXPECT_NO_THROW(module_services());
}

TEST(Image_Module, BoundServicesReceiveOutputAndLog) {
  test::CapturedServices captured;
  print_line("hello");
  module_services()->log("head", std::nullopt, std::nullopt, "detail");
  ASSERT_EQ(captured.printed, std::vector<std::string>{"hello"});
  ASSERT_EQ(captured.logged.size(), 1u);
  EXPECT_EQ(captured.logged[0].detail, "detail");
}

}  // namespace
}  // namespace quorv

#include "host/services/package_services.h"

#include <gtest/gtest.h>

#include "host/errors.h"

namespace quorv::host {
namespace {

TEST(Host_PackageServices, ReorderEdgesToCenterKeepsEveryItem) {
  EXPECT_EQ(Zarn_Array::reorder_edges_to_center({0, 1, 2, 3, 4}), (std::vector<int64_t>{0, 4, 1, 3, 2}));
  EXPECT_EQ(Zarn_Array::reorder_edges_to_center({0, 1, 2, 3}), (std::vector<int64_t>{0, 3, 1, 2}));
  EXPECT_TRUE(Zarn_Array::reorder_edges_to_center({}).empty());
}

TEST(Host_PackageServices, ApiUrlIsWhatWasConfigured) {
  clear_apiurl();
  EXPECT_THROW(get_apiurl(0), Error);
  set_apiurl("http://127.0.0.1:9/api/");
  EXPECT_EQ(get_apiurl(0), "http://127.0.0.1:9/api/");
  clear_apiurl();
}

}  // namespace
}  // namespace quorv::host

#include "host/node_state.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace quorv {
namespace {

TEST(Host_NodeState, UnsetFieldsFailNamingTheField) {
  NodeState SELF;
  EXPECT_THROW_WITH(SELF.SIZE.shifttl.get(), KeyError, "NodeState field SIZE.shifttl is not set");
  EXPECT_THROW_WITH(SELF.OUTPUTS.image.get(), KeyError, "OUTPUTS.image");
  SELF.SIZE.shifttl = 3;
  EXPECT_EQ(SELF.SIZE.shifttl.get(), 3);
  SELF.SIZE.shifttl.reset();
  EXPECT_FALSE(SELF.SIZE.shifttl.is_set());
}

}  // namespace
}  // namespace quorv

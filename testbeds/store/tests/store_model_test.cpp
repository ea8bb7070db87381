// The test bed's configuration parser: a store that misread its file would make every test through it meaningless.
#include "store_model.h"

#include <gtest/gtest.h>

namespace storebed {
namespace {

// What the store reads from a well-formed file is checked through the product's reads of it (the listener reader's
// tables); a mistyped line must fail loudly instead of being read as something else.
TEST(StoreConfigTest, MistypedLinesFailLoudly) {
  EXPECT_THROW(ParseConfig("[listener]\n[set S]\nEnabled = 1\n", "store.conf"), ConfigError);
  EXPECT_THROW(ParseConfig("[listener]\nbogus = 1\n", "store.conf"), ConfigError);
}

}  // namespace
}  // namespace storebed

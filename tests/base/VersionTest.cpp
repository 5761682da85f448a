#include <gtest/gtest.h>

#include "base/Version.h"

TEST(Version, NamesTheEngine) {
  EXPECT_STREQ(quillery::EngineName(), "Quillery");
}

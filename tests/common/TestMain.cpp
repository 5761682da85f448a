// The main of the test programs: the engine set up as the host sets it up
// (the native writer installed as the model's note renderer, so that note
// HTML hashes are computed), then the tests.

#include <gtest/gtest.h>

#include "formats/native/NativeRenderer.h"

int main(int argc, char** argv) {
  InstallNativeRenderer();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

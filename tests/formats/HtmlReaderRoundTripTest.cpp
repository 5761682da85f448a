#include <gtest/gtest.h>
#include "HtmlReaderTestUtil.h"
using namespace qyread;
TEST(HtmlReaderRoundTrip, GoldenFileReloadsByteIdentically) {
  std::string golden = ReadFile(std::string(QY_SOURCE_DIR) + "/tests/formats/data/writer_golden.qyd");
  NoteDocument doc;
  ASSERT_EQ(0, LoadString(doc, golden));
  EXPECT_EQ(3, doc.GetNodeCount());
  std::string again = SaveString(doc);
  EXPECT_EQ(golden, again);
}

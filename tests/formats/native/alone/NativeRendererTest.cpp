// A program that links the native format library alone (not the engine's
// bundle) and installs the note renderer itself: it computes a note's HTML
// hash as the host does, and without the renderer the hash step fails
// instead of storing the hash of an empty text.

#include <gtest/gtest.h>

#include <string>

#include "common/TempDir.h"
#include "formats/native/FormatIOHtml.h"
#include "formats/native/NativeRenderer.h"
#include "model/NoteDocument.h"
#include "model/NoteNode.h"
#include "tools/HostRunner.h"

namespace {

using quillery_test::RunHost;
using quillery_test::TempDir;

TEST(NativeRendererAlone, WithoutRendererNoHtmlHash) {
  SetRichTextRenderer(nullptr);
  NoteNode n;
  n.m_strID = "N";
  n.SetText("abc", nullptr, nullptr, true);
  EXPECT_FALSE(n.m_strHash.empty());
  EXPECT_TRUE(n.m_strHashHtml.empty());
  std::string hash = "kept";
  EXPECT_EQ(n.CalcHtmlHash(hash), DOC_SAVE_UNKNOWN_FORMAT);
  EXPECT_EQ(hash, "kept");
}

TEST(NativeRendererAlone, HtmlHashesAreTheHosts) {
  TempDir t;
  // The host's sample notes carry the HTML hashes the host computed.
  ASSERT_EQ(RunHost(t.Path(), {"--quiet", "generate", "80", t / "s.qyd"}).status, 0);
  InstallNativeRenderer();
  NoteDocument doc;
  FormatIO_HTML fmt;
  ASSERT_EQ(fmt.Load((t / "s.qyd").c_str(), doc, -1), DOC_LOAD_OK);
  int compared = 0;
  for (int i = 0; i < doc.GetNodeCount(); ++i) {
    NoteNode& n = doc.GetNodeByIdx(i);
    if (n.IsClone() || n.m_strHashHtml.empty()) continue;
    std::string hash;
    ASSERT_EQ(n.CalcHtmlHash(hash), DOC_SAVE_OK);
    EXPECT_EQ(hash, n.m_strHashHtml) << "note " << n.m_strID;
    ++compared;
  }
  EXPECT_GT(compared, 40);
}

}  // namespace

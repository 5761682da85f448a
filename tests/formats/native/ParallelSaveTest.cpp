// A large document's notes are rendered on worker threads when it is saved
// in the native markup: the file holds exactly the bytes the saving thread
// alone writes, and a save cancelled while batches are in flight leaves the
// target as it was.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "base/Log.h"
#include "base/Progress.h"
#include "common/TempDir.h"
#include "formats/containers/FormatIO_ZlibHTML.h"
#include "formats/native/FormatIOHtml.h"
#include "model/FileFormatFactory.h"
#include "model/NoteDocument.h"
#include "model/RecursiveTreeWalker.h"
#include "samples/SampleNotebook.h"

namespace {

FormatIO_Base* NewHtml() { return new FormatIO_HTML(); }
FormatIO_Base* NewZlibHtml() { return new FormatIO_ZlibHTML(); }

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class ParallelSave : public ::testing::Test {
 protected:
  void SetUp() override {
    FileFormatFactory::Get().Register(FORMAT_QYD, NewHtml);
    FileFormatFactory::Get().Register(FORMAT_QYZ, NewZlibHtml);
    quillery::NotebookOptions opt;
    opt.nNotes = 5000;  // several batches, with clones, custom icons, pictures and attachments among them
    quillery::MakeSampleNotebook(m_doc, opt);
  }
  void TearDown() override {
    FormatIO_HTML::SetRenderThreadLimit(-1);
    ProgressInfo::SetObserver(nullptr);
    ProgressInfo::Reset();
  }

  int Save(const std::string& path, int threads) {
    FormatIO_HTML::SetRenderThreadLimit(threads);
    RecursiveTreeWalker walker(m_doc, WALK_ALL);
    return m_doc.Save(path.c_str(), walker, false, 0, nullptr, "", 0, 0, true);
  }

  quillery_test::TempDir m_dir;
  NoteDocument m_doc;
};

TEST_F(ParallelSave, WorkerThreadsWriteTheBytesOfTheSequentialWriter) {
  // The workers log every attachment they write: the capture hook sees each
  // line once, whichever thread logged it.
  quillery::LogCapture log(LOG_INFO);
  for (const char* ext : {".qyd", ".qyz"}) {
    const std::string path = m_dir / (std::string("seq") + ext);
    log.Clear();
    ASSERT_EQ(Save(path, 0), DOC_SAVE_OK);
    const std::string sequential = ReadAll(path);
    const size_t lines = log.Lines().size();
    for (int threads : {1, 3}) {
      const std::string par = m_dir / ("par" + std::to_string(threads) + ext);
      log.Clear();
      ASSERT_EQ(Save(par, threads), DOC_SAVE_OK);
      EXPECT_TRUE(ReadAll(par) == sequential) << ext << " with " << threads << " threads";
      EXPECT_EQ(log.Lines().size(), lines) << ext << " with " << threads << " threads";
    }
  }
}

TEST_F(ParallelSave, CancelWhileBatchesAreRenderedLeavesTheTargetAlone) {
  const std::string path = m_dir / "target.qyd";
  std::ofstream(path) << "kept";
  ProgressInfo::SetObserver([](int64_t current, int64_t) {
    if (current >= 2500) ProgressInfo::SetCanceled(true);
  });
  EXPECT_EQ(Save(path, 3), DOC_SAVE_ABORTED);
  EXPECT_EQ(ReadAll(path), "kept");
}

}  // namespace

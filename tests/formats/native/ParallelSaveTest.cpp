// A large document's notes are rendered on worker threads when it is saved
// in the native markup: the file holds exactly the bytes the saving thread
// alone writes, and a save cancelled while batches are in flight leaves the
// target as it was.

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <utility>

#include "base/FaultPoint.h"
#include "base/Log.h"
#include "save/SafeSave.h"
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

// Memory that runs out on a render worker (the exception travels to the
// saving thread) or in the parallel deflate stage (the stage fails for that
// cause) fails the save with 12, never as an abort or a full disk; the
// target stays as it was and no temporary file is left.
std::atomic<const char*> g_failingPoint{nullptr};

void FailAtArmedPoint(const char* point) {
  const char* armed = g_failingPoint.load();
  if (armed && std::strcmp(point, armed) == 0) throw std::bad_alloc();
}

TEST_F(ParallelSave, MemoryRunningOutInAWorkerOrAStageFailsTheSaveWithTwelve) {
  quillery::SetFaultHook(FailAtArmedPoint);
  for (const auto& c : {std::make_pair("worker-job", ".qyd"), std::make_pair("deflate-chunk", ".qyz")}) {
    const std::string path = m_dir / (std::string("target") + c.second);
    std::ofstream(path) << "kept";
    g_failingPoint = c.first;
    quillery::ClearFailureReason();
    EXPECT_EQ(Save(path, 3), DOC_SAVE_NO_MEMORY) << c.first;
    EXPECT_EQ(quillery::TakeFailureReason(), "out of memory") << c.first;
    EXPECT_EQ(ReadAll(path), "kept") << c.first;
    EXPECT_NE(access((path + ".part").c_str(), F_OK), 0) << c.first;
    g_failingPoint = nullptr;
  }
  quillery::SetFaultHook(nullptr);
}

}  // namespace

// Rendering the notes of a native save on worker threads: the walk is taken
// in batches, two of which are in flight; the workers render their notes
// while this thread writes them in order. See the header for who owns what.
//
// The bytes are those of the sequential walk: the list markup is fixed here
// in walk order by PlaceNote (it keeps the open lists), and every note is
// rendered by RenderNativeNote, as WriteNote renders a native note.

#include <algorithm>
#include <atomic>
#include <memory>

#include "base/Progress.h"
#include "base/ThreadBudget.h"
#include "formats/native/FormatIOHtml.h"
#include "formats/native/NoteWorkerPool.h"
#include "model/DocumentIterator.h"
#include "model/NoteDocument.h"
#include "model/NoteNode.h"
#include "model/RecursiveTreeWalker.h"

namespace {

// Notes per batch, and the note bytes (text, pictures, attachments) after
// which a batch closes earlier: the rendered batches held at once stay small
// whatever the notes' sizes.
const size_t kBatchNotes = 1024;
const size_t kBatchBytes = 8 << 20;
// A rendered note's buffer is kept for the note that takes its place in a
// later batch unless it grew beyond this: the buffers kept stay a few
// megabytes, whatever notes have passed through them.
const size_t kKeptBuffer = 8 << 10;
// Smaller walks are written on the calling thread alone.
const int kMinParallelNotes = 2048;
const int kMaxRenderThreads = 6;
std::atomic<int> g_nRenderThreadLimit{-1};

// One batch of the walk, in walk order.
struct tNoteBatch {
  std::vector<tNoteFrame> frames;  // frames[0 .. count-1] are this batch's; later ones are spare
  size_t count = 0;
  std::vector<size_t> jobs;        // positions of the notes the workers render
  size_t firstItem = 0;            // the pool's item of jobs[0]
};

size_t NoteBytes(const NoteNode& note) {
  size_t bytes = note.GetText().size() + note.m_strTitle.size();
  for (const PixInfo& pix : note.m_objText.m_lstPictures.Items()) bytes += pix.strEncoded.size();
  for (const AttInfo& att : note.m_lstAttachments) bytes += att.strData.size();
  return bytes;
}

}  // namespace

void FormatIO_HTML::SetRenderThreadLimit(int threads) { g_nRenderThreadLimit.store(threads); }

int FormatIO_HTML::ParallelRenderThreads(const RecursiveTreeWalker& walker, bool exp) const {
  NoteDocument* doc = GetDoc();
  if (exp || m_bExport || !doc) return 0;
  FormatIO_Base* loader = doc->GetLoader();
  if (loader && loader->IsDynamic()) return 0;  // notes are fetched and released one by one
  if (walker.GetTotalNoteCount() < kMinParallelNotes) return 0;
  // What the thread budget has free: the stages of the chain (hand-offs,
  // deflate) took theirs when the chain was built. The pool takes them.
  const int limit = g_nRenderThreadLimit.load();
  const int wanted = limit >= 0 ? std::min(limit, kMaxRenderThreads) : kMaxRenderThreads;
  return std::min(wanted, quillery::FreeWorkerThreads());
}

bool FormatIO_HTML::RendersOffMainThread(const NoteNode& note) {
  // A clone may ask the user, records conversions and looks its original up
  // through the document's caches; a custom icon and a picture without
  // stored bytes are encoded through GdkPixbuf.
  if (note.IsClone() || note.m_nIconType == ICON_CUSTOM) return false;
  for (const PixInfo& pix : note.m_objText.m_lstPictures.Items())
    if (pix.strEncoded.empty()) return false;
  return true;
}

void FormatIO_HTML::CopyRenderSettings(const FormatIO_HTML& w) {
  SetDoc(*w.GetDoc());
  static_cast<HtmlFormatSettings&>(*this) = w;
}

bool FormatIO_HTML::WriteNotesInParallel(DocumentIterator& it, IOProcess& io, RecursiveTreeWalker& walker,
                                         int threads, int& count) {
  NoteDocument& doc = *GetDoc();
  const bool interactive = !m_bStringTarget;
  // One renderer per worker thread and one for this thread, which helps
  // while it waits for a batch.
  std::vector<std::unique_ptr<FormatIO_HTML>> renderers;
  for (int i = 0; i <= threads; ++i) {
    renderers.push_back(std::make_unique<FormatIO_HTML>());
    renderers.back()->CopyRenderSettings(*this);
  }
  // Two batches are in flight: the workers render the notes of both while
  // this thread writes the first; when it is written, it takes the notes
  // that follow the second.
  const size_t window = 2 * kBatchNotes;
  tNoteBatch batches[2];
  std::vector<tNoteFrame*> slots(window);  // per item (modulo the window): its frame
  size_t added = 0;                        // items given to the pool
  // Declared after everything its jobs use: it stops and joins its threads first.
  quillery::NoteWorkerPool pool(threads, window, [&](int worker, size_t item) {
    renderers[static_cast<size_t>(worker)]->RenderNativeNote(it, io, walker, *slots[item % window], false);
  });
  auto submit = [&](tNoteBatch& b) {
    b.firstItem = added;
    for (size_t j = 0; j < b.jobs.size(); ++j) slots[(added + j) % window] = &b.frames[b.jobs[j]];
    added += b.jobs.size();
    pool.Add(b.jobs.size());
  };

  // Takes the walk's next notes into b and fixes their list markup; false
  // when the walk has ended and b is empty.
  bool walkEnded = false;
  auto collect = [&](tNoteBatch& b) {
    b.count = 0;
    b.jobs.clear();
    size_t bytes = 0;
    while (!walkEnded && b.count < kBatchNotes && bytes < kBatchBytes) {
      const int idx = walker.GetNextNode();
      if (idx < 0) {
        walkEnded = true;
        break;
      }
      if (idx == m_nExportIntroIdx) continue;
      if (b.frames.size() <= b.count) b.frames.emplace_back();
      tNoteFrame& f = b.frames[b.count];
      PlaceNote(it, io, walker, idx, f);
      const NoteNode& note = doc.GetNodeByIdx(idx);
      f.bOffMain = RendersOffMainThread(note);
      if (f.bOffMain) {
        // The character count is cached on first use: taken here, the
        // workers only read it.
        note.m_objText.GetTextLen();
        b.jobs.push_back(b.count);
        bytes += NoteBytes(note);
      }
      ++b.count;
    }
    return b.count > 0;
  };

  bool live[2] = {collect(batches[0]), false};
  if (live[0]) {
    submit(batches[0]);
    live[1] = collect(batches[1]);
    if (live[1]) submit(batches[1]);
  }
  for (int k = 0; live[k & 1]; ++k) {
    tNoteBatch& b = batches[k & 1];
    size_t job = 0;
    for (size_t i = 0; i < b.count; ++i) {
      if (interactive && m_bReportProgress && count % 15 == 0) ProgressInfo::SetCurrentSize(count);
      if (interactive && ProgressInfo::IsCanceled()) {
        m_nSaveError = DOC_SAVE_ABORTED;
        return false;
      }
      ++count;
      tNoteFrame& f = b.frames[i];
      if (f.bOffMain) pool.WaitFor(b.firstItem + job++);
      else if (!RenderNativeNote(it, io, walker, f, true)) return false;
      if (!WriteString(io, f.strOut.data(), static_cast<int>(f.strOut.size()))) {
        m_nSaveError = DOC_SAVE_WRITE_ERROR;
        return false;
      }
      if (f.strOut.capacity() > kKeptBuffer) std::string().swap(f.strOut);
    }
    // Every note of b is written (and no worker holds one): b takes the
    // notes after the other batch's.
    live[k & 1] = collect(b);
    if (live[k & 1]) submit(b);
  }
  return true;
}

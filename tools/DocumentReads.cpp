#include "DocumentReads.h"

#include "Interrupt.h"
#include "model/FormatIO_DynamicBase.h"
#include "model/NodeInfoFlags.h"
#include "model/NoteDocument.h"

namespace quillery_host {

bool FetchAllNotes(NoteDocument& doc) {
  FormatIO_DynamicBase* dyn = doc.GetDynamicLoader();
  if (!dyn) return !WasInterrupted();
  for (int i = 0; i < doc.GetNodeCount(); ++i) {
    if (WasInterrupted()) return false;
    dyn->FetchNodeInfo(doc.GetNodeByIdx(i), NIF_ALL);
  }
  return !WasInterrupted();
}

bool ReadEveryNote(NoteDocument& doc) {
  FormatIO_DynamicBase* dyn = doc.GetDynamicLoader();
  for (int i = 0; dyn && i < doc.GetNodeCount() && !WasInterrupted(); ++i) {
    NoteNode scratch;
    scratch.m_strID = doc.GetNodeByIdx(i).m_strID;
    // In two fetches: one of the whole rich text at once would also repair
    // the note in the file, which this reading must leave as it is.
    dyn->FetchNodeInfo(scratch, NIF_ALL & ~NIF_ANCHORS);
    dyn->FetchNodeInfo(scratch, NIF_ANCHORS);
  }
  return !WasInterrupted();
}

}  // namespace quillery_host

#pragma once

// Where a load or a save meets an exception: whatever a format, a stage or a
// worker thread threw (workers hand theirs to the thread that waits for
// them) ends at NoteDocument::Load/Save as a result code, never as an abort.
// Running out of memory is result 12 (DOC_LOAD_NO_MEMORY, DOC_SAVE_NO_MEMORY);
// anything else is the caller's general failure code. The reason goes to the
// log and becomes the failure reason the host shows.
//
// Stateless; callable from any thread.

namespace quillery {

// Call only inside a catch handler: classifies the exception being handled,
// logs it under `where`, records the failure reason and returns 12 for
// std::bad_alloc, otherwise `otherResult`. Never throws.
int CaughtFailure(const char* where, int otherResult) noexcept;

// fn() (returning a result code), with any exception it throws turned into
// the code of CaughtFailure.
template <class Fn>
int Guarded(const char* where, int otherResult, Fn&& fn) noexcept {
  try {
    return fn();
  } catch (...) {
    return CaughtFailure(where, otherResult);
  }
}

}  // namespace quillery

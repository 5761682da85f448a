#pragma once

// Fault points: named places in the engine where a test makes things fail
// as the system would (an allocation that throws std::bad_alloc in a render
// worker or a deflate worker, a process stopped in the middle of a save,
// another program taking a file at the moment of an install), to see the
// failure reach the load or save that started the work. Without a hook, as
// in the program, a point costs one atomic load and does nothing.
//
// The points: "worker-job" (a NoteWorkerPool thread, before each item it runs),
// "deflate-chunk" (IOLayerDeflateParallel, before each chunk it deflates),
// "password-change" (DocumentSave, once a save has committed the document's
// own encrypted file and before its password changes; a test stops the
// process there as a host's hard stop would), "install-pair" (a save that
// installs a file with its folder, on the saving thread: the folder is in
// its place, the file not yet) and "replaced-file" (TempFile, on the saving
// thread: its file is in the target's place, the replaced file at the
// temporary name and not yet removed).
//
// Threading: the hook is process-wide; it is set while no work runs and is
// called on whatever thread reaches a point.

namespace quillery {

// Called with the point's name; may throw. Null removes the hook.
using FaultHook = void (*)(const char* point);
void SetFaultHook(FaultHook hook);

// Runs the hook, if one is set, for the named point.
void FaultPoint(const char* point);

}  // namespace quillery

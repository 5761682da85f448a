#pragma once

// The native writer as the model's note renderer. The model computes a note's
// HTML hash from RichText2Html, which it cannot write itself (the writer
// stands above it); a program installs this renderer once, at start-up,
// where it registers its formats. Without it no HTML hash is computed (the
// failure is logged and returned), so stored hashes never depend on which
// libraries a program happens to link.

// Makes RichText2Html render through the native writer. Idempotent; call it
// before other threads work on notes.
void InstallNativeRenderer();

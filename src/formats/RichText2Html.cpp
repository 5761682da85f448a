// Placeholder until the native HTML writer provides the real encoder, which
// replaces this file.

#include "model/NoteNode.h"

std::string RichText2Html(NoteNode& /*note*/, bool /*flag*/) { return std::string(); }

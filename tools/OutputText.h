#pragma once

// What the host prints: text that comes from a document or the file system
// (titles, authors, file names) made safe for a terminal, counts with their
// nouns, and the final check that standard output really took every line.

#include <string>

namespace quillery_host {

// text with every control character written as an escape: C0 controls and
// DEL as \n, \t, \x1b and the like, C1 controls (U+0080..U+009F) as \u0085,
// and bytes that are no UTF-8 as \xHH. Everything else is kept, so a title
// holding an escape sequence can neither retitle nor recolour the terminal.
std::string Printable(const std::string& text);

// "1 level", "6 levels".
std::string Counted(long long n, const char* noun);

// Flushes standard output. When any write to it failed, prints one line and
// turns a status of 0 or 1 into failedStatus (the program's output is lost,
// so it did not do its job); other statuses are kept.
int FinishOutput(int status, int failedStatus);

}  // namespace quillery_host

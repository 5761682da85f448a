#pragma once
// UTF-8 hygiene for text that comes from files: what reaches the model is valid UTF-8
// without NUL bytes. Each routine is one linear pass and leaves clean text untouched.

#include <cstddef>
#include <string>

namespace quillery {

// True when [p, p+n) is valid UTF-8 and holds no NUL byte.
bool IsCleanUtf8(const char* p, size_t n);

// Removes every NUL byte.
void DropNulBytes(std::string& text);

// Removes NUL bytes and replaces every invalid sequence by U+FFFD.
void MakeValidUtf8(std::string& text);

}  // namespace quillery

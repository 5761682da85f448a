#pragma once

// Small string helpers. Every helper here is linear in its input.

#include <cstddef>
#include <string>

// Replaces every occurrence of s by r, left to right, without overlap and
// without rescanning inserted text. A negative length means strlen. An empty
// search text changes nothing.
void replaceall(std::string& str, const char* s, int slen, const char* r, int rlen);
// Replaces every occurrence of one character by another.
void replaceall(std::string& str, char from, char to);

// Byte-for-byte equality.
bool StringsEqual(const std::string& a, const std::string& b);
bool StringsEqual(const char* a, const char* b);  // null equals only null

namespace quillery {

// True for a value below 128. Unlike the C library's isascii, a negative value
// (a byte >= 0x80 held in a signed char) counts as ASCII, so UTF-8 bytes read
// through plain char pass through callers that escape only non-ASCII values.
inline bool isascii(int c) { return c < 128; }

// The single rule for counting characters in UTF-8 text, used for every
// rich-text offset. A character starts at a lead byte and takes the
// continuation bytes (10xxxxxx) that its lead announces, as far as they are
// present; any other byte (a stray continuation byte, 0xF8..0xFF, or a lead
// without its continuation) is one character by itself. So every byte
// belongs to exactly one character, nothing is read past len, and valid UTF-8
// counts as usual.
size_t Utf8CharCount(const char* s, size_t len);
inline size_t Utf8CharCount(const std::string& s) { return Utf8CharCount(s.data(), s.size()); }

// Byte offset of the character with index charOffset (clamped to len; a
// negative offset gives 0).
size_t Utf8CharToByteOffset(const char* s, size_t len, long long charOffset);
inline size_t Utf8CharToByteOffset(const std::string& s, long long charOffset) {
  return Utf8CharToByteOffset(s.data(), s.size(), charOffset);
}

// Byte length of the character that starts at s[pos] (pos < len), by the rule
// above; at least 1.
size_t Utf8CharLen(const char* s, size_t len, size_t pos);

}  // namespace quillery

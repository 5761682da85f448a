#pragma once
// Small string helpers shared by the HTML parser and the HTML formats.
// All of them run in one linear pass; the trimming functions only allocate when
// there is something to remove.

#include <string>

// True when `s` is longer than `n` bytes and its first `n` bytes equal `prefix`'s.
// A string exactly as long as the prefix gives false.
bool StringStartsWith(const std::string& s, const char* prefix, int n);

// True when `s` is longer than `n` bytes and its last `n` bytes equal `suffix`'s.
bool StringEndsWith(const std::string& s, const char* suffix, int n);

// 0-15 for a hexadecimal digit (either case), -1 for anything else.
int hexVal(char c);

// Removes blanks (the space character only) at the start of the string and at the
// start of every later line.
void trimstring_left(std::string& s);

// Removes blanks at the end of every line and at the end of the string.
void trimstring_right(std::string& s);

// trimstring_right, then trimstring_left.
void trimstring(std::string& s);

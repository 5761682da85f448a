#pragma once

// Base64 as stored in document files.

#include <string>

// Standard alphabet; a line feed after every complete group of 72 output
// characters (the last group too, so 54 bytes give 72 characters and "\n");
// "=" padding when pad is true. Replaces out.
void b64encode(const void* data, int len, std::string& out, bool pad);

// Lenient decoding: ASCII whitespace is skipped; decoding stops at the first
// "="; 62 is read from "+", "-" or ".", 63 from "/", "_" or ","; any other
// byte counts as 0 and is no error. A negative len means strlen. Replaces out.
void b64decode(const char* data, int len, std::string& out);

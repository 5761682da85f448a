#pragma once

// Byte-for-byte copies of one file and of a folder tree. Stateless; failures
// are logged through xLog and reported by the result alone. The first failure
// ends the operation; what was copied before it stays, and the one target
// file of a failed copy_file is removed.

// Copies a regular file. The target is created or truncated and gets the
// source's permission bits. False, with the target removed, when the source
// cannot be read to its end or the target cannot be written completely. A
// target that is the source itself (same device and inode, through links too)
// or a source that is not a regular file is refused before anything changes.
bool copy_file(const char* src, const char* dst);

// Copies a folder and everything below it into dst (created with missing
// parents, mode 0755 minus umask; an existing folder is reused and its other
// entries stay). Links to folders are copied as folders, links to files as
// files. Only regular files and folders are copied. A link back to a folder
// being copied, or a target inside the source, ends with false.
bool copy_dir(const char* src, const char* dst);
